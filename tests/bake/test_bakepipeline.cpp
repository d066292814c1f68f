#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "bake/bakemanager.h"
#include "events/eventreporter.h"
#include "support/testsupport.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

// Records every listener call as a line of text; the manager may call from its bake thread.
class Recorder : public BakeManager::IBakeListener {
public:
    void OnBakeStart() override { Add("BakeStart"); }
    void OnJobStart(BakeJob*) override { Add("JobStart"); }
    void OnMapStart(BakeJob*, int mapIndex, Image*) override { Add("MapStart " + std::to_string(mapIndex)); }
    void OnTilingStart(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingStart " + std::to_string(u) + " " + std::to_string(v));
        if (cancelAtTilingStart) manager->Cancel();
    }
    void OnTileDone(const BakeManager::TileUpdate* tile) override {
        Add("TileDone " + std::to_string(tile->x) + " " + std::to_string(tile->y) + " " +
            std::to_string(tile->width) + " " + std::to_string(tile->height));
    }
    void OnProgress(float fraction) override {
        std::lock_guard<std::mutex> lock(mutex);
        progress.push_back(fraction);
    }
    void OnError(const std::string& message) override { Add("Error " + message); }
    void OnLog(const std::string& line) override { Add("Log " + line); }
    void OnTilingEnd(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingEnd " + std::to_string(u) + " " + std::to_string(v));
    }
    void OnMapDone(BakeJob*, int mapIndex) override { Add("MapDone " + std::to_string(mapIndex)); }
    void OnJobEnd(BakeJob*) override { Add("JobEnd"); }
    void OnBakeEnd(int jobCount) override { Add("BakeEnd " + std::to_string(jobCount)); }
    void OnBakeStopped() override { Add("BakeStopped"); }

    std::vector<std::string> calls;
    std::vector<float> progress;
    BakeManager* manager = nullptr;
    bool cancelAtTilingStart = false;

private:
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    std::mutex mutex;
};

struct Pipeline {
    TempFolder folder{"kelvor-pipeline"};
    EventReporter reporter{"test"};
    TraceGridSettings grid;
    BakeManager manager{&reporter, &grid};
    Recorder recorder;

    Pipeline() {
        ChooseTraceKernel(CpuFeatures(), &grid, SimdAuto, PrecisionDefault);
        recorder.manager = &manager;
        manager.SetListener(&recorder);
        manager.SetThreadCount(4);
        manager.Init(4, 1024, 1024);
        WriteObj(folder / "low.obj", GridMesh(1, 0, 2, 0, 1, 0, 2, 0, 1));
        WriteObj(folder / "high.obj", GridMesh(8, -1, 3, -1, 2));
    }

    BakeJob MakeJob(const std::string& name) {
        BakeJob job;
        job.width = job.height = 256;
        job.dilation = 0;
        job.lowPolyPath = (folder / "low.obj").string();
        job.AddHighPolyPath((folder / "high.obj").c_str());
        job.hasHighPoly = true;
        job.outputPath = (folder / name).string();
        job.outputFormat = FormatPng8;
        job.normalDirection = DirectionGeometric;
        MapSettings& map = job.AddMap();
        map.type = MapAlphaMask;
        map.supersampling = 1;
        return job;
    }

    void Bake(std::vector<BakeJob*> jobs) { manager.Bake(&jobs); }
};

std::vector<std::string> Matching(const std::vector<std::string>& calls, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

}  // namespace

TEST(BakePipeline, ListenerSeesTheCallsLogLinesAndProgressInOrder) {
    Pipeline p;
    BakeJob job = p.MakeJob("crate");
    job.tilingMode = 1;  // UVs over two tiles: 1001 and 1002
    p.Bake({&job});
    ASSERT_FALSE(p.manager.HasFailed());

    const auto& calls = p.recorder.calls;
    // 256 x 256 at supersampling 1: tiles of 32 samples, 8 x 8 per UV tile.
    std::vector<std::string> expectedStart = {"BakeStart", "JobStart", "Log Initializing", "Log Loading high poly scene",
                                              "Log Loading low poly mesh", "MapStart 0", "TilingStart 0 0",
                                              "Log Starting bake for crate_alpha.1001", "Log Baking tile 1/128 for crate_alpha.1001",
                                              "TileDone 0 0 32 32", "Log Baking tile 2/128 for crate_alpha.1001",
                                              "TileDone 0 32 32 32"};
    ASSERT_GE(calls.size(), expectedStart.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + long(expectedStart.size())), expectedStart);

    EXPECT_EQ(Matching(calls, "TileDone").size(), 2u * 64u + 2u);  // every tile, then the whole image per UV tile
    const std::vector<std::string> order = Matching(calls, "Log ");
    auto position = [&](const std::string& line) {
        return std::find(order.begin(), order.end(), "Log " + line) - order.begin();
    };
    EXPECT_LT(position("Baking tile 64/128 for crate_alpha.1001"), position("Processing crate_alpha.1001"));
    EXPECT_LT(position("Processing crate_alpha.1001"), position("Completed render for crate_alpha.1001"));
    EXPECT_LT(position("Completed render for crate_alpha.1001"), position("Exporting crate_alpha.1001"));
    EXPECT_LT(position("Exporting crate_alpha.1001"), position("Starting bake for crate_alpha.1002"));
    EXPECT_LT(position("Baking tile 128/128 for crate_alpha.1002"), position("Exporting crate_alpha.1002"));
    EXPECT_EQ(order.back().rfind("Log  Bake complete: ", 0), 0u) << order.back();

    const std::vector<std::string> tail(calls.end() - 9, calls.end());
    const std::vector<std::string> expectedTail = {"TilingEnd 1 0", "Log Processing crate_alpha.1002",
                                                   "Log Completed render for crate_alpha.1002", "TileDone 0 0 256 256",
                                                   "Log Exporting crate_alpha.1002", "MapDone 0", "JobEnd",
                                                   tail[7], "BakeEnd 1"};
    EXPECT_EQ(tail, expectedTail);
    EXPECT_TRUE(job.maps[0].done);

    // Progress runs over the whole region: 0.5 after the first UV tile, 1 at the end.
    ASSERT_EQ(p.recorder.progress.size(), 128u);
    EXPECT_FLOAT_EQ(p.recorder.progress[0], 1.0f / 128.0f);
    EXPECT_FLOAT_EQ(p.recorder.progress[63], 0.5f);
    EXPECT_FLOAT_EQ(p.recorder.progress.back(), 1.0f);
    EXPECT_TRUE(std::is_sorted(p.recorder.progress.begin(), p.recorder.progress.end()));

    EXPECT_EQ(job.maps[0].traceTris, 128);
    EXPECT_EQ(job.maps[0].lowresTris, 2);
    EXPECT_GT(job.maps[0].cellCount, 0);
    EXPECT_TRUE(fs::exists(p.folder / "crate_alpha.1001.png"));
    EXPECT_TRUE(fs::exists(p.folder / "crate_alpha.1002.png"));
}

