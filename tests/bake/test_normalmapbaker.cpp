#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bake/normalmapbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

Vec3 Decode(const float* texel) { return {texel[0] * 2 - 1, texel[1] * 2 - 1, texel[2] * 2 - 1}; }

void ExpectTexel(const float* texel, Vec3 normal, float alpha, float tolerance = 1e-5f) {
    EXPECT_NEAR(texel[0], (normal.x + 1) * 0.5f, tolerance);
    EXPECT_NEAR(texel[1], (normal.y + 1) * 0.5f, tolerance);
    EXPECT_NEAR(texel[2], (normal.z + 1) * 0.5f, tolerance);
    EXPECT_EQ(texel[3], alpha);
}

double AngleDegrees(Vec3 a, Vec3 b) {
    const double c = std::clamp(double(Pallix::Math::Dot(Unit(a), Unit(b))), -1.0, 1.0);
    return std::acos(c) * 180.0 / 3.14159265358979;
}

TraceSample SampleAt(Vec3 position, Vec3 normal = {0, 0, 1}) {
    TraceSample s;
    s.position = position;
    s.normal = normal;
    s.geometricNormal = normal;
    return s;
}

// A plane at z = 0.05 made of one quad per texel of an 8 x 8 tile over [-1, 1]^2, with the
// given normal, without the quads of the listed texels.
std::unique_ptr<Scene> TexelQuads(Vec3 normal, std::vector<std::pair<int, int>> holes = {}) {
    auto scene = std::make_unique<Scene>(NeedNormals);
    SceneMesh* mesh = scene->AddMesh("high");
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            if (std::find(holes.begin(), holes.end(), std::make_pair(x, y)) != holes.end()) continue;
            const float x0 = -1 + 0.25f * float(x), y0 = -1 + 0.25f * float(y), x1 = x0 + 0.25f, y1 = y0 + 0.25f;
            AddQuad(*mesh, {x0, y0, 0.05f}, {x1, y0, 0.05f}, {x1, y1, 0.05f}, {x0, y1, 0.05f}, normal);
        }
    return scene;
}

// A line of /proc/self/status in MiB (VmRSS now, VmHWM the peak since the last reset).
double StatusMiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
    return -1.0;
}

bool ResetPeakMemory() { return bool(std::ofstream("/proc/self/clear_refs") << "5"); }

}  // namespace

TEST(NormalMapBaker, TangentConversionSolvesTheTexelFrameInBothModes) {
    struct Frame {
        Vec3 t, b, n;
    };
    const Frame frames[] = {
        {{0.6f, 0.8f, 0}, {0, 0, 1}, {0.8f, -0.6f, 0}},             // right-handed, rotated
        {{0.6f, 0.8f, 0}, {0, 0, -1}, {0.8f, -0.6f, 0}},            // mirrored bitangent
        {{1, 0, 0}, {0.5f, 1, 0}, {0, 0.3f, 1}},                    // skewed and not unit
        {{0.9f, 0.1f, -0.2f}, {-0.3f, -0.8f, 0.4f}, {0.1f, 0.5f, 0.85f}},  // skewed, left-handed
    };
    const Vec3 wanted[] = {{0, 0, 1}, {0.3f, -0.2f, 0.93f}, {-0.7f, 0.1f, 0.7f}, {0.05f, 0.9f, 0.43f}};
    Image objectSpace(2, 2);
    Image* list[1] = {&objectSpace};
    for (auto mode : {NormalMapBaker::Conversion::Frame, NormalMapBaker::Conversion::Inverse}) {
        const NormalMapBaker::ObjectNormalToTangentShader shader(mode);
        for (const Frame& f : frames) {
            for (Vec3 w : wanted) {
                const Vec3 n = Unit(f.t * w.x + f.b * w.y + f.n * w.z);
                float* texel = objectSpace.Pixel(1, 1);
                texel[0] = (n.x + 1) * 0.5f, texel[1] = (n.y + 1) * 0.5f, texel[2] = (n.z + 1) * 0.5f, texel[3] = 1;
                TraceSample s = SampleAt({}, f.n);
                s.x = s.y = 1;
                s.tangent = f.t;
                s.bitangent = f.b;
                float out[4];
                shader.Shade(out, s, list, 1);
                EXPECT_LT(AngleDegrees(Decode(out), w), 1e-3) << int(mode) << " " << w.x << " " << f.t.x;
                EXPECT_EQ(out[3], 1.0f);
            }
        }
        // Without tangents (a mesh without UVs) the texel reads as unperturbed, never as NaN.
        TraceSample s = SampleAt({}, {0, 0, 1});
        s.x = s.y = 1;
        float out[4];
        shader.Shade(out, s, list, 1);
        ExpectTexel(out, {0, 0, 1}, 1.0f);
    }
}

