#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bake/bakemanager.h"
#include "core/bakeexception.h"
#include "events/eventreporter.h"
#include "io/sceneimporter.h"
#include "support/testsupport.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

using Calls = std::vector<std::string>;

// Records every listener call as a line of text; the manager may call from its bake thread.
class Recorder : public BakeManager::IBakeListener {
public:
    void OnBakeStart() override { Add("BakeStart"); }
    void OnJobStart(BakeJob*) override {
        Add("JobStart");
        if (throwOnJobStart) throwOnJobStart();
    }
    void OnMapStart(BakeJob*, int mapIndex, Image*) override { Add("MapStart " + std::to_string(mapIndex)); }
    void OnTilingStart(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingStart " + std::to_string(u) + " " + std::to_string(v));
        if (cancelAtTilingStart || ++tilings == cancelAtTiling) manager->Cancel();
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
    void OnLog(const std::string& line) override {
        Add("Log " + line);
        if (!cancelAtLog.empty() && line == cancelAtLog) manager->Cancel();
        if (!runOutAtLog.empty() && line.rfind(runOutAtLog, 0) == 0) throw std::bad_alloc();
    }
    void OnTilingEnd(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingEnd " + std::to_string(u) + " " + std::to_string(v));
    }
    void OnMapDone(BakeJob*, int mapIndex) override { Add("MapDone " + std::to_string(mapIndex)); }
    void OnJobEnd(BakeJob*) override { Add("JobEnd"); }
    void OnBakeEnd(int jobCount) override { Add("BakeEnd " + std::to_string(jobCount)); }
    void OnBakeStopped() override { Add("BakeStopped"); }

    Calls Take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(calls, {});
    }

    std::vector<float> progress;
    BakeManager* manager = nullptr;
    bool cancelAtTilingStart = false;
    int cancelAtTiling = 0;  // cancels at the start of this UV tile (counting from 1) when set
    std::string cancelAtLog;  // cancels when this status line is sent
    std::string runOutAtLog;  // memory runs out when a status line that starts so is sent
    int tilings = 0;
    std::function<void()> throwOnJobStart;

private:
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    std::mutex mutex;
    Calls calls;
};

// A manager with a recording listener and reporter, and a low-poly quad over UV tiles 1001 and
// 1002 under a high-poly plane.
struct Pipeline {
    TempFolder folder{"kelvor-pipeline"};
    std::vector<std::string> events;
    EventReporter reporter{"test"};
    TraceGridSettings grid;
    BakeManager manager{&reporter, &grid};
    Recorder recorder;

    Pipeline() {
        reporter.SetEnabled(true);
        reporter.SetSender([this](const std::string& text) { events.push_back(text); });
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
        MapSettings& map = job.AddMap();
        map.type = MapAlphaMask;
        return job;
    }

    // A job whose high-poly file does not exist: loading its scene fails.
    BakeJob FailingJob(const std::string& name) {
        BakeJob job = MakeJob(name);
        job.highPolyPaths = {(folder / "missing.obj").string()};
        return job;
    }

    void Bake(std::vector<BakeJob*> jobs) { manager.Bake(&jobs); }
};

