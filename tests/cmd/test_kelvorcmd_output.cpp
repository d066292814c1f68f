// What a KelvorCmd run leaves behind when it is killed, interrupted or races another run for
// the same output file.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/testsupport.h"

using namespace KelvorTest;

namespace {

// Starts KelvorCmd in folder with its standard output going to log; returns its process id.
pid_t StartKelvorCmd(const std::vector<std::string>& args, const fs::path& folder, const fs::path& log) {
    const fs::path config = folder / ".config";
    fs::create_directories(config);
    const std::string program = KelvorCmdPath().string();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("LSAN_OPTIONS", "suppressions=" KELVOR_LSAN_SUPPRESSIONS ":print_suppressions=0", 0);
        setenv("ASAN_OPTIONS", KELVOR_ASAN_PROGRAM_OPTIONS, 0);
        unsetenv("DISPLAY");
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_WRONLY);
        if (chdir(folder.c_str()) != 0 || out < 0 || null < 0 || dup2(out, 1) < 0 || dup2(null, 2) < 0) _exit(126);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

// Exit status, or 128 + the signal that ended the process.
int Wait(pid_t child) {
    int raw = 0;
    if (waitpid(child, &raw, 0) != child) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool HasExited(pid_t child, int* status) {
    int raw = 0;
    if (waitpid(child, &raw, WNOHANG) != child) return false;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

std::vector<std::string> Temporaries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) names.push_back(name);
    }
    return names;
}

// Two low-poly meshes whose alpha masks differ: a quad over all of UV space and a triangle
// over its lower-left half.
void WriteLowPolys(const fs::path& folder) {
    WriteObj(folder / "quad.obj", GridMesh(1, 0, 1, 0, 1));
    ObjMesh triangle;
    triangle.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    triangle.uvs = {{0, 0}, {1, 0}, {0, 1}};
    triangle.normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    triangle.faces = {{0, 1, 2}};
    WriteObj(folder / "triangle.obj", triangle);
}

// A large uncompressed mask, so the export lasts long enough to be caught.
std::vector<std::string> MaskBake(const std::string& low, const std::string& prefix) {
    return {"--low", low, "-p", prefix, "-f", "tiff16", "--width", "4096", "--height", "4096", "alphamask"};
}

constexpr auto kPatience = std::chrono::seconds(300);

}  // namespace

TEST(KelvorCmdOutput, ALogCutOffByKillingTheRunKeepsItsFirstLines) {
    TempFolder folder("kelvorcmd-log");
    WriteLowPolys(folder.Path());
    const fs::path log = folder / "log";
    const pid_t child = StartKelvorCmd(MaskBake("quad.obj", "mask"), folder.Path(), log);
    ASSERT_GT(child, 0);
    int status = 0;
    bool exited = false;
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        text = ReadAll(log);
        if (text.find('\n') != std::string::npos) break;
        if ((exited = HasExited(child, &status))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Lines that reach the file only at exit would show nothing of a run killed part-way.
    EXPECT_FALSE(exited) << "the log stayed empty while the run was going (status " << status << ")";
    if (!exited) {
        kill(child, SIGKILL);
        EXPECT_EQ(Wait(child), 128 + SIGKILL);
    }
    EXPECT_NE(ReadAll(log).find("Creating offscreen context\n"), std::string::npos) << ReadAll(log);
}

TEST(KelvorCmdOutput, SigtermDuringTheExportKeepsTheEarlierFileAndLeavesNoTemporary) {
    TempFolder folder("kelvorcmd-sigterm");
    WriteLowPolys(folder.Path());
    const ProgramResult first = RunKelvorCmd(MaskBake("triangle.obj", "mask"), folder.Path());
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const fs::path target = folder / "mask_alpha.tif";
    const std::string earlier = ReadAll(target);
    ASSERT_FALSE(earlier.empty());

    const pid_t child = StartKelvorCmd(MaskBake("quad.obj", "mask"), folder.Path(), folder / "log");
    ASSERT_GT(child, 0);
    int status = 0;
    bool exited = false, caught = false;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!caught && !exited && std::chrono::steady_clock::now() < deadline) {
        caught = !Temporaries(folder.Path()).empty();
        if (!caught) exited = HasExited(child, &status);
        if (!caught && !exited) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(caught) << "the export was never seen under way (status " << status << ")";
    kill(child, SIGTERM);
    EXPECT_EQ(Wait(child), 128 + SIGTERM);
    EXPECT_TRUE(ReadAll(target) == earlier) << "the earlier file was changed";
    EXPECT_EQ(Temporaries(folder.Path()), std::vector<std::string>{});
}

TEST(KelvorCmdOutput, TwoRunsBakingToOnePathLeaveOneRunsImage) {
    TempFolder folder("kelvorcmd-race");
    WriteLowPolys(folder.Path());
    for (const char* low : {"quad", "triangle"}) {
        const ProgramResult run = RunKelvorCmd(MaskBake(std::string(low) + ".obj", low), folder.Path());
        ASSERT_EQ(run.status, 0) << run.out << run.err;
    }
    const std::string quad = ReadAll(folder / "quad_alpha.tif"), triangle = ReadAll(folder / "triangle_alpha.tif");
    ASSERT_NE(quad, triangle);
    for (int round = 0; round < 3; ++round) {
        const pid_t a = StartKelvorCmd(MaskBake("quad.obj", "shared"), folder.Path(), folder / "log_a");
        const pid_t b = StartKelvorCmd(MaskBake("triangle.obj", "shared"), folder.Path(), folder / "log_b");
        ASSERT_GT(a, 0);
        ASSERT_GT(b, 0);
        EXPECT_EQ(Wait(a), 0);
        EXPECT_EQ(Wait(b), 0);
        const std::string shared = ReadAll(folder / "shared_alpha.tif");
        EXPECT_TRUE(shared == quad || shared == triangle) << "round " << round << ": neither run's image";
    }
    EXPECT_EQ(Temporaries(folder.Path()), std::vector<std::string>{});
}
