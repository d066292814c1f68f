#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bake/bakemanager.h"
#include "bake/highpolyestimate.h"
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

// In a child process: a bake manager set up as a program under an address-space limit sets one
// up (the limit comes first, as prlimit or ulimit set it), whose limit is then lowered to a room
// of a chosen size above what the process maps.
class ManagerWithinRoom {
public:
    explicit ManagerWithinRoom(const fs::path& folder) : folder(folder), reporter("test"), manager(&reporter, &grid) {
        if (!std::freopen("/dev/null", "w", stdout)) std::_Exit(3);
        manager.SetListener(&listener);
        manager.SetThreadCount(4);
        manager.Init(4, 1024, 1024);
    }

    // The limit is `room` bytes above what the process maps now.
    static bool SetRoom(uint64_t room) {
        const rlimit limit{StatusBytes("VmSize") + room, RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
        return true;
    }

    // Bakes a normal map of the quad over the files; the error it reports, empty when none.
    std::string Bake(const std::vector<std::string>& files) {
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
    }

    void Expect(bool holds, const std::string& what) {
        if (holds) return;
        std::fprintf(stderr, "%s\n", what.c_str());
        ++faults;
    }
    // The child wrote its files into a folder of its own, which no destructor removes after _Exit.
    [[noreturn]] void Exit() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        std::_Exit(faults == 0 ? 0 : 1);
    }

    fs::path folder;

private:
    static TraceGridSettings Grid() {
        TraceGridSettings grid;
        ChooseTraceKernel(CpuFeatures(), &grid, SimdAuto, PrecisionDefault);
        return grid;
    }

    const bool limited = SetRoom(uint64_t(4) << 30);  // before the manager starts any thread
    EventReporter reporter;
    TraceGridSettings grid = Grid();
    BakeManager manager;
    ErrorListener listener;
    int faults = 0;
};

[[noreturn]] void BakeWithinRoom(const fs::path& folder, uint64_t room) {
    ManagerWithinRoom child(folder);
    ManagerWithinRoom::SetRoom(room);
    const uint64_t resident = StatusBytes("VmRSS");

    const std::string big = child.Bake({"big.fbx"});
    child.Expect(big.rfind("Not enough memory to load " + (folder / "big.fbx").string() + ": its 8000000 triangles need about ", 0) == 0,
                 "big alone: " + big);
    // About twice the room, and refused before its copy: a scene of 8M triangles alone would take more than 2 GB.
    child.Expect(NeededGigabytes(big) > 1.9 * double(room) / 1e9, "big alone: " + big);
    child.Expect(StatusBytes("VmHWM") < resident + (uint64_t(300) << 20), "the big file was copied");

    const std::string both = child.Bake({"small.fbx", "big.fbx"});
    child.Expect(both.rfind("Not enough memory to load " + (folder / "big.fbx").string() +
                                ": with the high-poly files before it, 9000000 triangles need about ", 0) == 0,
                 "both: " + both);
    // The small file's triangles count at the bytes a copied triangle takes: 1M of them near 0.3 GB.
    child.Expect(NeededGigabytes(both) - NeededGigabytes(big) > 0.25, "the small file is not counted: " + both + " / " + big);

    // A load that fits bakes under the limit.
    const std::string small = child.Bake({"small.fbx"});
    child.Expect(small.empty(), "small: " + small);
    child.Expect(fs::exists(folder / "out_tnm_fbx.png"), "small: no map");
    child.Exit();
}

// Files of many points and one triangle, as point tools and scanners write them.
void WritePointsObj(const fs::path& path, int points) {
    std::string text = "v -1 -1 0.1\nv 1 -1 0.1\nv 0 1 0.1\n";
    for (int i = 3; i < points; ++i) text += "v 0 0 1\n";
    text += "f 1 2 3\n";
    std::ofstream(path, std::ios::binary) << text;
}

void WritePointsPly(const fs::path& path, int points) {
    std::string bytes = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(points) +
                        "\nproperty float x\nproperty float y\nproperty float z\nelement face 1\n"
                        "property list uchar int vertex_indices\nend_header\n";
    std::vector<float> xyz(size_t(points) * 3, 1.0f);
    const float first[9] = {-1, -1, 0.1f, 1, -1, 0.1f, 0, 1, 0.1f};
    std::copy(first, first + 9, xyz.begin());
    bytes.append(reinterpret_cast<const char*>(xyz.data()), xyz.size() * sizeof(float));
    const int32_t face[3] = {0, 1, 2};
    bytes.push_back('\3');
    bytes.append(reinterpret_cast<const char*>(face), sizeof face);
    std::ofstream(path, std::ios::binary) << bytes;
}