Calls Matching(const Calls& calls, const std::string& prefix) {
    Calls out;
    for (const auto& c : calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

}  // namespace

TEST(BakeCompleteLine, SecondsUpToAMinuteThenMinutesAndSeconds) {
    EXPECT_EQ(BakeCompleteLine(65.0, 3.7), " Bake complete:  1:05 (export 3 seconds)");
    EXPECT_EQ(BakeCompleteLine(75.2, 0.0), " Bake complete: 1:15 (export 0 seconds)");
    EXPECT_EQ(BakeCompleteLine(60.0, 2.0), " Bake complete: 60 seconds (export 2 seconds)");
    EXPECT_EQ(BakeCompleteLine(0.4, 0.9), " Bake complete: 0 seconds (export 0 seconds)");
    EXPECT_EQ(BakeCompleteLine(60.5, 0.0), " Bake complete:  1:00 (export 0 seconds)");
    EXPECT_EQ(BakeCompleteLine(3725.0, 61.0), " Bake complete:  62:05 (export 61 seconds)");
    EXPECT_EQ(BakeCompleteLine(119.9, 0.0), " Bake complete: 1:59 (export 0 seconds)");
}

TEST(BakeManager, AnExceptionEndsTheWholeBakeAndTheNextBakeWorks) {
    Pipeline p;
    BakeJob first = p.FailingJob("first"), second = p.FailingJob("second");
    testing::internal::CaptureStdout();
    p.Bake({&first, &second});
    const std::string printed = testing::internal::GetCapturedStdout();

    const Calls calls = p.recorder.Take();
    ASSERT_EQ(calls.size(), 5u) << testing::PrintToString(calls);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4),
              (Calls{"BakeStart", "JobStart", "Log Initializing", "Log Loading high poly scene"}));
    ASSERT_EQ(calls[4].rfind("Error ", 0), 0u);
    const std::string message = calls[4].substr(6);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(printed, message + "\n");
    EXPECT_TRUE(p.manager.HasFailed());

    // The context was unlocked and the failed flag is cleared by the next run.
    p.Bake({});
    EXPECT_EQ(p.recorder.Take(), (Calls{"BakeStart", "BakeEnd 0"}));
    EXPECT_FALSE(p.manager.HasFailed());
}

TEST(BakeManager, EveryKindOfExceptionIsReported) {
    Pipeline p;
    const std::vector<std::pair<std::string, std::function<void()>>> throwers{
        {"bake failure", [] { throw BakeException("bake failure"); }},
        {"Please triangulate your mesh", [] { throw ImportException("Please triangulate your mesh"); }},
        {"some runtime error", [] { throw std::runtime_error("some runtime error"); }},
        {"Not enough memory to bake crate", [] { throw std::bad_alloc(); }},
    };
    for (const auto& [text, thrower] : throwers) {
        p.recorder.throwOnJobStart = thrower;
        BakeJob job;
        job.outputPath = "crate";
        testing::internal::CaptureStdout();
        p.Bake({&job});
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text + "\n");
        EXPECT_EQ(p.recorder.Take(), (Calls{"BakeStart", "JobStart", "Error " + text}));
        EXPECT_TRUE(p.manager.HasFailed());
    }
    // Without a listener the error is still printed.
    p.manager.SetListener(nullptr);
    BakeJob failing = p.FailingJob("failing");
    testing::internal::CaptureStdout();
    p.Bake({&failing});
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(p.manager.HasFailed());
}

TEST(BakeManager, WorkerCountIsAtLeastOneAndResolvableLinesCountFromTheProgressBase) {
    Pipeline p;
    p.manager.SetThreadCount(0);
    EXPECT_EQ(p.manager.GetRenderState().threadCount, 1);
    p.manager.SetThreadCount(-3);
    EXPECT_EQ(p.manager.GetRenderState().threadCount, 1);
    p.manager.SetThreadCount(6);
    EXPECT_EQ(p.manager.GetRenderState().threadCount, 6);

    RenderState state;
    state.supersampling = 2;
    testing::internal::CaptureStdout();
    p.manager.OnProgress(state, -1);
    p.manager.OnProgress(state, 9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Resolvable lines: 5\n");
}

TEST(BakeManager, InitSendsInitEveryTimeAndInfoOnce) {
    Pipeline p;  // initialised once with 4 threads
    p.manager.Init(4, 1024, 1024);
    p.manager.Init(5, 512, 256);
    ASSERT_EQ(p.events.size(), 4u);
    const std::string init = R"({"category":"system","eventtype":"init","initparameters":)";
    EXPECT_EQ(p.events[0], init + R"({"threads":4,"tilex":1024,"tiley":1024},"nodeid":"test"})");
    EXPECT_EQ(p.events[1].rfind(R"({"category":"system","eventtype":"info","opengl":{"version":")", 0), 0u);
    EXPECT_EQ(p.events[1].find(R"("version":"")"), std::string::npos);  // the driver named itself
    EXPECT_EQ(p.events[2], p.events[0]);
    EXPECT_EQ(p.events[3], init + R"({"threads":5,"tilex":512,"tiley":256},"nodeid":"test"})");
}

TEST(BakeManager, BakeAsyncTwiceInARowRunsBothBakesInTurn) {
    Pipeline p;
    std::vector<BakeJob*> none;
    BakeJob failing = p.FailingJob("failing");
    std::vector<BakeJob*> jobs{&failing};
    testing::internal::CaptureStdout();
    {
        BakeManager async(&p.reporter, &p.grid);
        async.SetListener(&p.recorder);
        async.BakeAsync(&none);
        async.BakeAsync(&none);
        async.BakeAsync(&jobs);
        async.BakeAsync(&none);
        // Leaving the scope joins the last bake.
    }
    testing::internal::GetCapturedStdout();
    const Calls calls = p.recorder.Take();
    ASSERT_EQ(calls.size(), 11u) << testing::PrintToString(calls);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8),
              (Calls{"BakeStart", "BakeEnd 0", "BakeStart", "BakeEnd 0", "BakeStart", "JobStart", "Log Initializing",
                     "Log Loading high poly scene"}));
    EXPECT_EQ(calls[8].rfind("Error ", 0), 0u);
    EXPECT_EQ(Calls(calls.begin() + 9, calls.end()), (Calls{"BakeStart", "BakeEnd 0"}));
}

