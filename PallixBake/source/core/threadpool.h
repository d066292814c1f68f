#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace Pallix::Bake {

// Fixed-size pool of worker threads running type-erased tasks in FIFO order. Every hand-in
// returns a future; a task's result or exception is kept in its future. Destruction runs
// every task still queued, then joins the workers.
class ThreadPool {
public:
    // A count of 0 is taken as 1, so a pool always makes progress.
    explicit ThreadPool(size_t threads);
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    size_t WorkerCount() const { return workers.size(); }

    template <class F, class... Args>
    auto Enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>> {
        using Result = std::invoke_result_t<F, Args...>;
        auto task = std::make_shared<std::packaged_task<Result()>>(
            std::bind(std::forward<F>(f), std::forward<Args>(args)...));
        std::future<Result> future = task->get_future();
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (stop) throw std::runtime_error("enqueue on stopped ThreadPool");
            tasks.emplace_back([task]() { (*task)(); });
        }
        condition.notify_one();
        return future;
    }

    // Runs body(first, last) on the workers for consecutive runs of at most grain indices that
    // cover [begin, end), in order, waits for every run and rethrows the first failure. Runs
    // already queued when handing out fails are waited for too: they use the caller's data.
    template <class Index, class Body>
    void ParallelFor(Index begin, Index end, Index grain, const Body& body);

private:
    void Worker(size_t index);

    std::vector<std::thread> workers;
    std::deque<std::function<void()>> tasks;
    std::mutex mutex;
    std::condition_variable condition;
    bool stop = false;
};

// Waits for every future, then rethrows the first stored exception, so a failing task is
// never reported as success and no task is left running when the caller unwinds.
template <class T>
void WaitAllAndRethrow(std::vector<std::future<T>>& futures) {
    std::exception_ptr first;
    for (auto& future : futures) {
        if (!future.valid()) continue;
        try {
            future.get();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    futures.clear();
    if (first) std::rethrow_exception(first);
}

// Runs body(first, last) over [0, count) in runs of partSize, run p starting at p * partSize:
// on the pool when there is one and at least two runs, else in order on the calling thread.
template <class Body>
void ForEachPart(ThreadPool* pool, size_t count, size_t partSize, const Body& body) {
    if (pool && count >= 2 * partSize) {
        pool->ParallelFor(size_t(0), count, partSize, body);
        return;
    }
    for (size_t first = 0; first < count; first += partSize) body(first, std::min(count, first + partSize));
}

template <class Index, class Body>
void ThreadPool::ParallelFor(Index begin, Index end, Index grain, const Body& body) {
    grain = std::max(grain, Index(1));
    std::vector<std::future<void>> futures;
    if (end > begin) futures.reserve(size_t((end - begin) / grain + 1));
    try {
        for (Index first = begin; first < end;) {
            const Index last = end - first > grain ? first + grain : end;
            futures.push_back(Enqueue([&body, first, last] { body(first, last); }));
            first = last;
        }
    } catch (...) {
        for (auto& future : futures) future.wait();
        throw;
    }
    WaitAllAndRethrow(futures);
}

}  // namespace Pallix::Bake