[[noreturn]] void BakePointsWithinRoom(const fs::path& folder, uint64_t room, int objPoints, int plyPoints) {
    ManagerWithinRoom child(folder);
    ManagerWithinRoom::SetRoom(room);
    const uint64_t resident = StatusBytes("VmRSS");
    for (const auto& [file, points] : {std::pair{"points.obj", objPoints}, std::pair{"points.ply", plyPoints}}) {
        const std::string refused = child.Bake({file});
        child.Expect(refused.rfind("Not enough memory to load " + (folder / file).string() + ": its " + std::to_string(points) +
                                       " vertices need about ", 0) == 0,
                     std::string(file) + ": " + refused);
    }
    // Refused before the points were copied: the PLY's alone would take 28 bytes each in the scene.
    child.Expect(StatusBytes("VmHWM") < resident + uint64_t(plyPoints) * 12, "the points were copied");

    // With the room they need, both bake.
    ManagerWithinRoom::SetRoom(uint64_t(1) << 30);
    for (const char* file : {"points.obj", "points.ply"}) {
        const std::string baked = child.Bake({file});
        child.Expect(baked.empty(), std::string(file) + " with room: " + baked);
    }
    child.Exit();
}

}  // namespace

TEST(HighPolyMemory, ALoadThatNeedsTwiceTheRoomIsRefusedBeforeItsCopyWithTheFilesBeforeIt) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    // A child of its own: the GL threads of bakes this process ran before are not forked with it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempFolder folder("kelvor-loadmemory");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 251, -1, 161));
    WriteInstances(folder / "small.fbx", 5000);
    WriteInstances(folder / "big.fbx", 40000);
    EXPECT_EXIT(BakeWithinRoom(folder.Path(), uint64_t(1200) << 20), testing::ExitedWithCode(0), "");
}

TEST(HighPolyMemory, AFileOfManyPointsIsRefusedBeforeTheyAreCopied) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempFolder folder("kelvor-pointsmemory");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 1, -1, 1));
    // A few bytes a point in the file, over a hundred megabytes as the load holds them: each
    // needs twice the room.
    constexpr int kObjPoints = 8000000, kPlyPoints = 2200000;
    WritePointsObj(folder / "points.obj", kObjPoints);
    WritePointsPly(folder / "points.ply", kPlyPoints);
    EXPECT_EXIT(BakePointsWithinRoom(folder.Path(), uint64_t(40) << 20, kObjPoints, kPlyPoints), testing::ExitedWithCode(0), "");
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

TEST(HighPolyMemory, TheEstimateCountsAtLeastTheArraysALoadHolds) {
    const HighPolyImporter importers[] = {HighPolyImporter::Obj, HighPolyImporter::Ply, HighPolyImporter::Fbx};
    for (const HighPolyImporter importer : importers)
        for (const bool normals : {false, true}) {
            SCOPED_TRACE(testing::Message() << "importer " << int(importer) << ", normals " << normals);
            // A triangle's corners and materials in the scene, and the four floats of its grid
            // packet lane three times over; a vertex record's three floats.
            const LoadEstimate mesh = EstimateLoad(importer, {10000000, 5000000, 1}, normals);
            EXPECT_FALSE(mesh.ByVertices());
            EXPECT_GE(mesh.Bytes(), uint64_t(10000000) * (16 + 52));
            const LoadEstimate points = EstimateLoad(importer, {1, 30000000, 1}, normals);
            EXPECT_TRUE(points.ByVertices());
            EXPECT_GE(points.Bytes(), uint64_t(30000000) * 12);
            // Normals only add; meshes copied into the trace mesh take more than one handed over.
            EXPECT_LE(mesh.Bytes(), EstimateLoad(importer, {10000000, 5000000, 1}, true).Bytes());
            EXPECT_LE(mesh.Bytes(), EstimateLoad(importer, {10000000, 5000000, 100}, normals).Bytes());
        }
    // A PLY mesh keeps every vertex record: positions, colours and, with normals, normals.
    EXPECT_GE(EstimateLoad(HighPolyImporter::Ply, {1, 1000, 1}, false).Bytes(), uint64_t(1000) * 16);
    EXPECT_GE(EstimateLoad(HighPolyImporter::Ply, {1, 1000, 1}, true).Bytes(), uint64_t(1000) * 28);

}