TEST(BakePipeline, ListenerSeesTheCallsLogLinesAndProgressInOrder) {
    Pipeline p;
    BakeJob job = p.MakeJob("crate");
    job.tilingMode = 1;  // UVs over two tiles: 1001 and 1002
    p.Bake({&job});
    ASSERT_FALSE(p.manager.HasFailed());

    const Calls calls = p.recorder.Take();
    // 256 x 256 at supersampling 1: tiles of 32 samples, 8 x 8 per UV tile.
    const Calls expectedStart = {"BakeStart", "JobStart", "Log Initializing", "Log Loading high poly scene",
                                 "Log Loading low poly mesh", "MapStart 0", "TilingStart 0 0",
                                 "Log Starting bake for crate_alpha.1001", "Log Baking tile 1/128 for crate_alpha.1001",
                                 "TileDone 0 0 32 32", "Log Baking tile 2/128 for crate_alpha.1001",
                                 "TileDone 0 32 32 32"};
    ASSERT_GE(calls.size(), expectedStart.size());
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + long(expectedStart.size())), expectedStart);

    EXPECT_EQ(Matching(calls, "TileDone").size(), 2u * 64u + 2u);  // every tile, then the whole image per UV tile
    const Calls order = Matching(calls, "Log ");
    auto position = [&](const std::string& line) {
        return std::find(order.begin(), order.end(), "Log " + line) - order.begin();
    };
    EXPECT_LT(position("Baking tile 64/128 for crate_alpha.1001"), position("Processing crate_alpha.1001"));
    EXPECT_LT(position("Processing crate_alpha.1001"), position("Completed render for crate_alpha.1001"));
    EXPECT_LT(position("Completed render for crate_alpha.1001"), position("Exporting crate_alpha.1001"));
    EXPECT_LT(position("Exporting crate_alpha.1001"), position("Starting bake for crate_alpha.1002"));
    EXPECT_LT(position("Baking tile 128/128 for crate_alpha.1002"), position("Exporting crate_alpha.1002"));
    EXPECT_EQ(order.back().rfind("Log  Bake complete: ", 0), 0u) << order.back();

    const Calls tail(calls.end() - 9, calls.end());
    const Calls expectedTail = {"TilingEnd 1 0", "Log Processing crate_alpha.1002",
                                "Log Completed render for crate_alpha.1002", "TileDone 0 0 256 256",
                                "Log Exporting crate_alpha.1002", "MapDone 0", "JobEnd", tail[7], "BakeEnd 1"};
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

    // A file modified after the load forces a new one.
    fs::last_write_time(p.folder / "high.obj", fs::file_time_type::clock::now() + std::chrono::hours(1));
    BakeJob third = p.MakeJob("third");
    third.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&third});
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Number of verts"), std::string::npos);
}

