#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <vector>

#include <unistd.h>

#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <gtest/gtest.h>

#include "bake/normalmapbaker.h"
#include "geometry/scene.h"
#include "surfacetargets.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;
using namespace SurfaceTest;
namespace fs = std::filesystem;

namespace {

Vec3 Unit(Vec3 v) { return v * (1.0f / Pallix::Math::Length(v)); }

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

fs::path TempFolder(const char* name) {
    fs::path dir = fs::temp_directory_path() / (std::string("kelvor_normal_") + name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A plane at z = 0.05 made of one quad per texel of an 8 x 8 tile over [-1, 1]^2, whose normals
// lean towards +X, without the quads of the listed texels.
std::vector<SurfaceTest::Triangle> TexelQuads(Vec3 normal, std::vector<std::pair<int, int>> holes) {
    std::vector<SurfaceTest::Triangle> soup;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            if (std::find(holes.begin(), holes.end(), std::make_pair(x, y)) != holes.end()) continue;
            AddRectangle(soup, -1 + 0.25f * float(x), -1 + 0.25f * float(y), -0.75f + 0.25f * float(x), -0.75f + 0.25f * float(y), 0.05f, normal);
        }
    return soup;
}

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
    std::vector<SurfaceTest::Triangle> soup;
    const Vec3 left = Unit({-0.5f, 0, 1}), right = Unit({0.5f, 0, 1});
    soup.push_back({Vertex{{-1, -1, 0.1f}, left}, Vertex{{1, -1, 0.1f}, right}, Vertex{{1, 1, 0.1f}, right}});
    soup.push_back({Vertex{{-1, -1, 0.1f}, left}, Vertex{{1, 1, 0.1f}, right}, Vertex{{-1, 1, 0.1f}, left}});
    // A second surface far away whose vertex normals cancel out.
    soup.push_back({Vertex{{10, 10, 0}, {0, 0, 0}}, Vertex{{12, 10, 0}, {0, 0, 0}}, Vertex{{10, 12, 0}, {0, 0, 0}}});
    const auto mesh = MakeTraceMesh(soup);
    const TraceMeshList meshes{mesh.get()};

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
    Rig rig(8, MapNormal, 3);
    const auto mesh = MakeTraceMesh(TexelQuads(lean, {{4, 4}, {0, 3}}));
    rig.meshes = {mesh.get()};
    rig.job.searchDistance = 0.5f;
    const ReadbackSet targets = PlaneTargets(8, 8);
    auto baker = rig.Make<NormalMapBaker>();
    baker->BeginTiles();
    baker->ProcessTile(targets);

    for (Image* image : {&baker->ObjectOutput(), &baker->TangentOutput()}) {
        ExpectTexel(image->Pixel(2, 6), lean, 1.0f);
        ExpectTexel(image->Pixel(4, 4), lean, 1.0f);      // all eight neighbours hit
        ExpectTexel(image->Pixel(0, 3), {0, 0, 1}, 1.0f);  // on the tile's border
    }
    EXPECT_GT(rig.job.times.traceTime, 0.0);
}

TEST(NormalMapBaker, PostProcessFillsEmptyTangentTexelsAndFlipsGreenOnlyThere) {
    const Vec3 lean = Unit({0.6f, 0.3f, 0.74f});
    for (int variant = 0; variant < 4; ++variant) {
        const int dilation = 2 * (variant % 2);
        const float blur = variant < 2 ? 0.0f : 1.5f;
        Rig rig(8, MapNormal);
        rig.job.dilation = dilation;
        rig.map->blur = blur;
        rig.map->yFlip = true;
        const auto mesh = MakeTraceMesh(TexelQuads(lean, {}));
        rig.meshes = {mesh.get()};
        // Only the left half of the tile is covered by the low-poly surface.
        const ReadbackSet targets = MakeTargets(8, 8, [](int x, int y) {
            Texel t;
            t.position = PlanePoint(x, y, 8, 8);
            t.covered = x < 4;
            return t;
        });
        auto baker = rig.Make<NormalMapBaker>();
        baker->BeginTiles();
        baker->ProcessTile(targets);
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

TEST(NormalMapBaker, ExportWritesOneFilePerConventionUnderItsName) {
    const fs::path dir = TempFolder("export");
    auto names = [&]() {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir)) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        fs::remove_all(dir);
        fs::create_directories(dir);
        return found;
    };
    using Names = std::vector<std::string>;
    const struct {
        int tangentSpace;
        bool explicitPath;
        Names files;
    } cases[] = {
        {TangentFbx, false, {"crate_onm.exr", "crate_tnm_fbx.exr"}},
        {TangentNone, false, {"crate_onm.exr", "crate_tnm_.exr"}},
        {TangentMaya, false, {"crate_onm.exr", "crate_tnm_maya.exr"}},
        {TangentUnity, false, {"crate_onm.exr", "crate_tnm_unity.exr"}},
        {TangentObject, false, {"crate_onm.exr"}},
        {TangentObject, true, {"crate.exr"}},
        {TangentFbx, true, {"crate.exr"}},
    };
    for (const auto& c : cases) {
        Rig rig(4, MapNormal);
        rig.job.outputPath = (dir / "crate").string();
        rig.job.explicitPath = c.explicitPath;
        rig.map->tangentSpace = c.tangentSpace;
        auto baker = rig.Make<NormalMapBaker>();
        baker->ObjectOutput().Fill(0.25f, 0.25f, 0.25f, 1);
        baker->TangentOutput().Fill(0.75f, 0.75f, 0.75f, 1);
        baker->Export();
        EXPECT_EQ(names(), c.files) << c.tangentSpace << " " << c.explicitPath;
        if (!c.explicitPath) continue;
        // At an explicit path the tangent-space map is the one written unless there is none.
        baker->Export();
        Imf::RgbaInputFile file((dir / "crate.exr").c_str());
        Imf::Array2D<Imf::Rgba> pixels(4, 4);
        file.setFrameBuffer(&pixels[0][0], 1, 4);
        file.readPixels(0, 3);
        EXPECT_FLOAT_EQ(float(pixels[0][0].r), c.tangentSpace == TangentObject ? 0.25f : 0.75f);
        names();
    }
    fs::remove_all(dir);
}

namespace {

// Counts the calls per texel and writes the texel's coordinates.
class CountingShader : public SoftwareBaker::IImageShader {
public:
    void Shade(float* out, const TraceSample& s, void*, int) const override {
        ++calls[size_t(s.x + 5 * s.y)];
        out[0] = float(s.x), out[1] = float(s.y), out[2] = 0, out[3] = 1;
    }
    mutable std::array<std::atomic<int>, 35> calls{};
};

}  // namespace

TEST(SoftwareBaker, BandsOfRowsShadeEveryTexelOnce) {
    SoftwareBaker software;
    software.SetThreadCount(3);
    RenderState state;
    state.tileWidth = 5;
    state.tileHeight = 7;
    const ReadbackSet targets = PlaneTargets(5, 7);
    for (int rows : {0, 1, 3, 7, 100}) {
        CountingShader shader;
        Image out(5, 7);
        software.Render(state, &out, targets, &shader, nullptr, 0, rows);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 5; ++x) {
                EXPECT_EQ(shader.calls[size_t(x + 5 * y)], 1) << rows;
                EXPECT_EQ(out.Pixel(x, y)[0], float(x));
                EXPECT_EQ(out.Pixel(x, y)[1], float(y));
            }
    }
    EXPECT_EQ(software.RowsPerTask(256), 256 / 12);
    EXPECT_EQ(software.RowsPerTask(7), 1);
    software.SetThreadCount(1);
    EXPECT_EQ(software.RowsPerTask(1024), 256);
}
