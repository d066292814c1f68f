#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bake/bakeexception.h"
#include "bake/bakemanager.h"
#include "events/eventreporter.h"
#include "geometry/sceneimporter.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;

namespace {

// Records every call as one text, in order; calls may come from the bake thread.
class RecordingListener : public BakeManager::IBakeListener {
public:
    void OnBakeStart() override { Add("BakeStart"); }
    void OnJobStart(BakeJob* job) override {
        Add("JobStart " + Name(job));
        if (throwOnJobStart) throwOnJobStart();
    }
    void OnMapStart(BakeJob* job, int mapIndex, Image*) override {
        Add("MapStart " + Name(job) + " " + std::to_string(mapIndex));
    }
    void OnTilingStart(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingStart " + std::to_string(u) + " " + std::to_string(v));
    }
    void OnTileDone(const BakeManager::TileUpdate*) override { Add("TileDone"); }
    void OnProgress(float fraction) override { Add("Progress " + std::to_string(fraction)); }
    void OnError(const std::string& message) override { Add("Error " + message); }
    void OnLog(const std::string& line) override { Add("Log " + line); }
    void OnTilingEnd(BakeJob*, MapSettings*, int u, int v) override {
        Add("TilingEnd " + std::to_string(u) + " " + std::to_string(v));
    }
    void OnMapDone(BakeJob* job, int mapIndex) override { Add("MapDone " + Name(job) + " " + std::to_string(mapIndex)); }
    void OnJobEnd(BakeJob* job) override { Add("JobEnd " + Name(job)); }
    void OnBakeEnd(int jobCount) override { Add("BakeEnd " + std::to_string(jobCount)); }
    void OnBakeStopped() override { Add("BakeStopped"); }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }

    std::vector<BakeJob*> names;  // jobs named by their position here
    std::function<void()> throwOnJobStart;

private:
    std::string Name(BakeJob* job) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == job) return "job" + std::to_string(i);
        return "job?";
    }
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    std::mutex mutex;
    std::vector<std::string> calls;
};

struct ManagerFixture : testing::Test {
    ManagerFixture() : reporter("test"), manager(&reporter, &grid) {
        reporter.SetEnabled(true);
        reporter.SetSender([this](const std::string& text) { events.push_back(text); });
        manager.SetListener(&listener);
    }

    // A job whose high-poly file does not exist: loading its scene fails.
    BakeJob* FailingJob() {
        auto& job = jobStore.emplace_back(std::make_unique<BakeJob>());
        job->AddHighPolyPath("/nonexistent/kelvor-test/missing.obj");
        job->hasHighPoly = true;
        listener.names.push_back(job.get());
        return job.get();
    }

    std::vector<std::string> events;
    EventReporter reporter;
    TraceGridSettings grid;
    RecordingListener listener;
    std::vector<std::unique_ptr<BakeJob>> jobStore;
    BakeManager manager;
};

using Calls = std::vector<std::string>;

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

TEST_F(ManagerFixture, EmptyBakeStartsAndEnds) {
    std::vector<BakeJob*> none;
    manager.Bake(&none);
    EXPECT_EQ(listener.Calls(), (Calls{"BakeStart", "BakeEnd 0"}));
    EXPECT_FALSE(manager.HasFailed());
}

TEST_F(ManagerFixture, AnExceptionEndsTheWholeBakeAndTheNextBakeWorks) {
    std::vector<BakeJob*> jobs{FailingJob(), FailingJob()};
    testing::internal::CaptureStdout();
    manager.Bake(&jobs);
    const std::string printed = testing::internal::GetCapturedStdout();

    const Calls calls = listener.Calls();
    ASSERT_EQ(calls.size(), 5u) << testing::PrintToString(calls);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4),
              (Calls{"BakeStart", "JobStart job0", "Log Initializing", "Log Loading high poly scene"}));
    ASSERT_EQ(calls[4].rfind("Error ", 0), 0u);
    const std::string message = calls[4].substr(6);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(printed, message + "\n");
    EXPECT_TRUE(manager.HasFailed());

    // The context was unlocked and the failed flag is cleared by the next run.
    listener.Clear();
    std::vector<BakeJob*> none;
    manager.Bake(&none);
    EXPECT_EQ(listener.Calls(), (Calls{"BakeStart", "BakeEnd 0"}));
    EXPECT_FALSE(manager.HasFailed());
}

