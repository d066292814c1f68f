#include <cstdio>

#include <gtest/gtest.h>

#include "bake/clownmapbaker.h"
#include "bake/layeredclownmapbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

// Exposes the slot images of the layered baker.
class OpenLayeredBaker : public LayeredClownMapBaker {
public:
    using LayeredClownMapBaker::LayeredClownMapBaker;
    Image& Slot(int slot) { return *outputs[size_t(slot)]; }
};

void ExpectTexel(const float* texel, float r, float g, float b, float a, const std::string& where) {
    EXPECT_FLOAT_EQ(texel[0], r) << where;
    EXPECT_FLOAT_EQ(texel[1], g) << where;
    EXPECT_FLOAT_EQ(texel[2], b) << where;
    EXPECT_FLOAT_EQ(texel[3], a) << where;
}

// Over the low-poly square [-0.5, 0.5]^2: a red strip left of x = -0.06, a green one up to
// x = 0.19 and nothing beyond, 0.1 above the low-poly surface.
struct StripScene {
    Scene highPoly{NeedNormals};
    StripScene(const char* redName = "red", const char* greenName = "green") {
        SceneMaterial* red = AddMaterial(highPoly, redName, 1, 0, 0);
        SceneMaterial* green = AddMaterial(highPoly, greenName, 0, 1, 0);
        AddMaterial(highPoly, "blue", 0, 0, 1);
        SceneMesh* mesh = highPoly.AddMesh("high");
        AddRectangle(*mesh, -0.6f, -0.6f, -0.06f, 0.6f, 0.1f, red);
        AddRectangle(*mesh, -0.06f, -0.6f, 0.19f, 0.6f, 0.1f, green);
    }
};

}  // namespace

TEST(ClownMapBaker, HitsTakeTheirMaterialColourAndMissesAreOpaqueBlack) {
    Rig rig(8, MapMaterialId);
    rig.AddLowPolySquare();
    StripScene strips;
    rig.AddHighPoly(strips.highPoly);
    auto baker = rig.Make<ClownMapBaker>();
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();
    const Image& out = *baker->GetImage();
    // Pixel columns 0-2 lie on red, 4-5 on green, 6-7 beyond both strips.
    for (int y = 0; y < 8; ++y) {
        ExpectTexel(out.Pixel(1, y), 1, 0, 0, 1, "red");
        ExpectTexel(out.Pixel(5, y), 0, 1, 0, 1, "green");
        ExpectTexel(out.Pixel(7, y), 0, 0, 0, 1, "miss");
    }
}

TEST(ClownMapBaker, WithoutHighPolyTheLowPolyTrianglesGiveTheColour) {
    Rig rig(8, MapMaterialId);
    SceneMaterial* red = AddMaterial(*rig.lowPoly, "red", 1, 0, 0);
    SceneMesh* mesh = rig.lowPoly->AddMesh("low");
    // The lower-right triangle is red; the upper-left one has no material.
    const Corner a{{-0.5f, -0.5f, 0}, {0, 0}}, b{{0.5f, -0.5f, 0}, {1, 0}};
    const Corner c{{0.5f, 0.5f, 0}, {1, 1}}, d{{-0.5f, 0.5f, 0}, {0, 1}};
    AddTriangle(*mesh, a, b, c, red);
    AddTriangle(*mesh, a, c, d, nullptr);
    auto baker = rig.Make<ClownMapBaker>();
    baker->Init();
    rig.BakeTile(*baker);
    const Image& out = *baker->GetImage();
    ExpectTexel(out.Pixel(6, 1), 1, 0, 0, 1, "red triangle");
    ExpectTexel(out.Pixel(1, 6), 0, 0, 0, 1, "no material");
}

