#include <gtest/gtest.h>
#include <tclap/ArgException.h>

#include <cmath>
#include <string>
#include <vector>

#include "commandoptions.h"

using namespace Pallix::Bake;

namespace {

CommandOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "KelvorCmd");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return ParseCommandLine(int(argv.size()), argv.data(), false);
}

// The job a command line makes.
struct Filled {
    explicit Filled(std::vector<std::string> args) { FillBakeJob(Parse(std::move(args)), job); }
    BakeJob job;
    const MapSettings& map() const { return job.maps.at(0); }
};

}  // namespace

TEST(CommandOptions, DefaultsAndKeywordsTheBakesDoNotShow) {
    // The bakes through the program show the map, engine, format and tiling keywords; these are
    // the defaults and keywords they leave out.
    Filled f({});
    ASSERT_EQ(f.job.maps.size(), 1u);
    EXPECT_EQ(f.map().type, MapNone);
    EXPECT_EQ(f.job.dilation, 0);  // the option's default replaces the constructor's 1
    EXPECT_EQ(f.job.outputFormat, FormatTiff16);
    EXPECT_EQ(f.job.tileMinU, 1);
    EXPECT_EQ(f.job.tileMaxV, 1);
    EXPECT_FALSE(f.job.hasHighPoly);
    EXPECT_EQ(f.map().tangentSpace, TangentFbx);
    EXPECT_EQ(f.map().aoDistance, 0.0f);
    EXPECT_FLOAT_EQ(f.map().spread, 2.7925267f);
    EXPECT_EQ(f.map().blur, 0.0f);

    EXPECT_EQ(Filled({"hardedgemask"}).map().type, MapHardEdgeMask);
    EXPECT_EQ(Filled({"none"}).map().type, MapNone);
    EXPECT_EQ(Filled({"--direction", "surfacenormals"}).job.normalDirection, DirectionInterpolated);
    EXPECT_EQ(Filled({"--direction", "geonormals"}).job.normalDirection, DirectionGeometric);
    EXPECT_EQ(Filled({"--direction", "roundednormals"}).job.normalDirection, DirectionRounded);
    EXPECT_EQ(SimdCode("sse"), SimdSse);
    EXPECT_EQ(PrecisionCode("double"), PrecisionDouble);
}

TEST(CommandOptions, ValuesReachTheirFields) {
    Filled f({"ao", "--low", "low.fbx", "--high", "high.obj", "--env", "cage.fbx", "-p", "out/base", "--explicitpath",
              "-y", "-", "--spread", "90", "-d", "2.5", "--aodistance", "7", "--layers", "-s", "4", "--dilation",
              "3", "--width", "2048", "--height", "512", "-b", "3", "--uvtile_min_u", "0", "--uvtile_max_u", "12",
              "--uvtile_min_v", "2", "--uvtile_max_v", "3", "--search", "closest", "-q", "ultra", "--tilenaming",
              "mudbox"});
    const BakeJob& job = f.job;
    EXPECT_EQ(job.lowPolyPath, "low.fbx");
    ASSERT_EQ(job.highPolyPaths.size(), 1u);
    EXPECT_EQ(job.highPolyPaths[0], "high.obj");
    EXPECT_TRUE(job.hasHighPoly);
    EXPECT_EQ(job.envelopePath, "cage.fbx");
    EXPECT_EQ(job.outputPath, "out/base");
    EXPECT_TRUE(job.explicitPath);
    EXPECT_TRUE(f.map().yFlip);
    EXPECT_FLOAT_EQ(f.map().spread, 1.5707964f);
    EXPECT_EQ(job.searchDistance, 2.5f);
    EXPECT_EQ(f.map().aoDistance, 7.0f);
    EXPECT_TRUE(f.map().layers);
    EXPECT_EQ(f.map().supersampling, 4);
    EXPECT_EQ(job.dilation, 3);
    EXPECT_EQ(job.width, 2048);
    EXPECT_EQ(job.height, 512);
    EXPECT_EQ(f.map().blur, 1.5f);
    EXPECT_EQ(job.tileMinU, 0);
    EXPECT_EQ(job.tileMaxU, 12);  // Mudbox names have no last column
    EXPECT_EQ(job.tileMinV, 2);
    EXPECT_EQ(job.tileMaxV, 3);

    EXPECT_FALSE(Filled({"-y", "+"}).map().yFlip);
    EXPECT_FALSE(Filled({"--yup", "down"}).map().yFlip);
    // A given but empty high-poly path still counts as given.
    EXPECT_TRUE(Filled({"--high", ""}).job.hasHighPoly);
}

TEST(CommandOptions, ParserRejectsValuesOutsideTheTable) {
    EXPECT_THROW(Parse({"--width", "300"}), TCLAP::ArgException);
    EXPECT_THROW(Parse({"-s", "3"}), TCLAP::ArgException);
    EXPECT_THROW(Parse({"curvature"}), TCLAP::ArgException);
    EXPECT_THROW(Parse({"--dilation", "two"}), TCLAP::ArgException);
    EXPECT_NO_THROW(Parse({"--simd", "avx", "--precision", "double"}));
}

