#include <gtest/gtest.h>

#include "bake/curvaturemapbaker.h"
#include "bake/displacementmapbaker.h"
#include "bake/positionbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

// Strips over the low-poly square [-0.5, 0.5]^2: 0.3 in front of it left of x = -0.25, 0.2
// behind it up to x = 0.25, nothing beyond.
std::unique_ptr<Scene> SteppedHighPoly() {
    auto scene = std::make_unique<Scene>(NeedNormals);
    SceneMesh* mesh = scene->AddMesh("high");
    AddRectangle(*mesh, -0.6f, -0.6f, -0.25f, 0.6f, 0.3f);
    AddRectangle(*mesh, -0.25f, -0.6f, 0.25f, 0.6f, -0.2f);
    return scene;
}

// A rig of 4 x 4 texels writing EXR files into dir, its low-poly one square in UV tile 1001
// and one in 1002 (at x = 2 and y + dy).
void TwoTileRig(Rig& rig, const TempFolder& dir, float dy = 0.0f) {
    rig.job.tilingMode = 1;
    rig.job.outputFormat = FormatExr;
    rig.job.outputPath = (dir / "crate").string();
    SceneMesh* low = rig.lowPoly->AddMesh("low");
    AddRectangle(*low, -0.5f, -0.5f, 0.5f, 0.5f, 0.0f, nullptr, ColourWhite, 0.0f);
    AddRectangle(*low, 1.5f, -0.5f + dy, 2.5f, 0.5f + dy, 0.0f, nullptr, ColourWhite, 1.0f);
}

}  // namespace

TEST(CurvatureMapBaker, WithoutHighPolyTheLowPolyValuesAreInterpolatedAndScaled) {
    Rig rig(8, MapCurvature);
    rig.AddLowPolySquare();
    SceneMesh* mesh = rig.lowPoly->meshes[0].get();
    // Values affine in the position: (x + 0.5, 0.25 (y + 0.5)), so interpolation reproduces them.
    for (const Vec3& p : mesh->positions) mesh->neighbourDirections.push_back({p.x + 0.5f, 0.25f * (p.y + 0.5f)});
    auto baker = rig.Make<Open<CurvatureMapBaker>>();
    EXPECT_EQ(baker->GetTraceRequirements(), NeedNormals | NeedNeighbourDirections);
    EXPECT_TRUE(baker->NeedsRangePass());
    baker->Init();
    rig.BakeTile(*baker);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            const float* texel = baker->Output().Pixel(x, y);
            EXPECT_NEAR(texel[0], (float(x) + 0.5f) / 8.0f, 1e-6f);
            EXPECT_NEAR(texel[1], 0.25f * (float(y) + 0.5f) / 8.0f, 1e-6f);
            EXPECT_EQ(texel[3], 1.0f);
        }
    }
    // The largest value (red 15/16) scales both channels.
    baker->PostProcess();
    const float s = 16.0f / 15.0f;
    const float* texel = baker->Output().Pixel(1, 6);
    const float below = s * 1.5f / 8.0f, above = s * 0.25f * 6.5f / 8.0f;
    EXPECT_NEAR(texel[0], 1.0f - above, 1e-6f);
    EXPECT_NEAR(texel[1], below, 1e-6f);
    EXPECT_NEAR(texel[2], 0.5f - 0.5f * (above - below), 1e-6f);
}