TEST(LayeredClownMapBaker, MasksCarryEachMaterialsShareOfTheSamples) {
    Rig rig(8, MapMaterialId, 2);
    rig.map->layers = true;
    rig.AddLowPolySquare();
    StripScene strips;
    rig.AddHighPoly(strips.highPoly);
    auto baker = rig.Make<OpenLayeredBaker>();
    testing::internal::CaptureStdout();
    baker->Init();
    std::string added;
    for (int slot = 0; slot < 4; ++slot) added += "Adding map for a shader\n";  // colour + three masks
    EXPECT_EQ(testing::internal::GetCapturedStdout(), added);
    ASSERT_EQ(baker->GetImageCount(), 5);
    EXPECT_EQ(baker->GetLayerNames(0), "_mat");
    EXPECT_EQ(baker->GetLayerNames(1), "_mat_red");
    EXPECT_EQ(baker->GetLayerNames(3), "_mat_blue");
    rig.BakeTile(*baker);
    baker->PostProcess();

    const Image& colour = baker->Slot(0);
    const Image& red = baker->Slot(1);
    const Image& green = baker->Slot(2);
    const Image& blue = baker->Slot(3);
    for (int y = 0; y < 8; ++y) {
        // Pixel 1: all samples red. Pixel 3: half red, half green. Pixel 5: one sample column on
        // green, the other misses. Pixel 7: all samples miss.
        ExpectTexel(colour.Pixel(1, y), 1, 0, 0, 1, "colour 1");
        ExpectTexel(red.Pixel(1, y), 1, 1, 1, 1, "red 1");
        ExpectTexel(green.Pixel(1, y), 1, 1, 1, 0, "green 1");
        ExpectTexel(colour.Pixel(3, y), 0.5f, 0.5f, 0, 1, "colour 3");
        ExpectTexel(red.Pixel(3, y), 1, 1, 1, 0.5f, "red 3");
        ExpectTexel(green.Pixel(3, y), 1, 1, 1, 0.5f, "green 3");
        ExpectTexel(colour.Pixel(5, y), 0, 1, 0, 1, "colour 5");
        ExpectTexel(green.Pixel(5, y), 1, 1, 1, 1, "green 5");
        ExpectTexel(red.Pixel(5, y), 1, 1, 1, 0, "red 5");
        ExpectTexel(colour.Pixel(7, y), 0, 0, 0, 0, "colour 7");
        ExpectTexel(green.Pixel(7, y), 1, 1, 1, 0, "green 7");
        for (int x = 0; x < 8; ++x) EXPECT_EQ(blue.Pixel(x, y)[3], 0.0f);  // never hit
    }
    float empty[4];
    baker->GetEmptyValue(empty);
    EXPECT_EQ(empty[3], 1.0f);
}

TEST(LayeredClownMapBaker, WithoutHighPolyEverythingIsTransparent) {
    Rig rig(4, MapMaterialId);
    rig.map->layers = true;
    rig.AddLowPolySquare();
    StripScene strips;
    rig.AddHighPoly(strips.highPoly);
    rig.job.hasHighPoly = false;  // the trace meshes stay, as for a job whose paths name no mesh
    auto baker = rig.Make<OpenLayeredBaker>();
    testing::internal::CaptureStdout();
    baker->Init();
    testing::internal::GetCapturedStdout();
    rig.BakeTile(*baker);
    baker->PostProcess();
    for (int slot = 0; slot < 4; ++slot)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) EXPECT_EQ(baker->Slot(slot).Pixel(x, y)[3], 0.0f) << slot;
    EXPECT_EQ(baker->Slot(0).Pixel(2, 2)[0], 0.0f);
}

TEST(LayeredClownMapBaker, WritesOneFilePerMaterialAndUvTileAndSameNamesShareOne) {
    const TempFolder dir("kelvor-layered");
    Rig rig(8, MapMaterialId);
    rig.map->layers = true;
    rig.job.outputFormat = FormatPng8;
    rig.job.outputPath = (dir / "crate").string();
    rig.job.tilingMode = 1;      // layers carry the tile name too, or tiles overwrite each other
    rig.job.explicitPath = true;  // not consulted by layered maps
    rig.AddLowPolySquare();
    // Two materials named alike, and one whose name holds a path separator.
    Scene highPoly(NeedNormals);
    SceneMaterial* first = AddMaterial(highPoly, "steel", 1, 0, 0);
    SceneMaterial* second = AddMaterial(highPoly, "steel", 0, 1, 0);
    SceneMaterial* third = AddMaterial(highPoly, "metal/rough", 0, 0, 1);
    SceneMesh* mesh = highPoly.AddMesh("high");
    AddRectangle(*mesh, -0.6f, -0.6f, -0.25f, 0.6f, 0.1f, first);
    AddRectangle(*mesh, -0.25f, -0.6f, 0.25f, 0.6f, 0.1f, second);
    AddRectangle(*mesh, 0.25f, -0.6f, 0.6f, 0.6f, 0.1f, third);
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<OpenLayeredBaker>();
    testing::internal::CaptureStdout();
    baker->Init();
    testing::internal::GetCapturedStdout();
    rig.BakeTile(*baker);
    baker->PostProcess();
    baker->Export();

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.Path())) files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"crate_mat.1001.png", "crate_mat_metal_rough.1001.png",
                                                "crate_mat_steel.1001.png"}));

    // The later of the two "steel" slots wrote the shared file last.
    const KelvorTest::ImageFile steel = ReadImageFile(dir / "crate_mat_steel.1001.png");
    ASSERT_EQ(steel.width, 8);
    EXPECT_EQ(steel.At(0, 4)[3], 0.0f);
    EXPECT_EQ(steel.At(4, 4)[3], 1.0f);
    const KelvorTest::ImageFile colour = ReadImageFile(dir / "crate_mat.1001.png");
    ASSERT_EQ(colour.width, 8);
    EXPECT_EQ(colour.At(0, 0)[0], 1.0f);
    EXPECT_EQ(colour.At(7, 7)[2], 1.0f);
}
