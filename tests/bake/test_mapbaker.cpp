#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "bake/singlemapbaker.h"
#include "core/bakeexception.h"
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

TEST(SingleMapBaker, EveryUvTileStartsFromAClearedMap) {
    Fixture f;
    auto baker = f.Make();
    for (int tile = 0; tile < 3; ++tile) {
        baker->BeginTiles();
        Image& out = baker->Output();
        for (size_t i = 0; i < out.FloatCount(); ++i) ASSERT_EQ(out.data[i], 0.0f) << "tile " << tile;
        out.Pixel(2, 3)[1] = out.Pixel(2, 3)[3] = 1.0f;
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
