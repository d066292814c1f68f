#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "mayascripts.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

// Runs KelvorCmd with a configuration folder of its own, as on a machine where it never ran.
class KelvorCmdRun : public testing::Test {
protected:
    ProgramResult Run(const std::vector<std::string>& args, const fs::path& configFolder = {}) {
        const fs::path folder = configFolder.empty() ? config : configFolder;
        fs::create_directories(folder);
        return RunProgram(KelvorCmdPath(), args, {{"XDG_CONFIG_HOME", folder.string()}}, root.Path());
    }

    std::string LogId(const fs::path& configFolder) const {
        const std::string text = ReadAll(configFolder / "Tamsel" / "Kelvor.conf");
        const size_t at = text.find("logid=");
        if (at == std::string::npos) return {};
        return text.substr(at + 6, text.find('\n', at) - at - 6);
    }

    TempFolder root{"kelvorcmd"};
    const fs::path config = root / "config";
    const fs::path settings = config / "Tamsel" / "Kelvor.conf";
};

}  // namespace

TEST_F(KelvorCmdRun, NoArgumentBakesNothingAndKeepsTheInstallationId) {
    const ProgramResult first = Run({});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "No bake type specified\n");
    EXPECT_EQ(first.err, "");
    ASSERT_TRUE(fs::exists(settings));
    const std::string stored = ReadAll(settings);
    const std::string id = LogId(config);
    ASSERT_FALSE(id.empty()) << stored;
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;

    const ProgramResult second = Run({});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "No bake type specified\n");
    EXPECT_EQ(ReadAll(settings), stored);

    // "height" has no baker either.
    const ProgramResult height = Run({"height"});
    EXPECT_EQ(height.status, 0);
    EXPECT_EQ(height.out, "No bake type specified\n");

    // Another installation draws another id.
    const fs::path other = root / "other";
    ASSERT_EQ(Run({}, other).status, 0);
    EXPECT_NE(LogId(other), "");
    EXPECT_NE(LogId(other), id);
}