TEST(BakePipeline, CacheModeTwoReloadsAFileReplacedByAnOlderCopy) {
    Pipeline p;
    BakeJob first = p.MakeJob("first");
    first.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&first});
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(p.manager.HasFailed());
    EXPECT_EQ(first.maps[0].traceTris, 128);

    // Replaced by a finer copy dated a day before the load, as cp -p or an unpacked archive leave it.
    const fs::path high = p.folder / "high.obj";
    const auto loaded = fs::last_write_time(high);
    WriteObj(high, GridMesh(16, -1, 3, -1, 2));
    fs::last_write_time(high, loaded - std::chrono::hours(24));
    BakeJob second = p.MakeJob("second");
    second.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&second});
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(p.manager.HasFailed());
    EXPECT_EQ(second.maps[0].traceTris, 512);

    // The same size and time as at the load: the cache holds.
    BakeJob third = p.MakeJob("third");
    third.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&third});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Number of verts"), std::string::npos) << out;
    EXPECT_EQ(third.maps[0].traceTris, 512);

    // Of the same size but dated an hour earlier: another copy, loaded again.
    fs::last_write_time(high, fs::last_write_time(high) - std::chrono::hours(1));
    BakeJob fourth = p.MakeJob("fourth");
    fourth.cacheMode = 2;
    testing::internal::CaptureStdout();
    p.Bake({&fourth});
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Number of verts"), std::string::npos) << out;
}

TEST(BakePipeline, AnExplicitPathOverSeveralUvTilesIsRefusedBeforeAnyPass) {
    // A range map would cache every UV tile under the one name and then miss its cache files.
    Pipeline p;
    BakeJob job = p.MakeJob("explicit.png");
    job.maps[0].type = MapCurvature;
    job.tilingMode = 1;
    job.explicitPath = true;
    testing::internal::CaptureStdout();
    p.Bake({&job});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.manager.HasFailed());
    EXPECT_NE(out.find("An explicit output path holds one image, but the UV-tile region u 0 to 1, v 0 to 0 has "
                       "several UV tiles"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Could not read cache file"), std::string::npos) << out;
    EXPECT_TRUE(Matching(p.recorder.Take(), "TilingStart").empty());
    for (const auto& entry : fs::directory_iterator(p.folder.Path()))
        EXPECT_EQ(entry.path().extension(), ".obj") << entry.path();
}

TEST(BakePipeline, AFailedHighPolyLoadIsNeverReused) {
    Pipeline p;
    BakeJob good = p.MakeJob("good");
    BakeJob broken = p.MakeJob("broken");  // its first high-poly file loads, the second does not
    broken.highPolyPaths.push_back((p.folder / "missing.obj").string());
    good.cacheMode = broken.cacheMode = 2;
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

TEST(BakePipeline, ACancelledBakeWritesNoFileLoadsNothingMoreAndSaysCanceled) {
    Pipeline p;
    p.recorder.cancelAtTilingStart = true;
    BakeJob job = p.MakeJob("cancelled");
    job.AddMap().type = MapAlphaMask;
    BakeJob later = p.MakeJob("later");
    testing::internal::CaptureStdout();
    p.Bake({&job, &later});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Canceled\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(p.folder / "cancelled_alpha.png"));
    EXPECT_FALSE(fs::exists(p.folder / "later_alpha.png"));

    const Calls calls = p.recorder.Take();
    EXPECT_TRUE(Matching(calls, "MapDone").empty());
    EXPECT_EQ(Matching(calls, "Log Canceling...").size(), 1u);
    EXPECT_EQ(Matching(calls, "TilingEnd").size(), 1u);
    // Neither the job's second map nor the later job is loaded; the end calls still come.
    EXPECT_EQ(Matching(calls, "Log Loading low poly mesh").size(), 1u);
    EXPECT_EQ(Matching(calls, "MapStart").size(), 1u);
    EXPECT_EQ(Matching(calls, "JobStart").size(), 1u);
    EXPECT_EQ(Matching(calls, "Log Loading high poly scene").size(), 1u);
    EXPECT_EQ(Matching(calls, "JobEnd").size(), 1u);
    EXPECT_EQ(calls.back(), "BakeEnd 2");
    EXPECT_FALSE(job.maps[0].done);
}

TEST(BakePipeline, ACancelWhileLoadingReadsNoFurtherFile) {
    Pipeline p;
    p.recorder.cancelAtLog = "Loading high poly scene";
    // Every file but the second high-poly one is missing: reading any of them would fail.
    BakeJob job = p.MakeJob("loading");
    job.highPolyPaths = {(p.folder / "missing_high.obj").string(), (p.folder / "high.obj").string()};
    job.SetEnvelopePath((p.folder / "missing_envelope.obj").c_str());
    job.lowPolyPath = (p.folder / "missing_low.obj").string();
    testing::internal::CaptureStdout();
    p.Bake({&job});
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(p.manager.HasFailed());

    const Calls calls = p.recorder.Take();
    EXPECT_TRUE(Matching(calls, "Error").empty()) << testing::PrintToString(calls);
    EXPECT_TRUE(Matching(calls, "Log Building envelope scene").empty());
    EXPECT_TRUE(Matching(calls, "Log Loading low poly mesh").empty());
    EXPECT_TRUE(Matching(calls, "MapStart").empty());
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3], "JobEnd");
    EXPECT_EQ(calls.back(), "BakeEnd 1");
}