TEST(NormalMapBaker, NormalShaderMarksMissesWithTheLowPolyNormal) {
    // Vertex normals lean from -X to +X across one quad: the interpolated normal at x is
    // proportional to (0.5 x, 0, 1).
    Scene high(NeedNormals);
    SceneMesh* mesh = high.AddMesh("high");
    const Vec3 left = Unit({-0.5f, 0, 1}), right = Unit({0.5f, 0, 1});
    const Corner a{{-1, -1, 0.1f}, {}, ColourWhite, left}, b{{1, -1, 0.1f}, {}, ColourWhite, right};
    const Corner c{{1, 1, 0.1f}, {}, ColourWhite, right}, d{{-1, 1, 0.1f}, {}, ColourWhite, left};
    AddTriangle(*mesh, a, b, c);
    AddTriangle(*mesh, a, c, d);
    // A second surface far away whose vertex normals cancel out.
    AddTriangle(*mesh, {{10, 10, 0}, {}, ColourWhite, {}}, {{12, 10, 0}, {}, ColourWhite, {}}, {{10, 12, 0}, {}, ColourWhite, {}});
    const auto traced = BuildTraceMesh(high);
    const TraceMeshList meshes{traced.get()};

    NormalMapBaker::NormalShader shader;
    shader.traceMeshes = &meshes;
    shader.maxDistance = 1.0f;
    shader.directionMode = DirectionGeometric;
    shader.hasHighPoly = true;
    float out[4];
    shader.Shade(out, SampleAt({0.5f, 0.25f, 0}), nullptr, 0);
    ExpectTexel(out, Unit({0.25f, 0, 1}), 1.0f);

    shader.Shade(out, SampleAt({3, 0, 0}, {0, 0, 2}), nullptr, 0);  // nothing above
    ExpectTexel(out, {0, 0, 1}, -1.0f);
    shader.Shade(out, SampleAt({10.2f, 10.2f, -0.5f}, {0, 0, 2}), nullptr, 0);  // degenerate high-poly normal
    ExpectTexel(out, {0, 0, 1}, -1.0f);

    // Without a high-poly mesh the low-poly direction is written as it is, unnormalised.
    shader.hasHighPoly = false;
    TraceSample s = SampleAt({0, 0, 0}, {0, 0, 2});
    s.normal = {0, 0.6f, 0.8f};
    shader.Shade(out, s, nullptr, 0);
    ExpectTexel(out, {0, 0, 2}, 1.0f);
    shader.directionMode = DirectionInterpolated;
    shader.Shade(out, s, nullptr, 0);
    ExpectTexel(out, {0, 0.6f, 0.8f}, 1.0f);
}

TEST(NormalMapBaker, IsolatedMissesTakeTheirNeighboursAndEdgeMissesKeepTheLowPolyNormal) {
    const Vec3 lean = Unit({0.6f, 0, 0.8f});
    Rig rig(8, MapNormal);
    rig.AddLowPolySquare(1.0f);
    rig.AddHighPoly(*TexelQuads(lean, {{4, 4}, {0, 3}}));
    rig.job.searchDistance = 0.5f;
    auto baker = rig.Make<NormalMapBaker>();
    baker->Init();
    rig.BakeTile(*baker);

    for (Image* image : {&baker->ObjectOutput(), &baker->TangentOutput()}) {
        ExpectTexel(image->Pixel(2, 6), lean, 1.0f);
        ExpectTexel(image->Pixel(4, 4), lean, 1.0f);      // all eight neighbours hit
        ExpectTexel(image->Pixel(0, 3), {0, 0, 1}, 1.0f);  // on the tile's border
    }
    EXPECT_GT(rig.job.times.traceTime, 0.0);
}

