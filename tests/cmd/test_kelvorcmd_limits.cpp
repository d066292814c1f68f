// KelvorCmd runs that cannot succeed and must say so before they load anything: an output folder
// that is not there, a high-poly load beyond the memory the process may take.
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

TEST(KelvorCmdLimits, AnInstancedFbxBeyondTheAddressSpaceLimitIsRefusedBeforeItIsCopied) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    TempFolder folder("kelvorcmd-memory");
    WriteObj(folder / "low.obj", GridMesh(1, -1, 251, -1, 241));
    // 60,000 instances of a 200-triangle grid: 12M triangles, which took 3.4 GB resident to load
    // and ran out of memory under a limit of 4 GB.
    const FbxTest::Format format{FbxTest::Encoding::Binary, 7500, true};
    FbxTest::WriteFile((folder / "instances.fbx").string(), FbxTest::WriteScene(FbxTest::GridInstances(60000), format));
    FbxTest::WriteFile((folder / "few.fbx").string(), FbxTest::WriteScene(FbxTest::GridInstances(1000), format));
    // The program's own threads take address space for each processor.
    const uint64_t limit = (uint64_t(2) << 30) + uint64_t(std::max(1u, std::thread::hardware_concurrency())) * (256u << 20);
    const std::vector<std::string> common{"--low", "low.obj", "-p", "out", "-f", "png8", "--width", "256", "--height", "256"};

    std::vector<std::string> args = common;
    args.insert(args.end(), {"--high", "instances.fbx", "normal"});
    const ProgramResult refused = RunKelvorCmd(args, folder.Path(), limit);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("Not enough memory to load instances.fbx: its 12000000 triangles need about "),
              std::string::npos)
        << refused.out;
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