TEST(BakePipeline, ATooSmallOutputIsAnErrorAndTheManagerStaysUsable) {
    Pipeline p;
    BakeJob tiny = p.MakeJob("tiny");
    tiny.width = 4;  // 4 samples a side gives tiles of 0 samples
    testing::internal::CaptureStdout();
    p.Bake({&tiny});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.manager.HasFailed());
    EXPECT_FALSE(Matching(p.recorder.Take(), "Error Output size 4 x 256").empty());

    BakeJob fine = p.MakeJob("fine");
    p.Bake({&fine});
    EXPECT_FALSE(p.manager.HasFailed());
    EXPECT_TRUE(fs::exists(p.folder / "fine_alpha.png"));
}

TEST(BakePipeline, ARangeMapOverThreeUvTilesCachesEveryTileBeforeFinishingAny) {
    Pipeline p;
    BakeJob job = p.MakeJob("crate");
    job.maps[0].type = MapCurvature;
    job.tilingMode = 2;
    job.tileMinU = 0;
    job.tileMaxU = 2;
    job.tileMinV = job.tileMaxV = 0;
    p.Bake({&job});
    ASSERT_FALSE(p.manager.HasFailed());

    Calls passes;
    for (const std::string& line : Matching(p.recorder.Take(), "Log ")) {
        if (line.rfind("Log Caching ", 0) == 0 || line.rfind("Log Post processing ", 0) == 0 ||
            line.rfind("Log Exporting ", 0) == 0)
            passes.push_back(line.substr(4));
    }
    const Calls expected = {
        "Caching crate_curvature_packed.1001",         "Caching crate_curvature_packed.1002",
        "Caching crate_curvature_packed.1003",         "Post processing crate_curvature_packed.1001",
        "Exporting crate_curvature_packed.1001",       "Post processing crate_curvature_packed.1002",
        "Exporting crate_curvature_packed.1002",       "Post processing crate_curvature_packed.1003",
        "Exporting crate_curvature_packed.1003"};
    EXPECT_EQ(passes, expected);
    for (const char* tile : {".1001", ".1002", ".1003"}) {
        for (const char* suffix : {"_curvature_packed", "_concavity", "_convexity", "_curvature"})
            EXPECT_TRUE(fs::exists(p.folder / (std::string("crate") + suffix + tile + ".png"))) << suffix << tile;
        EXPECT_FALSE(fs::exists(p.folder / (std::string("crate_curvature_packed") + tile + ".mif")));
    }
}

