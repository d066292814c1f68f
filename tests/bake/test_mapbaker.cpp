#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "bake/bakeexception.h"
#include "bake/multimapbaker.h"
#include "bake/singlemapbaker.h"
#include "geometry/scene.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;
using KelvorTest::TempFolder;

namespace {

// A baker whose image is filled by the test; only the framework's behaviour is exercised.
class PlainBaker : public SingleMapBaker {
public:
    using SingleMapBaker::SingleMapBaker;
    std::string GetSuffix() const override { return "_plain"; }
    Image& Output() { return output; }
};

struct Fixture {
    BakeJob job;
    RenderState state;
    MapSettings* map;

    Fixture() {
        job.width = job.height = 8;
        job.outputPath = "out/crate";
        map = &job.AddMap();
        map->type = MapAlphaMask;
    }
    std::unique_ptr<PlainBaker> Make() {
        auto baker = std::make_unique<PlainBaker>(&job.times, &job, map);
        baker->state = &state;
        return baker;
    }
};

}  // namespace

TEST(MapBaker, OutputNamesFollowTilingNamingAndExplicitPath) {
    Fixture f;
    auto baker = f.Make();
    EXPECT_EQ(baker->GetOutputName(), "out/crate_plain");  // tiling off: no tile name

    f.job.tilingMode = 1;
    f.state.udimColumn = 1;
    f.state.udimRow = 0;
    EXPECT_EQ(baker->GetOutputName("_ao"), "out/crate_ao.1002");
    f.state.udimColumn = 3;
    f.state.udimRow = 2;
    EXPECT_EQ(baker->GetOutputName("_ao"), "out/crate_ao.1024");

    f.job.tileNaming = 1;
    f.state.udimColumn = 1;
    f.state.udimRow = 0;
    EXPECT_EQ(baker->GetOutputName("_ao"), "out/crate_ao_u2_v1");

    f.job.explicitPath = true;
    EXPECT_EQ(baker->GetOutputName("_ao"), "out/crate");
}

TEST(MapBaker, LowPolyRequirementsFollowTheDirectionMode) {
    Fixture f;
    auto baker = f.Make();
    f.job.hasHighPoly = true;
    f.job.normalDirection = DirectionInterpolated;
    EXPECT_EQ(baker->GetLowPolyRequirements(0), NeedUVsAndColours | NeedNormals);
    f.job.normalDirection = DirectionGeometric;
    EXPECT_EQ(baker->GetLowPolyRequirements(0), NeedUVsAndColours | NeedSmoothNormals);
    f.job.normalDirection = DirectionRounded;
    EXPECT_EQ(baker->GetLowPolyRequirements(0), 0x1D6);
    // Hard-edge flags always bring the normals.
    f.job.normalDirection = DirectionGeometric;
    EXPECT_EQ(baker->GetLowPolyRequirements(NeedHardEdges),
              NeedUVsAndColours | NeedSmoothNormals | NeedHardEdges | NeedNormals);
    EXPECT_EQ(baker->GetTraceRequirements(), 0);
}

TEST(SingleMapBaker, PostProcessEndsInOutputForAnyDilationCount) {
    for (int dilation : {0, 1, 2, 3}) {
        Fixture f;
        f.job.dilation = dilation;
        f.map->blur = 0.0f;
        auto baker = f.Make();
        Image& out = baker->Output();
        float* p = out.Pixel(4, 4);
        p[0] = 0.25f, p[1] = 0.5f, p[2] = 0.75f, p[3] = 1.0f;
        baker->PostProcess();
        Image& result = *baker->GetImage();
        EXPECT_EQ(&result, &out);
        // Each dilation pass grows the covered texel by one ring.
        EXPECT_FLOAT_EQ(result.Pixel(4, 4)[0], 0.25f) << dilation;
        EXPECT_EQ(result.Pixel(4 + dilation, 4)[3] > 0.0f, true) << dilation;
        EXPECT_EQ(result.Pixel(5 + dilation, 4)[3], 0.0f) << dilation;
        if (dilation > 0) {
            EXPECT_FLOAT_EQ(result.Pixel(4, 4 - dilation)[2], 0.75f) << dilation;
        }
    }
}