TEST_F(KelvorCmdRun, BadOptionValuesFailBeforeTheStoreIsOpened) {
    const ProgramResult width = Run({"--width", "300"});
    EXPECT_EQ(width.status, 1);
    EXPECT_NE(width.err.find("Value '300' does not meet constraint: 256|512|1024|2048|4096|8192|16384"),
              std::string::npos)
        << width.err;
    EXPECT_EQ(width.out, "");

    // Numbers outside the ranges the help states, the UDIM column bound that needs the naming
    // option included, are refused in the parser's words.
    for (const auto& [args, argument, value, range] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::string, std::string>>{
             {{"normal", "--spread", "720"}, "(--spread)", "720", "0 to 179"},
             {{"normal", "-b", "2147483647"}, "-b (--blur)", "2147483647", "0 to 8"},
             {{"normal", "--uvtile_max_u", "12"}, "(--uvtile_max_u)", "12", "Minimum is 0, Maximum is 9 for UDIM"}}) {
        const ProgramResult run = Run(args);
        EXPECT_EQ(run.status, 1) << argument;
        EXPECT_EQ(run.err.rfind("PARSE ERROR: Argument: " + argument + "\n             Value '" + value +
                                    "' does not meet constraint: " + range + "\n",
                                0),
                  0u)
            << run.err;
        EXPECT_NE(run.err.find("For complete USAGE and HELP type"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }

    const ProgramResult grid = Run({"normal", "--targetmin", "600"});
    EXPECT_EQ(grid.status, 1);
    EXPECT_EQ(grid.err, "error: --targetmin (600) must not be greater than --targetmax (512)\n");

    const ProgramResult density = Run({"normal", "--density", "0"});
    EXPECT_EQ(density.status, 1);
    EXPECT_EQ(density.err, "error: --density must be greater than 0 (got 0)\n");

    EXPECT_EQ(Run({"notamap"}).status, 1);
    EXPECT_FALSE(fs::exists(config / "Tamsel"));
}

TEST_F(KelvorCmdRun, ScriptModesPrintTheirScriptAndTouchNoSettings) {
    for (const char* mode : {"-lowpolymaya", "-lowpoly", "-lowpolyboth", "-envelope", "-highpoly", "-python",
                             "-declaremel"}) {
        const ProgramResult result = Run({mode});
        EXPECT_EQ(result.status, 0) << mode;
        std::string expected;
        ASSERT_TRUE(MayaScriptForMode(mode, expected));
        EXPECT_EQ(result.out, expected) << mode;
        EXPECT_EQ(result.err, "") << mode;
    }
    EXPECT_EQ(Run({"-lowpoly"}).out, Run({"-lowpolyboth"}).out);
    const std::string python = Run({"-python"}).out;
    EXPECT_EQ(python.find('\n'), python.size() - 1);
    EXPECT_EQ(Run({"-highpoly"}).out.rfind("proc KVExport() {\n", 0), 0u);
    EXPECT_FALSE(fs::exists(config / "Tamsel"));

    // Any other spelling goes to the parser, which knows no such option.
    const ProgramResult upper = Run({"-PYTHON"});
    EXPECT_EQ(upper.status, 1);
    EXPECT_EQ(upper.out, "");
}

TEST_F(KelvorCmdRun, UnsupportedKernelChoiceFails) {
    const ProgramResult result = Run({"--simd", "sse", "--precision", "double", "normal"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "SSE not supported for double precision\n");
}

TEST_F(KelvorCmdRun, FailedBakeReportsItsErrorThenTheSummaryAndFails) {
    const ProgramResult result = Run({"normal", "--low", "missing.fbx", "--high", "missing.obj", "-p", "out"});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    const size_t done = result.out.find("Done bake (total ");
    ASSERT_NE(done, std::string::npos) << result.out;
    // The engine printed the error text before the summary.
    EXPECT_GT(done, 1u);
    EXPECT_EQ(result.out[done - 1], '\n');
    const std::string summary = result.out.substr(done);
    double seconds[5] = {-1, -1, -1, -1, -1};
    int consumed = 0;
    ASSERT_EQ(std::sscanf(summary.c_str(), "Done bake (total %lf s) (load %lf s) (trace %lf s) (processing %lf s) "
                                           "(export %lf s)\n%n",
                          &seconds[0], &seconds[1], &seconds[2], &seconds[3], &seconds[4], &consumed),
              5)
        << summary;
    EXPECT_EQ(size_t(consumed), summary.size()) << summary;
    for (const double value : seconds) EXPECT_GE(value, 0.0);
    EXPECT_GT(seconds[0], 0.0) << result.out;
}

TEST_F(KelvorCmdRun, SummaryOnlyAfterABakeAndWithTheTimeAFailedLoadTook) {
    // No OpenGL driver to be found: Init fails before anything is baked, and no summary follows.
    const ProgramResult noDriver =
        RunProgram(KelvorCmdPath(), {"alphamask", "--low", "low.obj", "--high", "high.obj", "-p", "out"},
                   {{"XDG_CONFIG_HOME", config.string()}, {"__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent.json"}},
                   root.Path());
    EXPECT_EQ(noDriver.status, 1) << noDriver.out << noDriver.err;
    EXPECT_NE(noDriver.err.find("Bake Exception:"), std::string::npos) << noDriver.err;
    EXPECT_EQ(noDriver.out.find("Done bake"), std::string::npos) << noDriver.out;

    // A large file that fails at its last line, in each role: its reading counts as load time, so
    // the load takes longer than that of a bake whose three files are all tiny. Compared with such a
    // bake rather than with a fixed time, which a busy machine would not keep to.
    ObjMesh big = GridMesh(500, 0, 1, 0, 1);
    big.faces.push_back({0, 1, 100000000});
    WriteObj(root / "broken.obj", big);
    WriteObj(root / "good.obj", GridMesh(1, 0, 1, 0, 1));
    const std::vector<std::string> tiny{"alphamask", "--low", "good.obj", "--high", "good.obj", "--env", "good.obj", "-p", "out"};
    auto loadSeconds = [](const ProgramResult& result, double& total, double& load) {
        const size_t done = result.out.find("Done bake (total ");
        return done != std::string::npos &&
               std::sscanf(result.out.c_str() + done, "Done bake (total %lf s) (load %lf s)", &total, &load) == 2;
    };
    double tinyTotal = 0, tinyLoad = 0;
    const ProgramResult good = Run(tiny);
    ASSERT_TRUE(loadSeconds(good, tinyTotal, tinyLoad)) << good.out << good.err;
    for (const char* role : {"--high", "--low", "--env"}) {
        SCOPED_TRACE(role);
        std::vector<std::string> arguments = tiny;
        *(std::find(arguments.begin(), arguments.end(), role) + 1) = "broken.obj";
        const ProgramResult broken = Run(arguments);
        EXPECT_EQ(broken.status, 1) << broken.out << broken.err;
        double total = 0, load = 0;
        ASSERT_TRUE(loadSeconds(broken, total, load)) << broken.out;
        EXPECT_GT(load, tinyLoad) << broken.out << good.out;
        EXPECT_LE(load, total);
    }
}