TEST(BakePipeline, EverySampleIsShadedWhateverTheMapSize) {
    // Sizes that do not divide by 8 (with the supersampling) end in tiles reaching past the map.
    Pipeline p;
    const struct {
        int width, height, supersampling;
    } sizes[] = {{1000, 1000, 1}, {1001, 259, 1}, {301, 300, 4}, {300, 257, 2}};
    for (const auto& size : sizes) {
        const std::string name = "full" + std::to_string(size.width) + "x" + std::to_string(size.height);
        BakeJob job = p.MakeJob(name);
        job.width = size.width;
        job.height = size.height;
        job.maps[0].supersampling = size.supersampling;
        p.Bake({&job});
        ASSERT_FALSE(p.manager.HasFailed()) << name;
        // The quad covers the whole UV tile: so does the map, up to its last row and column.
        const ImageFile image = ReadImageFile(p.folder / (name + "_alpha.png"));
        ASSERT_EQ(image.width, size.width);
        ASSERT_EQ(image.height, size.height);
        int empty = 0;
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) empty += image.At(x, y)[3] < 1.0f;
        EXPECT_EQ(empty, 0) << name;
        for (const std::string& tile : Matching(p.recorder.Take(), "TileDone ")) {
            int x = 0, y = 0, w = 0, h = 0;
            ASSERT_EQ(std::sscanf(tile.c_str(), "TileDone %d %d %d %d", &x, &y, &w, &h), 4);
            EXPECT_LE(x + w, size.width) << tile;
            EXPECT_LE(y + h, size.height) << tile;
        }
    }

    // UV space still spans the map exactly: a quad over the left half of it covers the left half.
    WriteObj(p.folder / "half.obj", GridMesh(1, 0, 1, 0, 1, 0, 0.5f, 0, 1));
    BakeJob half = p.MakeJob("half");
    half.lowPolyPath = (p.folder / "half.obj").string();
    half.width = 1001;
    half.height = 300;
    p.Bake({&half});
    ASSERT_FALSE(p.manager.HasFailed());
    const ImageFile image = ReadImageFile(p.folder / "half_alpha.png");
    for (int y : {0, 150, 299}) {
        EXPECT_EQ(image.At(499, y)[3], 1.0f) << y;
        EXPECT_EQ(image.At(501, y)[3], 0.0f) << y;
        EXPECT_EQ(image.At(1000, y)[3], 0.0f) << y;
    }
}

TEST(BakePipeline, ManualRegionsAtTheEndsOfTheIntRangeStayFinite) {
    Pipeline p;
    // The two last rows: two UV tiles, named past the int range, and then the loops end.
    p.recorder.cancelAtTiling = 3;  // a wrapped row counter would go on baking
    BakeJob edge = p.MakeJob("edge");
    WriteObj(p.folder / "tall.obj", GridMesh(1, 0, 2, 0, 1, 0, 2, 0, 4.3e9f));  // UVs over every row
    edge.lowPolyPath = (p.folder / "tall.obj").string();
    edge.tilingMode = 2;
    edge.tileNaming = 1;
    edge.tileMinU = edge.tileMaxU = 0;
    edge.tileMinV = 2147483646;
    edge.tileMaxV = 2147483647;
    testing::internal::CaptureStdout();
    p.Bake({&edge});
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(p.manager.HasFailed()) << out;
    EXPECT_EQ(out.find("Canceled"), std::string::npos) << out;
    EXPECT_EQ(Matching(p.recorder.Take(), "TilingStart"),
              (Calls{"TilingStart 0 2147483646", "TilingStart 0 2147483647"}));
    EXPECT_TRUE(fs::exists(p.folder / "edge_alpha_u1_v2147483647.png"));
    EXPECT_TRUE(fs::exists(p.folder / "edge_alpha_u1_v2147483648.png"));

    // No columns under every row there is: refused at once, before any row is walked.
    BakeJob empty = p.MakeJob("empty");
    empty.maps[0].type = MapCurvature;
    empty.tilingMode = 2;
    empty.tileMinU = 1;
    empty.tileMaxU = 0;
    empty.tileMinV = 0;
    empty.tileMaxV = 2147483647;
    testing::internal::CaptureStdout();
    p.Bake({&empty});
    out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.manager.HasFailed()) << out;
    const Calls calls = p.recorder.Take();
    EXPECT_TRUE(Matching(calls, "TilingStart").empty());
    EXPECT_EQ(Matching(calls, "Error The UV-tile region u 1 to 0, v 0 to 2147483647 has a minimum above its maximum").size(),
              1u);
    for (const auto& entry : fs::directory_iterator(p.folder.Path()))
        EXPECT_NE(entry.path().filename().string().rfind("empty", 0), 0u) << entry.path();
}

