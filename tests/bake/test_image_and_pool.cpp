#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "core/image.h"
#include "core/threadpool.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

TEST(Image, LargeSizesDoNotOverflow) {
    Image header = Image::Header(16384, 16384);
    EXPECT_EQ(header.FloatCount(), size_t(16384) * 16384 * 4);
    EXPECT_EQ(header.Offset(16383, 16383), (size_t(16383) + size_t(16383) * 16384) * 4);
    EXPECT_EQ(header.data, nullptr);
}

TEST(MifCache, RoundTripsEveryBitAndRejectsMismatches) {
    const KelvorTest::TempFolder dir("kelvor-mif");
    const std::string base = (dir / "map_ao.1001").string();

    Image source(2, 1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[8] = {1.0f, -0.0f, nan, 3.5f, std::numeric_limits<float>::infinity(), 1e-40f, -2.0f, 0.25f};
    std::memcpy(source.data, values, sizeof(values));
    ASSERT_TRUE(WriteMifCache(base, source));
    EXPECT_EQ(fs::file_size(base + ".mif"), 48u);
    EXPECT_FALSE(fs::exists(base));  // only the ".mif" file is touched

    Image restored(2, 1);
    ASSERT_TRUE(ReadMifCache(base, restored));
    EXPECT_EQ(std::memcmp(restored.data, values, sizeof(values)), 0);

    // Another size or another version leaves the target unchanged.
    Image other(1, 2);
    other.Fill(7, 7, 7, 7);
    EXPECT_FALSE(ReadMifCache(base, other));
    EXPECT_EQ(other.data[0], 7.0f);
    {
        std::fstream f(base + ".mif", std::ios::in | std::ios::out | std::ios::binary);
        const int32_t version = 2;
        f.write(reinterpret_cast<const char*>(&version), 4);
    }
    Image wrongVersion(2, 1);
    EXPECT_FALSE(ReadMifCache(base, wrongVersion));
    EXPECT_EQ(wrongVersion.data[0], 0.0f);

    // Missing file, and a file cut inside the pixel block.
    EXPECT_FALSE(ReadMifCache((dir / "missing").string(), restored));
    ASSERT_TRUE(WriteMifCache(base, source));
    fs::resize_file(base + ".mif", 40);
    Image shortRead(2, 1);
    EXPECT_FALSE(ReadMifCache(base, shortRead));

    // An unwritable location reports failure.
    EXPECT_FALSE(WriteMifCache((dir / "no" / "such" / "folder").string(), source));
}

TEST(ThreadPool, RunsTasksInParallelAndDrainsOnDestruction) {
    std::atomic<int> running{0}, peak{0}, done{0};
    {
        ThreadPool pool(4);
        std::vector<std::future<void>> futures;
        for (int i = 0; i < 4; ++i) {
            futures.push_back(pool.Enqueue([&] {
                int now = ++running;
                int seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
                // Hold the worker until all four have started, or give up after a while.
                for (int spin = 0; spin < 2000 && peak.load() < 4; ++spin)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                --running;
                ++done;
            }));
        }
        for (auto& f : futures) f.get();
        EXPECT_EQ(peak.load(), 4);

        // Tasks still queued when the pool is destroyed all run first.
        for (int i = 0; i < 100; ++i) pool.Enqueue([&] { ++done; });
    }
    EXPECT_EQ(done.load(), 104);
}

TEST(ThreadPool, ExceptionsStayInFuturesAndZeroWorkersIsOne) {
    ThreadPool pool(0);
    EXPECT_EQ(pool.WorkerCount(), 1u);
    auto failing = pool.Enqueue([] { throw std::runtime_error("boom"); });
    auto fine = pool.Enqueue([](int a, int b) { return a + b; }, 2, 3);
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_EQ(fine.get(), 5);

    std::vector<std::future<void>> futures;
    std::atomic<int> ran{0};
    futures.push_back(pool.Enqueue([] { throw std::logic_error("first"); }));
    for (int i = 0; i < 10; ++i) futures.push_back(pool.Enqueue([&] { ++ran; }));
    EXPECT_THROW(WaitAllAndRethrow(futures), std::logic_error);
    EXPECT_EQ(ran.load(), 10);  // every task finished before the rethrow
}

TEST(ThreadPool, ParallelForCoversTheRangeInRunsAndRethrowsAfterAllRuns) {
    ThreadPool pool(3);
    std::vector<std::atomic<int>> hits(103);
    std::atomic<int> runs{0}, tooLong{0};
    pool.ParallelFor(0, 103, 10, [&](int first, int last) {
        ++runs;
        if (last - first > 10) ++tooLong;
        for (int i = first; i < last; ++i) ++hits[size_t(i)];
    });
    EXPECT_EQ(runs.load(), 11);
    EXPECT_EQ(tooLong.load(), 0);
    for (const auto& hit : hits) EXPECT_EQ(hit.load(), 1);

    // An empty range runs nothing; a grain below 1 is taken as 1.
    pool.ParallelFor(5, 5, 4, [&](int, int) { ++runs; });
    EXPECT_EQ(runs.load(), 11);
    pool.ParallelFor(size_t(0), size_t(4), size_t(0), [&](size_t first, size_t last) { runs += int(last - first); });
    EXPECT_EQ(runs.load(), 15);

    std::atomic<int> finished{0};
    EXPECT_THROW(pool.ParallelFor(0, 40, 1,
                                  [&](int first, int) {
                                      if (first == 3) throw std::logic_error("run 3");
                                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                      ++finished;
                                  }),
                 std::logic_error);
    EXPECT_EQ(finished.load(), 39);  // every other run was done before the failure came out
}
