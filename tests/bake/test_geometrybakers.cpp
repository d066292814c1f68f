#include <gtest/gtest.h>

#include "bake/displacementmapbaker.h"
#include "bake/positionbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

template <class Base>
class Open : public Base {
public:
    using Base::Base;
    Image& Output() { return this->output; }
};

// Strips over the low-poly square [-0.5, 0.5]^2: 0.3 in front of it left of x = -0.25, 0.2
// behind it up to x = 0.25, nothing beyond.
std::unique_ptr<Scene> SteppedHighPoly() {
    auto scene = std::make_unique<Scene>(NeedNormals);
    SceneMesh* mesh = scene->AddMesh("high");
    AddRectangle(*mesh, -0.6f, -0.6f, -0.25f, 0.6f, 0.3f);
    AddRectangle(*mesh, -0.25f, -0.6f, 0.25f, 0.6f, -0.2f);
    return scene;
}

}  // namespace

TEST(DisplacementMapBaker, HoldsTheSignedDistanceAndMissesAreOpaqueBlack) {
    Rig rig(8, MapDisplacement);
    rig.map->normalized = false;
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    rig.AddHighPoly(*SteppedHighPoly());
    auto baker = rig.Make<Open<DisplacementMapBaker>>();
    baker->Init();
    EXPECT_FALSE(baker->NeedsRangePass());
    rig.BakeTile(*baker);
    baker->PostProcess();
    for (int y = 0; y < 8; ++y) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(baker->Output().Pixel(1, y)[c], 0.3f, 1e-5f);
            EXPECT_NEAR(baker->Output().Pixel(4, y)[c], -0.2f, 1e-5f);
            EXPECT_EQ(baker->Output().Pixel(7, y)[c], 0.0f);
        }
        EXPECT_EQ(baker->Output().Pixel(7, y)[3], 1.0f);
    }
}

TEST(DisplacementMapBaker, NormalisedMapsPutZeroAtHalfOverEveryUvTile) {
    Rig rig(4, MapDisplacement);
    rig.map->normalized = true;
    rig.job.tilingMode = 1;
    const TempFolder dir("kelvor-displacement");
    rig.job.outputPath = (dir / "crate").string();
    SceneMesh* low = rig.lowPoly->AddMesh("low");
    AddRectangle(*low, -0.5f, -0.5f, 0.5f, 0.5f, 0.0f, nullptr, ColourWhite, 0.0f);
    AddRectangle(*low, 1.5f, -0.5f, 2.5f, 0.5f, 0.0f, nullptr, ColourWhite, 1.0f);
    Scene highPoly(NeedNormals);
    AddRectangle(*highPoly.AddMesh("high"), -0.6f, -0.6f, 0.6f, 0.6f, 0.1f);  // first tile: 0.1
    AddRectangle(*highPoly.meshes[0], 1.4f, -0.6f, 2.6f, 0.6f, -0.4f);        // second: -0.4
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<Open<DisplacementMapBaker>>();
    baker->Init();
    EXPECT_TRUE(baker->NeedsRangePass());
    for (int column = 0; column < 2; ++column) {
        rig.BakeTile(*baker, column);
        baker->PostProcessRange();
        baker->SaveCache();
    }
    // a = 0.4 from the second tile maps [-0.4, 0.4] to [0, 1] in both.
    rig.state.udimColumn = 0;
    baker->LoadCache();
    baker->FinishPostProcess();
    EXPECT_NEAR(baker->Output().Pixel(2, 2)[0], 0.625f, 1e-5f);
    rig.state.udimColumn = 1;
    baker->LoadCache();
    baker->FinishPostProcess();
    EXPECT_NEAR(baker->Output().Pixel(2, 2)[1], 0.0f, 1e-5f);
    EXPECT_EQ(baker->Output().Pixel(2, 2)[3], 1.0f);
}

TEST(DisplacementMapBaker, ANormalisedMapWithoutDisplacementIsMidGrey) {
    Rig rig(4, MapDisplacement);
    rig.map->normalized = true;
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    Scene highPoly(NeedNormals);
    AddRectangle(*highPoly.AddMesh("high"), -0.6f, -0.6f, 0.6f, 0.6f, 0.0f);
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<Open<DisplacementMapBaker>>();
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();
    EXPECT_EQ(baker->Output().Pixel(1, 1)[0], 0.5f);
    EXPECT_EQ(baker->Output().Pixel(3, 0)[2], 0.5f);
}