TEST(CommandOptions, ParserRefusesNumbersOutsideTheRangesTheHelpStates) {
    auto refusal = [](std::vector<std::string> args) -> std::string {
        try {
            Parse(std::move(args));
        } catch (const TCLAP::ArgException& e) {
            return e.argId() + ": " + e.error();
        }
        return "taken";
    };
    EXPECT_EQ(refusal({"--spread", "720"}), "Argument: (--spread): Value '720' does not meet constraint: 0 to 179");
    EXPECT_NE(refusal({"--spread", "179.5"}), "taken");
    EXPECT_NE(refusal({"--spread", "-1"}), "taken");
    EXPECT_EQ(refusal({"-b", "9"}), "Argument: -b (--blur): Value '9' does not meet constraint: 0 to 8");
    EXPECT_NE(refusal({"--blur", "2147483647"}), "taken");
    EXPECT_NE(refusal({"-b", "-1"}), "taken");
    const std::string column = "does not meet constraint: Minimum is 0, Maximum is 9 for UDIM";
    EXPECT_EQ(refusal({"--uvtile_min_u", "-1"}), "Argument: (--uvtile_min_u): Value '-1' " + column);
    // The UDIM bound holds whatever order the naming option comes in, and only for UDIM names.
    EXPECT_EQ(refusal({"--uvtile_max_u", "10"}), "Argument: (--uvtile_max_u): Value '10' " + column);
    EXPECT_EQ(refusal({"--uvtile_min_u", "12", "--tilenaming", "udim"}), "Argument: (--uvtile_min_u): Value '12' " + column);
    EXPECT_EQ(refusal({"--uvtile_max_u", "2000000000", "--tilenaming", "mudbox"}), "taken");
    EXPECT_NE(refusal({"--tilenaming", "mudbox", "--uvtile_max_u", "-1"}), "taken");
    EXPECT_EQ(refusal({"--uvtile_max_v", "-1"}), "Argument: (--uvtile_max_v): Value '-1' does not meet constraint: Minimum is 0");
    EXPECT_NE(refusal({"--uvtile_min_v", "-2147483648"}), "taken");

    // The ends of every range are taken.
    const Filled low({"--spread", "0", "-b", "0", "--uvtile_min_u", "0", "--uvtile_min_v", "0", "--uvtile_max_v", "0"});
    EXPECT_EQ(low.map().spread, 0.0f);
    EXPECT_EQ(low.map().blur, 0.0f);
    const Filled high({"--spread", "179", "-b", "8", "--uvtile_max_u", "9", "--uvtile_min_v", "2147483647"});
    EXPECT_FLOAT_EQ(high.map().spread, 3.1241393f);
    EXPECT_EQ(high.map().blur, 4.0f);
    EXPECT_EQ(high.job.tileMaxU, 9);
    EXPECT_EQ(high.job.tileMinV, 2147483647);
}

TEST(CommandOptions, GridTuningMustBePositiveAndOrdered) {
    EXPECT_EQ(CheckGridOptions(Parse({})), "");
    EXPECT_EQ(CheckGridOptions(Parse({"--targetmin", "100", "--targetmax", "100"})), "");
    EXPECT_EQ(CheckGridOptions(Parse({"--threshold", "0"})), "error: --threshold must be greater than 0 (got 0)");
    EXPECT_EQ(CheckGridOptions(Parse({"--density", "-1"})), "error: --density must be greater than 0 (got -1)");
    EXPECT_NE(CheckGridOptions(Parse({"--dpower", "0"})), "");
    EXPECT_NE(CheckGridOptions(Parse({"--maxcells", "-5"})), "");
    EXPECT_NE(CheckGridOptions(Parse({"--targetmin", "0"})), "");
    EXPECT_NE(CheckGridOptions(Parse({"--targetmax", "-2"})), "");
    EXPECT_EQ(CheckGridOptions(Parse({"--targetmin", "600"})),
              "error: --targetmin (600) must not be greater than --targetmax (512)");
    CommandOptions nan;
    nan.density = std::nanf("");
    EXPECT_NE(CheckGridOptions(nan), "");
}

TEST(CommandOptions, GridOptionsOverwriteTheSixTuningFields) {
    TraceGridSettings grid;
    grid.kernel = KernelPlueckerSse;
    ApplyGridOptions(Parse({"--threshold", "7", "--density", "1.5", "--dpower", "0.5", "--maxcells", "1000",
                            "--targetmin", "8", "--targetmax", "16"}),
                     grid);
    EXPECT_EQ(grid.kernel, KernelPlueckerSse);
    EXPECT_EQ(grid.threshold, 7);
    EXPECT_EQ(grid.density, 1.5f);
    EXPECT_EQ(grid.densityPower, 0.5f);
    EXPECT_EQ(grid.maxRootCells, 1000);
    EXPECT_EQ(grid.targetMin, 8.0f);
    EXPECT_EQ(grid.targetMax, 16.0f);
}
