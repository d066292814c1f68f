#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bake/bakemanager.h"
#include "core/availablememory.h"
#include "events/eventreporter.h"
#include "support/fbxtestwriter.h"
#include "support/testsupport.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

// Keeps the last error the manager reports.
class ErrorListener : public BakeManager::IBakeListener {
public:
    void OnBakeStart() override { error.clear(); }
    void OnJobStart(BakeJob*) override {}
    void OnMapStart(BakeJob*, int, Image*) override {}
    void OnTilingStart(BakeJob*, MapSettings*, int, int) override {}
    void OnTileDone(const BakeManager::TileUpdate*) override {}
    void OnProgress(float) override {}
    void OnError(const std::string& message) override { error = message; }
    void OnLog(const std::string&) override {}
    void OnTilingEnd(BakeJob*, MapSettings*, int, int) override {}
    void OnMapDone(BakeJob*, int) override {}
    void OnJobEnd(BakeJob*) override {}
    void OnBakeEnd(int) override {}
    void OnBakeStopped() override {}

    std::string error;
};

void WriteInstances(const fs::path& path, int count) {
    FbxTest::WriteFile(path.string(), FbxTest::WriteScene(FbxTest::GridInstances(count), {FbxTest::Encoding::Binary, 7500, true}));
}

uint64_t StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string name = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name, 0) == 0) return std::strtoull(line.c_str() + name.size(), nullptr, 10) * 1024;
    return 0;
}

// The GB figure of "need about <x> GB"; -1 when the message has none.
double NeededGigabytes(const std::string& message) {
    const size_t at = message.find("need about ");
    return at == std::string::npos ? -1.0 : std::atof(message.c_str() + at + 11);
}

// In a child process: a manager as a bake sets it up, then an address-space limit of `room`
// bytes above what the process maps; bakes three jobs of a quad over the instanced files and
// checks what each gives. Exits 0 when all is as expected, else says on standard error what was not.
[[noreturn]] void BakeWithinRoom(const fs::path& folder, uint64_t room) {
    if (!std::freopen("/dev/null", "w", stdout)) std::_Exit(3);
    EventReporter reporter("test");
    TraceGridSettings grid;
    ChooseTraceKernel(CpuFeatures(), &grid, SimdAuto, PrecisionDefault);
    BakeManager manager(&reporter, &grid);
    ErrorListener listener;
    manager.SetListener(&listener);
    manager.SetThreadCount(4);
    manager.Init(4, 1024, 1024);
    auto bake = [&](const std::vector<std::string>& files) {
        BakeJob job;
        job.width = job.height = 256;
        job.lowPolyPath = (folder / "low.obj").string();
        for (const std::string& file : files) job.AddHighPolyPath((folder / file).c_str());
        job.hasHighPoly = true;
        job.outputPath = (folder / "out").string();
        job.outputFormat = FormatPng8;
        job.AddMap().type = MapNormal;
        std::vector<BakeJob*> jobs{&job};
        manager.Bake(&jobs);
        return listener.error;
    };

    const rlimit limit{StatusBytes("VmSize") + room, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
    const uint64_t resident = StatusBytes("VmRSS");
    int faults = 0;
    auto expect = [&](bool holds, const std::string& what) {
        if (holds) return;
        std::fprintf(stderr, "%s\n", what.c_str());
        ++faults;
    };

    const std::string big = bake({"big.fbx"});
    expect(big.rfind("Not enough memory to load " + (folder / "big.fbx").string() +
                         ": its 8000000 triangles need about ", 0) == 0,
           "big alone: " + big);
    // Refused before its copy: a scene of 8M triangles alone would take more than 2 GB.
    expect(StatusBytes("VmHWM") < resident + (uint64_t(300) << 20), "the big file was copied");

    const std::string both = bake({"small.fbx", "big.fbx"});
    expect(both.rfind("Not enough memory to load " + (folder / "big.fbx").string() +
                          ": with the high-poly files before it, 9000000 triangles need about ", 0) == 0,
           "both: " + both);
    // The small file's triangles count at the bytes a triangle takes: 1M of them near 0.4 GB.
    expect(NeededGigabytes(both) - NeededGigabytes(big) > 0.3, "the small file is not counted: " + both + " / " + big);

    // A load that the estimate lets through bakes under the limit.
    const std::string small = bake({"small.fbx"});
    expect(small.empty(), "small: " + small);
    expect(fs::exists(folder / "out_tnm_fbx.png"), "small: no map");
    // The child wrote its files into a folder of its own, which no destructor removes after _Exit.
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    std::_Exit(faults == 0 ? 0 : 1);
}

}  // namespace

TEST(HighPolyMemory, ALoadThatCannotFitIsRefusedBeforeItsCopyWithTheFilesBeforeIt) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    if (std::thread::hardware_concurrency() > 16)
        GTEST_SKIP() << "the threads of more than 16 processors reserve more address space than the test's limit leaves";
    // A child of its own: the GL threads of bakes this process ran before are not forked with it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempFolder folder("kelvor-loadmemory");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 251, -1, 161));
    WriteInstances(folder / "small.fbx", 5000);
    WriteInstances(folder / "big.fbx", 40000);
    EXPECT_EXIT(BakeWithinRoom(folder.Path(), uint64_t(2500) << 20), testing::ExitedWithCode(0), "");
}

namespace {

// In a child process: exits 0 when, under an address-space limit of `room` bytes above what the
// process maps, the limit is measured as room of address space and not of memory.
[[noreturn]] void MeasureWithinRoom(uint64_t room) {
    const rlimit limit{StatusBytes("VmSize") + room, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
    const MemoryRoom measured = AvailableMemoryRoom();
    std::fprintf(stderr, "memory %llu, address space %llu\n", (unsigned long long)measured.memory,
                 (unsigned long long)measured.addressSpace);
    // What the reading itself maps comes off the room.
    const bool address = measured.addressSpace <= room && measured.addressSpace > room - (uint64_t(64) << 20);
    std::_Exit(address && measured.memory > room && AvailableMemory() == measured.addressSpace ? 0 : 1);
}

}  // namespace

TEST(HighPolyMemory, AnAddressSpaceLimitIsRoomOfAddressSpaceNotOfMemory) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(MeasureWithinRoom(uint64_t(512) << 20), testing::ExitedWithCode(0), "");
}