TEST(SingleMapBaker, CacheRoundTripsAndAMissingCacheIsAnError) {
    const TempFolder dir("kelvor-mapbaker");
    Fixture f;
    f.job.outputPath = (dir / "crate").string();
    f.job.tilingMode = 1;
    auto baker = f.Make();
    baker->Output().Pixel(1, 2)[1] = 0.5f;
    baker->SaveCache();
    EXPECT_TRUE(fs::exists(dir / "crate_plain.1001.mif"));
    baker->Output().Fill(0, 0, 0, 0);
    baker->LoadCache();
    EXPECT_FLOAT_EQ(baker->Output().Pixel(1, 2)[1], 0.5f);
    EXPECT_FALSE(fs::exists(dir / "crate_plain.1001.mif"));  // read once, then removed

    // The next UV tile has no cache: this must not export the previous tile's pixels.
    f.state.udimColumn = 1;
    try {
        baker->LoadCache();
        FAIL() << "no exception";
    } catch (const BakeException& e) {
        EXPECT_NE(std::string(e.what()).find("crate_plain.1002.mif"), std::string::npos) << e.what();
    }
}

TEST(SingleMapBaker, ExportWritesTheFormatAndFailsLoudly) {
    const TempFolder dir("kelvor-mapbaker");
    Fixture f;
    f.job.outputPath = (dir / "crate").string();
    f.job.outputFormat = FormatPng8;
    auto baker = f.Make();
    baker->Export();
    EXPECT_TRUE(fs::exists(dir / "crate_plain.png"));

    f.job.outputFormat = 17;  // unknown: nothing written, no error
    baker->Export();

    f.job.outputFormat = FormatTiff8;
    f.job.outputPath = (dir / "missing" / "crate").string();
    try {
        baker->Export();
        FAIL() << "no exception";
    } catch (const BakeException& e) {
        EXPECT_NE(std::string(e.what()).find("missing/crate_plain.tif"), std::string::npos) << e.what();
    }
}

namespace {

class TwoLayerBaker : public MultiMapBaker {
public:
    using MultiMapBaker::MultiMapBaker;
    std::string GetSuffix() const override { return "_mat"; }
    Image* GetImage() override { return outputs[0].get(); }
    void AddSlots() {
        AddShader(nullptr);
        AddShader(nullptr);
    }
    void PostProcessLayers(int, Image*, Image*) override {}
    std::string GetLayerNames(int slot) override { return slot == 0 ? "_mat" : "_mat_steel"; }
};

}  // namespace

TEST(MultiMapBaker, LayersGetTheTileNameOnlyWithTiling) {
    const TempFolder dir("kelvor-mapbaker");
    BakeJob job;
    job.width = job.height = 4;
    job.outputPath = (dir / "crate").string();
    job.outputFormat = FormatPng8;
    job.explicitPath = true;  // not consulted by layered maps
    MapSettings& map = job.AddMap();
    RenderState state;
    state.tileWidth = state.tileHeight = 4;
    TwoLayerBaker baker(&job.times, &job, &map);
    baker.state = &state;
    testing::internal::CaptureStdout();
    baker.AddSlots();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Adding map for a shader\nAdding map for a shader\n");
    baker.Init();
    EXPECT_EQ(baker.GetImageCount(), 3);
    baker.Export();
    EXPECT_TRUE(fs::exists(dir / "crate_mat.png"));
    EXPECT_TRUE(fs::exists(dir / "crate_mat_steel.png"));

    job.tilingMode = 1;
    state.udimColumn = 1;
    baker.Export();
    EXPECT_TRUE(fs::exists(dir / "crate_mat.1002.png"));
    EXPECT_TRUE(fs::exists(dir / "crate_mat_steel.1002.png"));
}