TEST(NormalMapBaker, PostProcessFillsEmptyTangentTexelsAndFlipsGreenOnlyThere) {
    const Vec3 lean = Unit({0.6f, 0.3f, 0.74f});
    const auto high = TexelQuads(lean);
    for (int variant = 0; variant < 4; ++variant) {
        const int dilation = 2 * (variant % 2);
        Rig rig(8, MapNormal);
        rig.job.dilation = dilation;
        rig.map->blur = variant < 2 ? 0.0f : 1.5f;
        rig.map->yFlip = true;
        rig.AddHighPoly(*high);
        // The low-poly covers only the left half of the tile.
        const Corner a{{-1, -1, 0}, {0, 0}}, b{{0, -1, 0}, {0.5f, 0}}, c{{0, 1, 0}, {0.5f, 1}}, d{{-1, 1, 0}, {0, 1}};
        SceneMesh* low = rig.lowPoly->AddMesh("low");
        AddTriangle(*low, a, b, c);
        AddTriangle(*low, a, c, d);
        auto baker = rig.Make<NormalMapBaker>();
        baker->Init();
        rig.BakeTile(*baker);
        baker->PostProcess();
        const Image& object = baker->ObjectOutput();
        const Image& tangent = baker->TangentOutput();
        const Vec3 flipped{lean.x, -lean.y, lean.z};
        ExpectTexel(object.Pixel(1, 5), lean, 1.0f);
        ExpectTexel(tangent.Pixel(1, 5), flipped, 1.0f);
        // The border ring is extrapolated from the two texels before it.
        ExpectTexel(object.Pixel(4, 2), lean, 1.0f);
        ExpectTexel(tangent.Pixel(4, 2), flipped, 1.0f);
        const int firstEmpty = 5 + dilation;
        if (dilation > 0) ExpectTexel(tangent.Pixel(firstEmpty - 1, 2), flipped, 1.0f);
        ExpectTexel(tangent.Pixel(firstEmpty, 2), {0, 0, 1}, 0.0f);
        ExpectTexel(object.Pixel(firstEmpty, 2), {0, 0, 0}, 0.0f);
    }
}

TEST(NormalMapBaker, PostProcessNeedsNoImageBeyondItsTwoMaps) {
    Rig rig(2048, MapNormal);
    rig.job.dilation = 2;
    rig.map->blur = 1.0f;
    auto baker = rig.Make<NormalMapBaker>();
    // Squares of 64 texels, every other one covered; every page of both maps is touched first.
    for (Image* image : {&baker->ObjectOutput(), &baker->TangentOutput()}) {
        for (int y = 0; y < image->height; ++y)
            for (int x = 0; x < image->width; ++x) {
                float* p = image->Pixel(x, y);
                p[0] = p[1] = 0.5f;
                p[2] = 1.0f;
                p[3] = (x / 64 + y / 64) % 2 == 0 ? 1.0f : 0.0f;
            }
    }
    const double before = StatusMiB("VmRSS:");
    if (!ResetPeakMemory() || before < 0.0) GTEST_SKIP() << "no peak memory figure on this system";
    baker->PostProcess();
    // Each map is 64 MiB; the passes keep a few rows per band of rows.
    EXPECT_LT(StatusMiB("VmHWM:") - before, 40.0);
    EXPECT_EQ(baker->ObjectOutput().Pixel(64, 0)[3], 1.0f);  // dilated into the first empty square
    EXPECT_EQ(baker->ObjectOutput().Pixel(67, 0)[3], 0.0f);  // extrapolation and two steps reach three texels
}

TEST(NormalMapBaker, EveryUvTileStartsFromClearedMaps) {
    Rig rig(8, MapNormal);
    auto baker = rig.Make<NormalMapBaker>();
    for (int tile = 0; tile < 3; ++tile) {
        baker->BeginTiles();
        for (Image* image : {&baker->ObjectOutput(), &baker->TangentOutput()}) {
            for (size_t i = 0; i < image->FloatCount(); ++i) ASSERT_EQ(image->data[i], 0.0f) << "tile " << tile;
            image->Pixel(3, 4)[0] = image->Pixel(3, 4)[3] = 1.0f;
        }
    }
}

TEST(NormalMapBaker, ExportNamesWithoutAConventionAndAtAnExplicitPath) {
    const TempFolder dir("kelvor-normal-export");
    const struct {
        int tangentSpace;
        bool explicitPath;
        std::vector<std::string> files;
    } cases[] = {
        {TangentNone, false, {"crate_onm.exr", "crate_tnm_.exr"}},
        {TangentObject, true, {"crate.exr"}},
        {TangentFbx, true, {"crate.exr"}},
    };
    for (const auto& c : cases) {
        Rig rig(4, MapNormal);
        rig.job.outputPath = (dir / "crate").string();
        rig.job.outputFormat = FormatExr;
        rig.job.explicitPath = c.explicitPath;
        rig.map->tangentSpace = c.tangentSpace;
        auto baker = rig.Make<NormalMapBaker>();
        baker->Init();
        baker->ObjectOutput().Fill(0.25f, 0.25f, 0.25f, 1);
        baker->TangentOutput().Fill(0.75f, 0.75f, 0.75f, 1);
        baker->Export();
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir.Path())) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.files) << c.tangentSpace << " " << c.explicitPath;
        // At an explicit path the tangent-space map is the one written unless there is none.
        if (c.explicitPath) {
            EXPECT_EQ(ReadImageFile(dir / "crate.exr").At(0, 0)[0], c.tangentSpace == TangentObject ? 0.25f : 0.75f);
        }
        for (const std::string& name : found) fs::remove(dir / name);
    }
}