TEST(BakePipeline, CacheModeTwoReusesTheTraceMeshesUntilAFileChanges) {
    Pipeline p;
    BakeJob first = p.MakeJob("first");
    BakeJob second = p.MakeJob("second");
    first.cacheMode = second.cacheMode = 2;

    testing::internal::CaptureStdout();
    p.Bake({&first, &second});
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(p.manager.HasFailed()) << out;
    // The OBJ importer reports every file it reads: the second job read none.
    size_t imports = 0;
    for (size_t at = out.find("Number of verts"); at != std::string::npos; at = out.find("Number of verts", at + 1))
        ++imports;
    EXPECT_EQ(imports, 1u) << out;
    EXPECT_TRUE(fs::exists(p.folder / "second_alpha.png"));

    // A file modified after the load forces a new one; so does a job without the cache mode.
    fs::last_write_time(p.folder / "high.obj", fs::file_time_type::clock::now() + std::chrono::hours(1));
    BakeJob third = p.MakeJob("third");
    third.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&third});
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Number of verts"), std::string::npos);
}

TEST(BakePipeline, AFailedHighPolyLoadIsNeverReused) {
    Pipeline p;
    BakeJob good = p.MakeJob("good");
    good.cacheMode = 2;
    BakeJob broken = p.MakeJob("broken");
    broken.cacheMode = 2;
    broken.highPolyPaths.push_back((p.folder / "missing.obj").string());
    testing::internal::CaptureStdout();
    p.Bake({&good});
    p.Bake({&broken});
    EXPECT_TRUE(p.manager.HasFailed());
    // The same failing job again must fail again rather than reuse a partial scene.
    p.Bake({&broken});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.manager.HasFailed());
    EXPECT_FALSE(fs::exists(p.folder / "broken_alpha.png"));
}

TEST(BakePipeline, ACancelledBakeWritesNoFileAndSaysCanceled) {
    Pipeline p;
    p.recorder.cancelAtTilingStart = true;
    BakeJob job = p.MakeJob("cancelled");
    BakeJob later = p.MakeJob("later");
    testing::internal::CaptureStdout();
    p.Bake({&job, &later});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Canceled\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(p.folder / "cancelled_alpha.png"));
    EXPECT_FALSE(fs::exists(p.folder / "later_alpha.png"));

    const auto& calls = p.recorder.calls;
    EXPECT_TRUE(Matching(calls, "MapDone").empty());
    EXPECT_EQ(Matching(calls, "Log Canceling...").size(), 2u);  // the tile loop, then the later job's first check
    EXPECT_EQ(Matching(calls, "MapStart").size(), 2u);          // later maps still start
    EXPECT_EQ(Matching(calls, "TilingEnd").size(), 1u);
    EXPECT_EQ(calls.back(), "BakeEnd 2");
    EXPECT_FALSE(job.maps[0].done);
}

TEST(BakePipeline, ATooSmallOutputIsAnErrorAndTheManagerStaysUsable) {
    Pipeline p;
    BakeJob tiny = p.MakeJob("tiny");
    tiny.width = 4;  // 4 samples a side gives tiles of 0 samples
    testing::internal::CaptureStdout();
    p.Bake({&tiny});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.manager.HasFailed());
    EXPECT_FALSE(Matching(p.recorder.calls, "Error Output size 4 x 256").empty());

    BakeJob fine = p.MakeJob("fine");
    p.Bake({&fine});
    EXPECT_FALSE(p.manager.HasFailed());
    EXPECT_TRUE(fs::exists(p.folder / "fine_alpha.png"));
}
