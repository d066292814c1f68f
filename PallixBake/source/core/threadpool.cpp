#include "core/threadpool.h"

namespace Pallix::Bake {

ThreadPool::ThreadPool(size_t threads) {
    if (threads == 0) threads = 1;
    workers.reserve(threads);
    for (size_t i = 0; i < threads; ++i) workers.emplace_back(&ThreadPool::Worker, this, i);
}

ThreadPool::~ThreadPool() {
    {
        std::unique_lock<std::mutex> lock(mutex);
        stop = true;
    }
    condition.notify_all();
    for (std::thread& worker : workers) worker.join();
}

void ThreadPool::Worker(size_t /*index*/) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            condition.wait(lock, [this] { return stop || !tasks.empty(); });
            if (stop && tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

}  // namespace Pallix::Bake
