// KelvorCmd runs that cannot succeed and must say so before they load anything: an output folder
// that is not there, a high-poly load beyond the memory the process may take.
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/fbxtestwriter.h"
#include "support/testsupport.h"

using namespace KelvorTest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizer = true;
#else
constexpr bool AddressSanitizer = false;
#endif

struct LimitedRun {
    int status = -1;
    std::string out;
    long peakKilobytes = 0;  // the most resident memory the run held
};

// Runs KelvorCmd in folder under an address-space limit, as `ulimit -v` sets one.
LimitedRun RunWithin(uint64_t addressSpace, const std::vector<std::string>& args, const fs::path& folder) {
    const fs::path config = folder / ".config", log = folder / "run.log";
    fs::create_directories(config);
    const std::string program = KelvorCmdPath().string();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        unsetenv("DISPLAY");
        const rlimit limit{addressSpace, addressSpace};
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(folder.c_str()) != 0 || out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    LimitedRun run;
    int raw = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &raw, 0, &usage) == child) {
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.peakKilobytes = usage.ru_maxrss;
    }
    run.out = ReadAll(log);
    return run;
}

}  // namespace

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
    const LimitedRun refused = RunWithin(limit, args, folder.Path());
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("Not enough memory to load instances.fbx: its 12000000 triangles need about "),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(refused.out.find("bad_alloc"), std::string::npos) << refused.out;
    // Nothing was copied: the scene alone would hold over a gigabyte.
    EXPECT_LT(refused.peakKilobytes, 600 * 1024) << refused.out;
    EXPECT_FALSE(fs::exists(folder / "out_tnm_fbx.png"));

    // A load that fits is baked under the same limit.
    args = common;
    args.insert(args.end(), {"--high", "few.fbx", "normal"});
    const LimitedRun baked = RunWithin(limit, args, folder.Path());
    EXPECT_EQ(baked.status, 0) << baked.out;
    EXPECT_TRUE(fs::exists(folder / "out_tnm_fbx.png")) << baked.out;
}