TEST_F(ManagerFixture, EveryKindOfExceptionIsReported) {
    const std::vector<std::pair<std::string, std::function<void()>>> throwers{
        {"bake failure", [] { throw BakeException("bake failure"); }},
        {"Please triangulate your mesh", [] { throw ImportException("Please triangulate your mesh"); }},
        {"some runtime error", [] { throw std::runtime_error("some runtime error"); }},
        {"std::bad_alloc", [] { throw std::bad_alloc(); }},
    };
    for (const auto& [text, thrower] : throwers) {
        listener.Clear();
        listener.throwOnJobStart = thrower;
        BakeJob job;
        listener.names = {&job};
        std::vector<BakeJob*> jobs{&job};
        testing::internal::CaptureStdout();
        manager.Bake(&jobs);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text + "\n");
        EXPECT_EQ(listener.Calls(), (Calls{"BakeStart", "JobStart job0", "Error " + text}));
        EXPECT_TRUE(manager.HasFailed());
    }
}

TEST_F(ManagerFixture, WithoutAListenerTheErrorIsStillPrinted) {
    manager.SetListener(nullptr);
    std::vector<BakeJob*> jobs{FailingJob()};
    testing::internal::CaptureStdout();
    manager.Bake(&jobs);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(manager.HasFailed());
}

TEST_F(ManagerFixture, WorkerCountIsAtLeastOne) {
    EXPECT_EQ(manager.GetRenderState().threadCount, 16);
    manager.SetThreadCount(0);
    EXPECT_EQ(manager.GetRenderState().threadCount, 1);
    manager.SetThreadCount(-3);
    EXPECT_EQ(manager.GetRenderState().threadCount, 1);
    manager.SetThreadCount(6);
    EXPECT_EQ(manager.GetRenderState().threadCount, 6);
}

TEST_F(ManagerFixture, ResolvableLinesAreCountedFromTheProgressBase) {
    RenderState state;
    state.supersampling = 2;
    testing::internal::CaptureStdout();
    manager.OnProgress(state, -1);
    manager.OnProgress(state, 9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Resolvable lines: 5\n");
}

TEST_F(ManagerFixture, InitSendsInitEveryTimeAndInfoOnce) {
    manager.Init(3, 1024, 1024);
    manager.Init(3, 1024, 1024);
    manager.Init(5, 512, 256);
    ASSERT_EQ(events.size(), 4u);
    const std::string init = R"({"category":"system","eventtype":"init","initparameters":)";
    EXPECT_EQ(events[0], init + R"({"threads":3,"tilex":1024,"tiley":1024},"nodeid":"test"})");
    EXPECT_EQ(events[1].rfind(R"({"category":"system","eventtype":"info","opengl":{"version":")", 0), 0u);
    EXPECT_EQ(events[1].find(R"("version":"")"), std::string::npos);  // the driver named itself
    EXPECT_EQ(events[2], events[0]);
    EXPECT_EQ(events[3], init + R"({"threads":5,"tilex":512,"tiley":256},"nodeid":"test"})");
}

TEST_F(ManagerFixture, BakeAsyncTwiceInARowRunsBothBakesInTurn) {
    std::vector<BakeJob*> none;
    std::vector<BakeJob*> jobs{FailingJob()};
    testing::internal::CaptureStdout();
    {
        BakeManager async(&reporter, &grid);
        async.SetListener(&listener);
        async.BakeAsync(&none);
        async.BakeAsync(&none);
        async.BakeAsync(&jobs);
        async.BakeAsync(&none);
        // Leaving the scope joins the last bake.
    }
    testing::internal::GetCapturedStdout();
    const Calls calls = listener.Calls();
    ASSERT_EQ(calls.size(), 11u) << testing::PrintToString(calls);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8),
              (Calls{"BakeStart", "BakeEnd 0", "BakeStart", "BakeEnd 0", "BakeStart", "JobStart job0",
                     "Log Initializing", "Log Loading high poly scene"}));
    EXPECT_EQ(calls[8].rfind("Error ", 0), 0u);
    EXPECT_EQ(Calls(calls.begin() + 9, calls.end()), (Calls{"BakeStart", "BakeEnd 0"}));
}
