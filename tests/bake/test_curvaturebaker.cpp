#include <gtest/gtest.h>

#include "bake/curvaturemapbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

class OpenCurvatureBaker : public CurvatureMapBaker {
public:
    using CurvatureMapBaker::CurvatureMapBaker;
    Image& Output() { return output; }
};

// A flat high-poly square prepared as the high-poly loader prepares a curvature job's scene.
std::unique_ptr<Scene> FlatHighPoly(float x0, float x1) {
    auto scene = std::make_unique<Scene>(NeedNormals | NeedNeighbourDirections);
    AddRectangle(*scene->AddMesh("high"), x0, -0.6f, x1, 0.6f, 0.1f);
    scene->ComputeNeighbourDirections();
    return scene;
}

}  // namespace

TEST(CurvatureMapBaker, AFlatSurfaceIsFullRedNoGreenHalfBlueAndMissesStayEmpty) {
    const TempFolder dir("kelvor-curvature");
    Rig rig(8, MapCurvature);
    rig.job.outputPath = (dir / "crate").string();
    rig.job.outputFormat = FormatPng8;
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    rig.AddHighPoly(*FlatHighPoly(-0.6f, 0.2f));  // pixel columns 6 and 7 miss
    auto baker = rig.Make<CurvatureMapBaker>();
    EXPECT_EQ(baker->GetTraceRequirements(), NeedNormals | NeedNeighbourDirections);
    EXPECT_TRUE(baker->NeedsRangePass());
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();
    baker->Export();

    const KelvorTest::ImageFile packed = ReadImageFile(dir / "crate_curvature_packed.png");
    ASSERT_EQ(packed.width, 8);
    for (int y = 0; y < 8; ++y) {
        EXPECT_EQ(packed.At(2, y)[0] * 255.0f, 255.0f);
        EXPECT_EQ(packed.At(2, y)[1] * 255.0f, 0.0f);
        EXPECT_EQ(packed.At(2, y)[2] * 255.0f, 128.0f);
        EXPECT_EQ(packed.At(7, y)[3], 0.0f);
    }
    // One grey map per channel, the miss transparent in each.
    const char* names[3] = {"crate_concavity.png", "crate_convexity.png", "crate_curvature.png"};
    const float expected[3] = {255.0f, 0.0f, 128.0f};
    for (int channel = 0; channel < 3; ++channel) {
        const KelvorTest::ImageFile grey = ReadImageFile(dir / names[channel]);
        ASSERT_EQ(grey.width, 8) << names[channel];
        for (int c = 0; c < 3; ++c) EXPECT_EQ(grey.At(3, 5)[c] * 255.0f, expected[channel]) << names[channel];
        EXPECT_EQ(grey.At(3, 5)[3], 1.0f);
        EXPECT_EQ(grey.At(7, 5)[3], 0.0f);
    }
}

TEST(CurvatureMapBaker, WithoutHighPolyTheLowPolyValuesAreInterpolated) {
    Rig rig(8, MapCurvature);
    SceneMesh* mesh = rig.lowPoly->AddMesh("low");
    AddRectangle(*mesh, -0.5f, -0.5f, 0.5f, 0.5f, 0.0f);
    // Values affine in the position: (x + 0.5, 0.25 (y + 0.5)), so interpolation reproduces them.
    for (const Vec3& p : mesh->positions) mesh->neighbourDirections.push_back({p.x + 0.5f, 0.25f * (p.y + 0.5f)});
    auto baker = rig.Make<OpenCurvatureBaker>();
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

TEST(CurvatureMapBaker, TwoUvTilesAreScaledByTheLargerMaximum) {
    const TempFolder dir("kelvor-curvature");
    Rig rig(4, MapCurvature);
    rig.job.outputPath = (dir / "crate").string();
    rig.job.outputFormat = FormatExr;
    rig.job.tilingMode = 1;
    SceneMesh* low = rig.lowPoly->AddMesh("low");
    AddRectangle(*low, -0.5f, -0.5f, 0.5f, 0.5f, 0.0f, nullptr, ColourWhite, 0.0f);  // UV tile 1001
    AddRectangle(*low, 1.5f, -0.5f, 2.5f, 0.5f, 0.0f, nullptr, ColourWhite, 1.0f);   // UV tile 1002
    Scene highPoly(NeedNormals | NeedNeighbourDirections);
    SceneMesh* high = highPoly.AddMesh("high");
    AddRectangle(*high, -0.6f, -0.6f, 0.6f, 0.6f, 0.1f);
    AddRectangle(*high, 1.4f, -0.6f, 2.6f, 0.6f, 0.1f);
    // Raw values (0.2, 0.1) over the first tile's surface, (0.4, 0.3) over the second's.
    high->neighbourDirections.assign(6, {0.2f, 0.1f});
    high->neighbourDirections.resize(12, {0.4f, 0.3f});
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<CurvatureMapBaker>();
    baker->Init();

    // First pass: every tile's range, then its cache; second pass: normalise and export.
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
    EXPECT_FLOAT_EQ(baker->rangeMax[0], 0.4f);

    // s = 1 / 0.4 for both tiles: (1 - s c1, s c0, 0.5 + 0.5 max(s c0 - s c1, 0)).
    const KelvorTest::ImageFile first = ReadImageFile(dir / "crate_curvature_packed.1001.exr");
    const KelvorTest::ImageFile second = ReadImageFile(dir / "crate_curvature_packed.1002.exr");
    ASSERT_EQ(first.width, 4);
    ASSERT_EQ(second.width, 4);
    EXPECT_FLOAT_EQ(first.At(1, 2)[0], 0.75f);
    EXPECT_FLOAT_EQ(first.At(1, 2)[1], 0.5f);
    EXPECT_FLOAT_EQ(first.At(1, 2)[2], 0.625f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[0], 0.25f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[1], 1.0f);
    EXPECT_FLOAT_EQ(second.At(1, 2)[2], 0.625f);
    for (const char* name : {"crate_concavity", "crate_convexity", "crate_curvature"})
        for (const char* tile : {".1001.exr", ".1002.exr"}) EXPECT_TRUE(fs::exists(dir / (std::string(name) + tile))) << name << tile;
    EXPECT_FALSE(fs::exists(dir / "crate_curvature_packed.1001.mif"));
}