TEST(PositionBaker, AddsTheOriginBackToTheSurfaceFound) {
    Rig rig(8, MapWorldPosition);
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    rig.AddHighPoly(*SteppedHighPoly());
    auto baker = rig.Make<Open<PositionBaker>>();
    baker->origin = {10.0f, -2.0f, 1.0f};
    baker->Init();
    EXPECT_FALSE(baker->NeedsRangePass());
    rig.BakeTile(*baker);
    baker->PostProcess();
    const Image& out = baker->Output();
    // A hit gives the high-poly point; a miss the sample's own position.
    EXPECT_NEAR(out.Pixel(1, 2)[0], 10.0f - 0.3125f, 1e-5f);
    EXPECT_NEAR(out.Pixel(1, 2)[1], -2.0f - 0.1875f, 1e-5f);
    EXPECT_NEAR(out.Pixel(1, 2)[2], 1.3f, 1e-5f);
    EXPECT_NEAR(out.Pixel(4, 2)[2], 0.8f, 1e-5f);
    EXPECT_NEAR(out.Pixel(7, 2)[0], 10.4375f, 1e-5f);
    EXPECT_NEAR(out.Pixel(7, 2)[2], 1.0f, 1e-5f);
    EXPECT_EQ(out.Pixel(7, 2)[3], 1.0f);
}

TEST(PositionBaker, NormalisesToTheUnitRangeAndSplatsTheChosenAxis) {
    Rig rig(8, MapWorldPosition);
    rig.map->normalized = true;
    rig.map->axis = 2;
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    auto baker = rig.Make<Open<PositionBaker>>();
    baker->origin = {10.0f, 0.0f, 0.0f};
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();
    // Y of the texel centres runs from -0.4375 at the bottom row to 0.4375 at the top one.
    for (int y = 0; y < 8; ++y) {
        const float expected = float(y) / 7.0f;
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(baker->Output().Pixel(3, y)[c], expected, 1e-5f) << y;
        EXPECT_EQ(baker->Output().Pixel(3, y)[3], 1.0f);
    }
}

TEST(PositionBaker, NormalisationOverTwoUvTilesUsesTheRangeOfBoth) {
    const TempFolder dir("kelvor-position");
    Rig rig(4, MapWorldPosition);
    rig.map->normalized = true;
    rig.job.tilingMode = 1;
    rig.job.outputFormat = FormatExr;
    rig.job.outputPath = (dir / "crate").string();
    SceneMesh* low = rig.lowPoly->AddMesh("low");
    AddRectangle(*low, -0.5f, -0.5f, 0.5f, 0.5f, 0.0f, nullptr, ColourWhite, 0.0f);
    AddRectangle(*low, 1.5f, -0.5f, 2.5f, 0.5f, 0.0f, nullptr, ColourWhite, 1.0f);
    auto baker = rig.Make<PositionBaker>();
    baker->Init();
    EXPECT_TRUE(baker->NeedsRangePass());
    for (int column = 0; column < 2; ++column) {
        rig.BakeTile(*baker, column);
        baker->PostProcessRange();
        baker->SaveCache();
    }
    for (int column = 0; column < 2; ++column) {
        rig.state.udimColumn = column;
        baker->LoadCache();
        baker->FinishPostProcess();
        baker->Export();
    }
    // Red spans x = -0.375 .. 2.375 over both tiles.
    const KelvorTest::ImageFile first = ReadImageFile(dir / "crate_worldposition.1001.exr");
    const KelvorTest::ImageFile second = ReadImageFile(dir / "crate_worldposition.1002.exr");
    ASSERT_EQ(first.width, 4);
    ASSERT_EQ(second.width, 4);
    EXPECT_NEAR(first.At(0, 0)[0], 0.0f, 1e-3f);
    EXPECT_NEAR(first.At(3, 0)[0], 0.75f / 2.75f, 1e-3f);
    EXPECT_NEAR(second.At(0, 0)[0], 2.0f / 2.75f, 1e-3f);
    EXPECT_NEAR(second.At(3, 0)[0], 1.0f, 1e-3f);
}
