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

#include "bake/bakejob.h"
#include "bake/image.h"
#include "bake/threadpool.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

namespace {

fs::path TempDir(const char* name) {
    fs::path dir = fs::temp_directory_path() / ("kelvor_" + std::string(name) + "_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

}  // namespace

TEST(BakeJob, ConstructorAndAddMapDefaults) {
    BakeJob job;
    EXPECT_EQ(job.width, 1024);
    EXPECT_EQ(job.height, 1024);
    EXPECT_EQ(job.dilation, 1);
    EXPECT_EQ(job.tilingMode, 0);
    EXPECT_EQ(job.tileNaming, 0);
    EXPECT_FLOAT_EQ(job.roundingDistance, 1.0f);
    MapSettings& map = job.AddMap();
    EXPECT_EQ(map.tangentSpace, 1);
    EXPECT_FLOAT_EQ(map.aoDistance, 10.0f);
    EXPECT_FLOAT_EQ(map.spread, 1.5707951f);
    EXPECT_EQ(map.rayCount, 16);
    EXPECT_FLOAT_EQ(map.blur, 0.5f);
    job.AddHighPolyPath("a.obj");
    job.SetEnvelopePath(nullptr);
    EXPECT_EQ(job.highPolyPaths.size(), 1u);
    EXPECT_TRUE(job.envelopePath.empty());
    EXPECT_GE(job.ElapsedSeconds(), 0.0);
}

TEST(Image, LargeSizesDoNotOverflow) {
    Image header = Image::Header(16384, 16384);
    EXPECT_EQ(header.FloatCount(), size_t(16384) * 16384 * 4);
    EXPECT_EQ(header.Offset(16383, 16383), (size_t(16383) + size_t(16383) * 16384) * 4);
    EXPECT_EQ(header.data, nullptr);
}

TEST(MifCache, RoundTripsEveryBitAndRejectsMismatches) {
    const fs::path dir = TempDir("mif");
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
    fs::remove_all(dir);
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
