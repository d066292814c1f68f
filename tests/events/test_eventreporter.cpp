#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "events/eventreporter.h"

using namespace Pallix::Bake;

namespace {

// An enabled reporter whose events are recorded instead of posted.
struct RecordingReporter {
    explicit RecordingReporter(const std::string& id) : reporter(id) {
        reporter.SetEnabled(true);
        reporter.SetSender([this](const std::string& text) { events.push_back(text); });
    }
    EventReporter reporter;
    std::vector<std::string> events;
};

}  // namespace

TEST(EventReporter, SharedEventsHaveTheirExactText) {
    RecordingReporter r("16838");
    r.reporter.ReportBoot("1.5.0");
    r.reporter.ReportInit(8, 1024, 1024);
    r.reporter.ReportOpenGLInfo("4.5 (Core Profile) Mesa 22.3.6", "Mesa", "llvmpipe (LLVM 15.0.6, 256 bits)");
    r.reporter.ReportShutdown();
    ASSERT_EQ(r.events.size(), 4u);
    EXPECT_EQ(r.events[0],
              R"j({"category":"system","eventtype":"boot","version":"1.5.0","platform":"win64","nodeid":"16838"})j");
    EXPECT_EQ(r.events[1],
              R"j({"category":"system","eventtype":"init","initparameters":{"threads":8,"tilex":1024,"tiley":1024},)j"
              R"j("nodeid":"16838"})j");
    EXPECT_EQ(r.events[2],
              R"j({"category":"system","eventtype":"info","opengl":{"version":"4.5 (Core Profile) Mesa 22.3.6",)j"
              R"j("vendor":"Mesa","renderer":"llvmpipe (LLVM 15.0.6, 256 bits)"},"nodeid":"16838"})j");
    EXPECT_EQ(r.events[3], R"j({"category":"system","eventtype":"shutdown","nodeid":"16838"})j");
}

TEST(EventReporter, DisabledReporterBuildsButDeliversNothing) {
    EventReporter reporter("1");
    EXPECT_FALSE(reporter.IsEnabled());
    int delivered = 0;
    reporter.SetSender([&](const std::string&) { ++delivered; });
    reporter.ReportBoot("1.5.0");
    reporter.ReportInit(1, 2, 3);
    reporter.ReportOpenGLInfo("a", "b", "c");
    reporter.ReportShutdown();
    EXPECT_EQ(delivered, 0);
}

TEST(EventReporter, NodeIdEndsEveryEventEvenWhenEmpty) {
    RecordingReporter r("");
    r.reporter.Send(EventReporter::JsonInt("a", 1, true));
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], R"j({"a":1,"nodeid":""})j");
}

TEST(EventReporter, MemberForms) {
    EXPECT_EQ(EventReporter::JsonString("category", "system", true), R"j("category":"system",)j");
    EXPECT_EQ(EventReporter::JsonInt("tiley", 1024, false), R"j("tiley":1024)j");
    EXPECT_EQ(EventReporter::JsonInt("n", -7, true), R"j("n":-7,)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", 0.5, false), R"j("t":0.500000)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", 12, true), R"j("t":12.000000,)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", -3.25, false), R"j("t":-3.250000)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", 1234567.0000004, false), R"j("t":1234567.000000)j");
    EXPECT_EQ(EventReporter::JsonRaw("o", "{}"), R"j("o":{},)j");
    EXPECT_EQ(EventReporter::JsonObject(""), "{}");
}

TEST(EventReporter, NonFiniteNumbersAreWrittenAsZero) {
    EXPECT_EQ(EventReporter::JsonDouble("t", std::nan(""), false), R"j("t":0.000000)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", HUGE_VAL, false), R"j("t":0.000000)j");
    EXPECT_EQ(EventReporter::JsonDouble("t", -HUGE_VAL, false), R"j("t":0.000000)j");
}

TEST(EventReporter, TextIsEscapedSoEventsStayValidJson) {
    EXPECT_EQ(EventReporter::JsonString("r", "A \"quoted\" C:\\gpu", false), R"j("r":"A \"quoted\" C:\\gpu")j");
    EXPECT_EQ(EventReporter::JsonEscape(std::string("a\nb\tc\x01\x1f\r\b\f")), R"j(a\nb\tc\u0001\u001f\r\b\f)j");
    // UTF-8 passes through unchanged.
    EXPECT_EQ(EventReporter::JsonEscape("Gr\xc3\xa4nz"), "Gr\xc3\xa4nz");
    EXPECT_EQ(EventReporter::JsonInt("k\"ey", 1, false), R"j("k\"ey":1)j");

    RecordingReporter r("id\"1");
    r.reporter.ReportOpenGLInfo("3.3", "V\\", "R\"x");
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], R"j({"category":"system","eventtype":"info","opengl":{"version":"3.3","vendor":"V\\",)j"
                           R"j("renderer":"R\"x"},"nodeid":"id\"1"})j");
}

TEST(EventReporter, TheWindowsMapEventsHaveTheirExactText) {
    RecordingReporter r("42");
    // The ids are the generator's values held to 0..32767, which glibc's range goes far beyond.
    std::srand(99);
    const int first = std::rand() & 0x7FFF, second = std::rand() & 0x7FFF;
    std::srand(99);
    EXPECT_EQ(r.reporter.ReportAOBake(1024, 512, 1, 256), first);
    EXPECT_EQ(r.reporter.ReportClownBake(64, 32), second);
    r.reporter.ReportSceneStats(first, 307200, 12, 24, 900, 4096, 0.75f, 75);
    r.reporter.ReportBakeEnd(first, 2.5, 0.25, 0.0, 1.0, -0.5, 0.0, 12.0);
    r.reporter.ReportCancelBake();
    const std::string id = std::to_string(first), clown = std::to_string(second);
    ASSERT_EQ(r.events.size(), 5u);
    EXPECT_EQ(r.events[0], R"j({"category":"user","eventtype":"bake","baketype":"ao","bakeid":")j" + id +
                               R"j(","bakeparameters":{"width":1024,"height":512,"sampling":1,"rays":256},)j"
                               R"j("nodeid":"42"})j");
    EXPECT_EQ(r.events[1], R"j({"category":"user","eventtype":"bake","baketype":"clown","bakeid":")j" + clown +
                               R"j(","bakeparameters":{"width":64,"height":32},"nodeid":"42"})j");
    EXPECT_EQ(r.events[2], R"j({"scenestats":{"tracetris":307200,"cagetris":12,"lowrestris":24,"tracehighwater":900,)j"
                           R"j("cellcount":4096,"cellavg":75,"cellusage":0.750000},"bakeid":")j" +
                               id + R"j(","nodeid":"42"})j");
    EXPECT_EQ(r.events[3], R"j({"category":"user","eventtype":"bake_end","bakeid":")j" + id +
                               R"j(","baketime":{"load":0.250000,"trace":1.000000,"geoconvert":0.000000,)j"
                               R"j("gpucopy":0.000000,"processing":-0.500000,"export":12.000000,"total":2.500000},)j"
                               R"j("nodeid":"42"})j");
    EXPECT_EQ(r.events[4], R"j({"category":"user","eventtype":"cancel_bake","nodeid":"42"})j");
}