TEST(CurvatureMapBaker, TwoUvTilesAreScaledByTheLargerMaximumAndMissesStayEmpty) {
    const TempFolder dir("kelvor-curvature");
    Rig rig(4, MapCurvature);
    TwoTileRig(rig, dir);
    Scene highPoly(NeedNormals | NeedNeighbourDirections);
    SceneMesh* high = highPoly.AddMesh("high");
    AddRectangle(*high, -0.6f, -0.6f, 0.2f, 0.6f, 0.1f);  // the first tile's last column misses
    AddRectangle(*high, 1.4f, -0.6f, 2.6f, 0.6f, 0.1f);
    // Raw values (0.2, 0.1) over the first tile's surface, (0.4, 0.3) over the second's.
    high->neighbourDirections.assign(6, {0.2f, 0.1f});
    high->neighbourDirections.resize(12, {0.4f, 0.3f});
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<CurvatureMapBaker>();
    baker->Init();
    rig.BakeTwoPasses(*baker, 2);
    EXPECT_FLOAT_EQ(baker->rangeMax[0], 0.4f);

    // s = 1 / 0.4 for both tiles: (1 - s c1, s c0, 0.5 + 0.5 max(s c0 - s c1, 0)).
    const KelvorTest::ImageFile first = ReadImageFile(dir / "crate_curvature_packed.1001.exr");
    const KelvorTest::ImageFile second = ReadImageFile(dir / "crate_curvature_packed.1002.exr");
    ASSERT_EQ(first.width, 4);
    ASSERT_EQ(second.width, 4);
    EXPECT_FLOAT_EQ(first.At(1, 2)[0], 0.75f);
    EXPECT_FLOAT_EQ(first.At(1, 2)[1], 0.5f);
    EXPECT_FLOAT_EQ(first.At(1, 2)[2], 0.625f);
    EXPECT_EQ(first.At(3, 2)[3], 0.0f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[0], 0.25f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[1], 1.0f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[2], 0.625f);
    // One grey map per channel, the miss transparent in each.
    for (const char* name : {"crate_concavity", "crate_convexity", "crate_curvature"}) {
        const KelvorTest::ImageFile grey = ReadImageFile(dir / (std::string(name) + ".1001.exr"));
        EXPECT_EQ(grey.At(1, 2)[0], grey.At(1, 2)[2]) << name;
        EXPECT_EQ(grey.At(1, 2)[3], 1.0f) << name;
        EXPECT_EQ(grey.At(3, 2)[3], 0.0f) << name;
        EXPECT_TRUE(fs::exists(dir / (std::string(name) + ".1002.exr"))) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "crate_curvature_packed.1001.mif"));
}

TEST(DisplacementMapBaker, HoldsTheSignedDistanceAndMissesAreOpaqueBlack) {
    Rig rig(8, MapDisplacement);
    rig.map->normalized = false;
    rig.AddLowPolySquare();
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
    const TempFolder dir("kelvor-displacement");
    Rig rig(4, MapDisplacement);
    rig.map->normalized = true;
    TwoTileRig(rig, dir);
    Scene highPoly(NeedNormals);
    AddRectangle(*highPoly.AddMesh("high"), -0.6f, -0.6f, 0.6f, 0.6f, 0.1f);  // first tile: 0.1
    AddRectangle(*highPoly.meshes[0], 1.4f, -0.6f, 2.6f, 0.6f, -0.4f);        // second: -0.4
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<DisplacementMapBaker>();
    baker->Init();
    EXPECT_TRUE(baker->NeedsRangePass());
    rig.BakeTwoPasses(*baker, 2);
    // a = 0.4 from the second tile maps [-0.4, 0.4] to [0, 1] in both.
    EXPECT_EQ(ReadImageFile(dir / "crate_displacement.1001.exr").At(2, 1)[0], 0.625f);
    EXPECT_EQ(ReadImageFile(dir / "crate_displacement.1002.exr").At(2, 1)[1], 0.0f);
    EXPECT_EQ(ReadImageFile(dir / "crate_displacement.1002.exr").At(2, 1)[3], 1.0f);
}

TEST(DisplacementMapBaker, ANormalisedMapWithoutDisplacementIsMidGrey) {
    Rig rig(4, MapDisplacement);
    rig.map->normalized = true;
    rig.AddLowPolySquare();
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
    rig.AddLowPolySquare();
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

TEST(PositionBaker, NormalisesOverEveryUvTileAndSplatsTheChosenAxis) {
    const TempFolder dir("kelvor-position");
    Rig rig(4, MapWorldPosition);
    rig.map->normalized = true;
    rig.map->axis = 2;  // y
    TwoTileRig(rig, dir, 1.0f);
    auto baker = rig.Make<PositionBaker>();
    baker->Init();
    EXPECT_TRUE(baker->NeedsRangePass());
    rig.BakeTwoPasses(*baker, 2);
    // Y of the texel centres spans -0.375 .. 1.375 over both tiles; the file's top row is the
    // highest one.
    const KelvorTest::ImageFile first = ReadImageFile(dir / "crate_worldposition.1001.exr");
    const KelvorTest::ImageFile second = ReadImageFile(dir / "crate_worldposition.1002.exr");
    ASSERT_EQ(first.width, 4);
    ASSERT_EQ(second.width, 4);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(first.At(1, 3)[c], 0.0f, 1e-3f);
        EXPECT_NEAR(first.At(1, 0)[c], 0.75f / 1.75f, 1e-3f);
        EXPECT_NEAR(second.At(2, 3)[c], 1.0f / 1.75f, 1e-3f);
        EXPECT_NEAR(second.At(2, 0)[c], 1.0f, 1e-3f);
    }
    EXPECT_EQ(second.At(2, 0)[3], 1.0f);
}