TEST(BakePipeline, MemoryRunningOutNamesTheStepAndItsFile) {
    Pipeline p;
    const std::string low = (p.folder / "low.obj").string(), envelope = (p.folder / "envelope.obj").string();
    WriteObj(envelope, GridMesh(1, -1, 3, -1, 2));
    const std::string out = (p.folder / "crate").string();
    const std::vector<std::pair<std::string, std::string>> steps{
        {"Building envelope scene", "Not enough memory to load the envelope " + envelope},
        {"Loading low poly mesh", "Not enough memory to load the low-poly mesh " + low},
        {"Exporting", "Not enough memory to bake " + out + "_alpha"},
    };
    for (const auto& [line, message] : steps) {
        p.recorder.runOutAtLog = line;
        BakeJob job = p.MakeJob("crate");
        job.SetEnvelopePath(envelope.c_str());
        testing::internal::CaptureStdout();
        p.Bake({&job});
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(p.manager.HasFailed()) << line;
        EXPECT_EQ(Matching(p.recorder.Take(), "Error"), Calls{"Error " + message}) << line;
    }
}

TEST(BakePipeline, AMissingOrUnwritableOutputFolderIsRefusedBeforeAnythingIsLoaded) {
    Pipeline p;
    WriteObj(p.folder / "file.obj", GridMesh(1, 0, 1, 0, 1));
    const std::string missing = (p.folder / "missing").string(), file = (p.folder / "file.obj").string();
    const std::vector<std::pair<std::string, std::string>> cases{
        {missing + "/crate", "The output folder '" + missing + "' does not exist"},
        {missing + "/deeper/crate", "The output folder '" + missing + "/deeper' does not exist"},
        {file + "/crate", "The output folder '" + file + "' is not a folder"},
        // No one may make files in a process's folder of /proc, not even its superuser.
        {"/proc/self/crate", "The output folder '/proc/self' cannot be written: "},
    };
    for (const auto& [path, message] : cases) {
        // Every job of the run is checked before the first is loaded; the high-poly file of this
        // one does not exist, yet the folder is what is reported.
        BakeJob first = p.MakeJob("first");
        BakeJob job = p.FailingJob("unused");
        job.outputPath = path;
        job.explicitPath = path.find("deeper") != std::string::npos;
        testing::internal::CaptureStdout();
        p.Bake({&first, &job});
        EXPECT_EQ(testing::internal::GetCapturedStdout().rfind(message, 0), 0u) << message;
        EXPECT_TRUE(p.manager.HasFailed());
        const Calls calls = p.recorder.Take();
        ASSERT_EQ(calls.size(), 2u) << testing::PrintToString(calls);
        EXPECT_EQ(calls[0], "BakeStart");
        EXPECT_EQ(calls[1].rfind("Error " + message, 0), 0u) << calls[1];
        EXPECT_FALSE(fs::exists(missing));
        EXPECT_FALSE(fs::exists(p.folder / "first_alpha.png"));
    }

    // A job without a map to bake writes nothing, so its folder is not asked for; a bare name
    // goes to the working folder.
    BakeJob nothing;
    nothing.outputPath = missing + "/crate";
    BakeJob bare = p.MakeJob("bare");
    bare.outputPath = "kelvor-bare-output";
    testing::internal::CaptureStdout();
    p.Bake({&nothing, &bare});
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(p.manager.HasFailed());
    EXPECT_TRUE(fs::remove("kelvor-bare-output_alpha.png"));
}
