// KelvorCmd runs that cannot succeed and must say so before they load anything: an output folder
// that is not there, a high-poly load beyond the memory the process may take.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fbxtestwriter.h"
#include "support/testsupport.h"

using namespace KelvorTest;

TEST(KelvorCmdLimits, AMissingOutputFolderIsRefusedBeforeAnyMeshIsRead) {
    TempFolder folder("kelvorcmd-outputfolder");
    WriteObj(folder / "low.obj", GridMesh(1, 0, 1, 0, 1));
    // The high-poly file does not exist either: the folder is found first.
    for (const bool explicitPath : {false, true}) {
        std::vector<std::string> args{"--low", "low.obj", "--high", "missing.obj", "-p", "maps/crate", "-f", "png8"};
        if (explicitPath) args.push_back("--explicitpath");
        args.push_back("ao");
        const ProgramResult run = RunKelvorCmd(args, folder.Path());
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("The output folder 'maps' does not exist"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("missing.obj"), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(folder / "maps"));
    }
}

TEST(KelvorCmdLimits, AQuadIsBakedUnderTheAddressSpaceLimitsOfSharedMachines) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    TempFolder folder("kelvorcmd-quadlimit");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 1, -1, 1));
    WriteObj(folder / "high.obj", GridMesh(1, -1, 1, -1, 1));
    // Limits that render farms set; the threads' own reservations once filled the first.
    for (const uint64_t limit : {uint64_t(1800000000), uint64_t(2600000000)}) {
        const ProgramResult baked = RunKelvorCmd({"--low", "low.obj", "--high", "high.obj", "-p", "out", "-f", "png8", "--width",
                                                  "512", "--height", "512", "normal"},
                                                 folder.Path(), limit);
        EXPECT_EQ(baked.status, 0) << limit << "\n" << baked.out << baked.err;
        EXPECT_TRUE(fs::exists(folder / "out_tnm_fbx.png")) << limit;
        fs::remove(folder / "out_tnm_fbx.png");
    }
}

TEST(KelvorCmdLimits, AnInstancedFbxThatNeedsTwiceTheRoomIsRefusedBeforeItIsCopied) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    TempFolder folder("kelvorcmd-memory");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 251, -1, 241));
    // 60,000 instances of a 200-triangle grid: 12M triangles, which take 3.6 GB to load.
    const FbxTest::Format format{FbxTest::Encoding::Binary, 7500, true};
    FbxTest::WriteFile((folder / "instances.fbx").string(), FbxTest::WriteScene(FbxTest::GridInstances(60000), format));
    FbxTest::WriteFile((folder / "few.fbx").string(), FbxTest::WriteScene(FbxTest::GridInstances(1000), format));
    // Room of about 1.7 GB beside what the program maps before it loads, a little for each processor.
    const uint64_t limit = uint64_t(2000000000) + uint64_t(std::max(1u, std::thread::hardware_concurrency())) * (8u << 20);
    const std::vector<std::string> common{"--low", "low.obj", "-p", "out", "-f", "png8", "--width", "256", "--height", "256"};

    std::vector<std::string> args = common;
    args.insert(args.end(), {"--high", "instances.fbx", "normal"});
    const ProgramResult refused = RunKelvorCmd(args, folder.Path(), limit);
    EXPECT_EQ(refused.status, 1) << refused.out;
    const std::string message = "Not enough memory to load instances.fbx: its 12000000 triangles need about ";
    const size_t at = refused.out.find(message);
    ASSERT_NE(at, std::string::npos) << refused.out;
    // "... need about <x> GB of address space, and <y> GB are available"
    double needed = 0.0, available = 0.0;
    ASSERT_EQ(std::sscanf(refused.out.c_str() + at + message.size(), "%lf GB of address space, and %lf GB", &needed, &available), 2)
        << refused.out;
    EXPECT_GT(needed, 1.9 * available) << refused.out;
    EXPECT_EQ((refused.out + refused.err).find("bad_alloc"), std::string::npos) << refused.out << refused.err;
    // Nothing was copied: the scene alone would hold over a gigabyte.
    EXPECT_LT(refused.peakKilobytes, 600 * 1024) << refused.out;
    EXPECT_FALSE(fs::exists(folder / "out_tnm_fbx.png"));

    // A load that fits is baked under the same limit.
    args = common;
    args.insert(args.end(), {"--high", "few.fbx", "normal"});
    const ProgramResult baked = RunKelvorCmd(args, folder.Path(), limit);
    EXPECT_EQ(baked.status, 0) << baked.out;
    EXPECT_TRUE(fs::exists(folder / "out_tnm_fbx.png")) << baked.out;
}
