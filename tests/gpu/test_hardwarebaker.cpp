#include <epoxy/gl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/bakeexception.h"
#include "gputest.h"

using namespace Pallix::Bake;
using namespace Pallix::Bake::Test;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

struct Barycentric {
    double b0, b1, b2;
    double Min() const { return std::min(b0, std::min(b1, b2)); }
};

Barycentric BarycentricOf(Vec2 p, Vec2 a, Vec2 b, Vec2 c) {
    const double det = double(b.x - a.x) * (c.y - a.y) - double(c.x - a.x) * (b.y - a.y);
    const double b1 = (double(p.x - a.x) * (c.y - a.y) - double(c.x - a.x) * (p.y - a.y)) / det;
    const double b2 = (double(b.x - a.x) * (p.y - a.y) - double(p.x - a.x) * (b.y - a.y)) / det;
    return {1.0 - b1 - b2, b1, b2};
}

bool AllZero(const std::vector<Image>& targets, int x, int y) {
    for (const Image& image : targets)
        for (int c = 0; c < 4; ++c)
            if (image.PixelUint(x, y)[c] != 0) return false;
    return true;
}

// Position as an affine function of UV, so the interpolated value at any texel is known.
Vec3 PositionAt(Vec2 uv) { return {2.0f * uv.x - 1.0f, 3.0f * uv.y, 0.5f * uv.x + uv.y}; }

}  // namespace

using HardwareBakerTest = GLTest;

TEST_F(HardwareBakerTest, TwoTriangleMeshReadsBackExactTargets) {
    const Vec2 a{0.25f, 0.25f}, b{0.75f, 0.25f}, c{0.75f, 0.5f}, d{0.25f, 0.5f};
    const Vec2 corners[2][3] = {{a, b, c}, {a, c, d}};
    Scene scene;
    std::vector<Vec3> positions;
    std::vector<Vec2> uvs;
    for (const auto& triangle : corners)
        for (const Vec2 uv : triangle) {
            positions.push_back(PositionAt(uv));
            uvs.push_back(uv);
        }
    SceneMesh* mesh = AddCornerMesh(scene, positions, uvs);
    mesh->normals.assign(6, Vec3{1.0f, 0.0f, 1.0f});
    const float transform[12] = {2, 0, 0, 0, 1, 0, 0, 0, 1, 1, -2, 3};
    mesh->SetTransform(transform);
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);

    const auto targets = RenderTargets(baker, hardware, WholeTile());
    // The inverse transpose halves x: the world normal is (0.5, 0, 1) normalised.
    const float nx = 0.5f / std::sqrt(1.25f), nz = 1.0f / std::sqrt(1.25f);
    int covered = 0, checked = 0;
    for (int y = 0; y < 1024; ++y)
        for (int x = 0; x < 1024; ++x) {
            const Vec2 uv{(x + 0.5f) / 1024.0f, (y + 0.5f) / 1024.0f};
            int triangle = -1;
            Barycentric weights{};
            for (int t = 0; t < 2; ++t) {
                const Barycentric w = BarycentricOf(uv, corners[t][0], corners[t][1], corners[t][2]);
                if (w.Min() > -1e-4 && (triangle < 0 || w.Min() > weights.Min())) {
                    triangle = t;
                    weights = w;
                }
            }
            if (triangle < 0) {
                ASSERT_TRUE(AllZero(targets, x, y)) << "uncovered texel " << x << ", " << y;
                continue;
            }
            const float coverage = targets[TargetPosition].Pixel(x, y)[3];
            covered += coverage == 1.0f;
            // Edge texels belong to whichever triangle the rasteriser's tie rule picks.
            if (weights.Min() < 1e-3) continue;
            ++checked;
            ASSERT_EQ(coverage, 1.0f) << x << ", " << y;
            const Vec3 local = PositionAt(uv);
            const float* position = targets[TargetPosition].Pixel(x, y);
            EXPECT_NEAR(position[0], 2.0f * local.x + 1.0f, 2e-5f);
            EXPECT_NEAR(position[1], local.y - 2.0f, 2e-5f);
            EXPECT_NEAR(position[2], local.z + 3.0f, 2e-5f);
            const float* texCoord = targets[TargetUV].Pixel(x, y);
            EXPECT_NEAR(texCoord[0], uv.x, 1e-6f);
            EXPECT_NEAR(texCoord[1], uv.y, 1e-6f);
            EXPECT_EQ(texCoord[2], 0.0f);
            const float* bary = targets[TargetBarycentric].Pixel(x, y);
            EXPECT_NEAR(bary[0], weights.b0, 1e-5);
            EXPECT_NEAR(bary[1], weights.b1, 1e-5);
            EXPECT_NEAR(bary[2], weights.b2, 1e-5);
            EXPECT_EQ(bary[3], 0.0f);
            const float* normal = targets[TargetNormal].Pixel(x, y);
            EXPECT_NEAR(normal[0], nx, 1e-6f);
            EXPECT_NEAR(normal[2], nz, 1e-6f);
            EXPECT_EQ(normal[3], 1.0f);
            const float* geometric = targets[TargetGeoNormal].Pixel(x, y);
            EXPECT_NEAR(geometric[0], nx, 1e-6f);
            const unsigned* ids = targets[TargetIntegers].PixelUint(x, y);
            ASSERT_EQ(ids[0], 0u);
            ASSERT_EQ(ids[1], 0u);
            ASSERT_EQ(ids[2], unsigned(triangle)) << x << ", " << y;
            ASSERT_EQ(ids[3], 0u);
        }
    // The quad spans 512 x 256 texels.
    EXPECT_EQ(covered, 512 * 256);
    EXPECT_GT(checked, 512 * 256 * 9 / 10);
}

TEST_F(HardwareBakerTest, TilesOfAnEightByEightSplitMatchTheWholeRender) {
    // A disc of 24 wedges. A tile stretches the triangles eight times, which moves the
    // rasteriser's fixed-point edges by a fraction of a subpixel: only a texel whose centre lies
    // that close to an edge may change hands.
    Scene scene;
    std::vector<Vec3> positions;
    std::vector<Vec2> uvs;
    std::vector<std::pair<Vec2, Vec2>> edges;
    const Vec2 centre{0.5f, 0.5f};
    auto rim = [](int i) {
        const double angle = 2.0 * std::numbers::pi * i / 24.0;
        return Vec2{float(0.5 + 0.47 * std::cos(angle)), float(0.5 + 0.47 * std::sin(angle))};
    };
    for (int i = 0; i < 24; ++i) {
        const Vec2 p0 = rim(i), p1 = rim(i + 1);
        for (const Vec2 uv : {centre, p0, p1}) {
            uvs.push_back(uv);
            positions.push_back({uv.x * 3.0f, uv.y * uv.y, float(i)});
        }
        edges.push_back({centre, p0});
        edges.push_back({p0, p1});
    }
    AddCornerMesh(scene, positions, uvs);
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);

    // Distance in texels from a texel centre to the nearest triangle edge.
    auto edgeDistance = [&](int x, int y) {
        const double px = (x + 0.5) / 1024.0, py = (y + 0.5) / 1024.0;
        double best = 1e9;
        for (const auto& [a, b] : edges) {
            const double dx = b.x - a.x, dy = b.y - a.y;
            const double t = std::clamp(((px - a.x) * dx + (py - a.y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
            best = std::min(best, std::hypot(px - (a.x + t * dx), py - (a.y + t * dy)) * 1024.0);
        }
        return best;
    };

    const auto whole = RenderTargets(baker, hardware, WholeTile());
    int compared = 0, changedHands = 0;
    for (int column = 0; column < 8; ++column)
        for (int row = 0; row < 8; ++row) {
            TileRecord tile = WholeTile(128);
            tile.columns = 8;
            tile.rows = 8;
            tile.column = column;
            tile.row = row;
            const auto part = RenderTargets(baker, hardware, tile);
            for (int y = 0; y < 128; ++y)
                for (int x = 0; x < 128; ++x) {
                    const int wx = column * 128 + x, wy = row * 128 + y;
                    const unsigned* ids = part[TargetIntegers].PixelUint(x, y);
                    const unsigned* wholeIds = whole[TargetIntegers].PixelUint(wx, wy);
                    const float coverage = part[TargetPosition].Pixel(x, y)[3];
                    if (coverage != whole[TargetPosition].Pixel(wx, wy)[3] || ids[2] != wholeIds[2]) {
                        ASSERT_LT(edgeDistance(wx, wy), 0.01)
                            << "tile " << column << ", " << row << " texel " << x << ", " << y;
                        ++changedHands;
                        continue;
                    }
                    for (int target : {TargetPosition, TargetUV, TargetBarycentric, TargetNormal})
                        for (int c = 0; c < 4; ++c)
                            ASSERT_NEAR(part[target].Pixel(x, y)[c], whole[target].Pixel(wx, wy)[c], 2e-5f)
                                << "target " << target << " tile " << column << ", " << row;
                    compared += coverage > 0.0f;
                }
        }
    // Roughly the disc's area, pi * 0.47^2 of the map; a handful of edge texels at most differ.
    EXPECT_NEAR(compared, std::numbers::pi * 0.47 * 0.47 * 1024 * 1024, 1024 * 1024 * 0.01);
    EXPECT_LT(changedHands, 100);
}

TEST_F(HardwareBakerTest, UdimTileShowsItsOwnSquareOfUVSpace) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{2.25f, 1.25f}, {2.75f, 1.25f}, {2.25f, 1.75f}});
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);
    TileRecord tile = WholeTile(256);
    tile.udimColumn = 2;
    tile.udimRow = 1;
    const auto targets = RenderTargets(baker, hardware, tile);
    EXPECT_EQ(targets[TargetPosition].Pixel(70, 70)[3], 1.0f);
    EXPECT_NEAR(targets[TargetUV].Pixel(70, 70)[0], 2.0f + 70.5f / 256.0f, 1e-5f);
    EXPECT_EQ(targets[TargetPosition].Pixel(60, 60)[3], 0.0f);
    EXPECT_EQ(targets[TargetPosition].Pixel(190, 190)[3], 0.0f);

    tile.udimColumn = 1;
    const auto other = RenderTargets(baker, hardware, tile);
    EXPECT_EQ(other[TargetPosition].Pixel(70, 70)[3], 0.0f);
}

TEST_F(HardwareBakerTest, MeshesGetIdsInOrderAndTheLastDrawnWins) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
                  {{0.0f, 0.0f}, {0.5f, 0.0f}, {0.0f, 0.5f}, {0.5f, 0.0f}, {0.5f, 0.5f}, {0.0f, 0.5f}});
    AddCornerMesh(scene, {{0, 0, 5}, {1, 0, 5}, {0, 1, 5}},
                  {{0.25f, 0.25f}, {1.0f, 0.25f}, {0.25f, 1.0f}});
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);
    ASSERT_EQ(hardware.meshes.size(), 2u);
    EXPECT_EQ(hardware.meshes[1]->meshid, 1);
    EXPECT_EQ(hardware.meshes[1]->objectid, 1);

    const auto targets = RenderTargets(baker, hardware, WholeTile(512));
    const unsigned* first = targets[TargetIntegers].PixelUint(40, 40);
    EXPECT_EQ(first[0], 0u);
    EXPECT_EQ(first[1], 0u);
    EXPECT_EQ(targets[TargetUV].Pixel(40, 40)[2], 0.0f);
    // (200, 200) lies under both meshes: the second one is drawn over the first.
    const unsigned* overlap = targets[TargetIntegers].PixelUint(200, 200);
    EXPECT_EQ(overlap[0], 1u);
    EXPECT_EQ(overlap[1], 1u);
    EXPECT_EQ(overlap[2], 0u);
    EXPECT_EQ(targets[TargetUV].Pixel(200, 200)[2], 1.0f);
    EXPECT_EQ(targets[TargetPosition].Pixel(200, 200)[2], 5.0f);

    // The engine points every mesh at trace group 0 without matching names.
    hardware.meshes[1]->meshid = 0;
    const auto renumbered = RenderTargets(baker, hardware, WholeTile(512));
    EXPECT_EQ(renumbered[TargetIntegers].PixelUint(200, 200)[0], 0u);
    EXPECT_EQ(renumbered[TargetIntegers].PixelUint(200, 200)[1], 1u);
}

TEST_F(HardwareBakerTest, TangentFrameProgramsFollowTheirConventions) {
    Scene scene;
    SceneMesh* mesh = AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}},
                                    {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}});
    mesh->normals.assign(3, Vec3{0.0f, 0.0f, 2.0f});
    mesh->tangents.assign(3, Pallix::Math::Vec4{3.0f, 0.0f, 0.0f, -1.0f});
    mesh->bitangents.assign(3, Vec3{0.0f, 5.0f, 0.0f});
    // A quarter turn about z: x goes to y, y to -x.
    const float turn[12] = {0, 1, 0, -1, 0, 0, 0, 0, 1, 0, 0, 0};
    mesh->SetTransform(turn);
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);

    struct Expected {
        Vec3 normal;
        Vec3 tangent;
        Vec3 bitangent;
    };
    // World frame: normal (0, 0, 2), tangent (0, 3, 0), bitangent (-5, 0, 0), handedness -1;
    // -1 * cross(normal, tangent) = (6, 0, 0).
    const Expected expected[4] = {
        {{0, 0, 1}, {0, 1, 0}, {-5, 0, 0}},
        {{0, 0, 2}, {0, 3, 0}, {6, 0, 0}},
        {{0, 0, 2}, {0, 3, 0}, {6, 0, 0}},
        {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}},
    };
    for (int program = 0; program < 4; ++program) {
        const auto targets = RenderTargets(baker, hardware, WholeTile(64), program);
        const float* n = targets[TargetNormal].Pixel(10, 10);
        const float* t = targets[TargetTangent].Pixel(10, 10);
        const float* b = targets[TargetBitangent].Pixel(10, 10);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(n[i], expected[program].normal[i], 1e-5f) << "program " << program << " normal " << i;
            EXPECT_NEAR(t[i], expected[program].tangent[i], 1e-5f) << "program " << program << " tangent " << i;
            EXPECT_NEAR(b[i], expected[program].bitangent[i], 1e-5f) << "program " << program << " bitangent " << i;
        }
        EXPECT_EQ(t[3], -1.0f) << "program " << program;
        const float* g = targets[TargetGeoNormal].Pixel(10, 10);
        EXPECT_NEAR(g[2], 1.0f, 1e-6f) << "program " << program;
    }
}

TEST_F(HardwareBakerTest, MissingTangentsReadBackAsZerosNotNaN) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}});
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);
    for (int program = 0; program < 4; ++program) {
        const auto targets = RenderTargets(baker, hardware, WholeTile(32), program);
        const float* t = targets[TargetTangent].Pixel(5, 5);
        const float* b = targets[TargetBitangent].Pixel(5, 5);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(t[i], 0.0f) << "program " << program;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(b[i], 0.0f) << "program " << program;
        EXPECT_EQ(targets[TargetNormal].Pixel(5, 5)[2], 1.0f);
    }
}

TEST_F(HardwareBakerTest, PassesAlternateBetweenTheTwoBufferSetsEvenWhenOneWasLeftMapped) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}});
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);
    const TileRecord tile = WholeTile(64);
    ConversionResolver resolver(nullptr, &tile);
    EXPECT_EQ(baker.Render(tile, hardware, 0, &resolver), 1);
    EXPECT_EQ(baker.Render(tile, hardware, 0, &resolver), 0);
    EXPECT_EQ(baker.Render(tile, hardware, 0, &resolver), 1);

    // The set read last keeps its data while the next pass fills the other set.
    ReadbackSet images = MakeReadbackSet(64, 64);
    HardwareBaker::MappedReadback mapping(baker, 1, images);
    EXPECT_EQ(images[TargetPosition].Pixel(3, 3)[3], 1.0f);
    EXPECT_EQ(baker.Render(WholeTile(64), hardware, 0, nullptr), 0);
    EXPECT_EQ(images[TargetPosition].Pixel(3, 3)[3], 1.0f);
    mapping.Release();

    // An aborted bake that never unmapped its set does not break the next pass into it.
    baker.LockPixelBuffers(1, images);
    EXPECT_EQ(baker.Render(tile, hardware, 0, &resolver), 1);
    EXPECT_FALSE(baker.IsMapped(1));
    baker.LockPixelBuffers(1, images);
    EXPECT_EQ(images[TargetPosition].Pixel(3, 3)[3], 1.0f);
    baker.UnlockPixelBuffers(1, images);
}

TEST_F(HardwareBakerTest, FailedMappingLeavesNothingMapped) {
    OffscreenContext& context = baker.GetContext();
    // Map the fourth buffer of set 0 behind the baker's back, so its own mapping fails there.
    glBindBuffer(GL_PIXEL_PACK_BUFFER, context.PixelBuffer(0, 3));
    ASSERT_NE(glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY), nullptr);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);

    ReadbackSet images = MakeReadbackSet(64, 64);
    try {
        baker.LockPixelBuffers(0, images);
        FAIL() << "mapping should fail";
    } catch (const BakeException& e) {
        EXPECT_STREQ(e.what(), "Could not lock pixel buffers");
    }
    EXPECT_FALSE(baker.IsMapped(0));
    for (int i = 0; i < 8; ++i) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, context.PixelBuffer(0, i));
        GLint mapped = 0;
        glGetBufferParameteriv(GL_PIXEL_PACK_BUFFER, GL_BUFFER_MAPPED, &mapped);
        EXPECT_EQ(mapped, i == 3 ? GL_TRUE : GL_FALSE) << "buffer " << i;
        if (i == 3) glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    baker.LockPixelBuffers(0, images);
    EXPECT_NE(images[7].data, nullptr);
    baker.UnlockPixelBuffers(0, images);
    EXPECT_EQ(images[7].data, nullptr);
    EXPECT_FALSE(baker.IsMapped(0));
}

TEST_F(HardwareBakerTest, ATileLargerThanTheStorageGrowsItUnlessASetIsMapped) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}});
    HardwareScene hardware(&baker.GetContext());
    Upload(scene, hardware);
    OffscreenContext& context = baker.GetContext();
    ASSERT_EQ(context.GetStorageWidth(), OffscreenContext::InitialStorage);

    // The first pass of a 512 tile grows the targets; the read-back holds the whole tile.
    auto targets = RenderTargets(baker, hardware, WholeTile(512));
    EXPECT_EQ(context.GetStorageWidth(), 512);
    EXPECT_EQ(context.GetStorageHeight(), 512);
    for (int i : {10, 300, 500}) {
        EXPECT_EQ(targets[TargetPosition].Pixel(i, 5)[3], 1.0f) << i;  // below the diagonal: covered
        EXPECT_EQ(targets[TargetPosition].Pixel(i, 511 - i + 3)[3], 0.0f) << i;
    }

    // Growing while the CPU reads a set would pull the pixels from under it.
    ReadbackSet images = MakeReadbackSet(512, 512);
    HardwareBaker::MappedReadback mapping(baker, 1 - baker.Render(WholeTile(512), hardware, 0, nullptr), images);
    EXPECT_EQ(ThrownText([&] { baker.Render(WholeTile(1024), hardware, 0, nullptr); }),
              "Tile does not fit the framebuffer");
    EXPECT_EQ(context.GetStorageWidth(), 512);
    mapping.Release();
    targets = RenderTargets(baker, hardware, WholeTile(1024));
    EXPECT_EQ(context.GetStorageWidth(), 1024);
    EXPECT_EQ(targets[TargetPosition].Pixel(1000, 10)[3], 1.0f);
    EXPECT_EQ(targets[TargetPosition].Pixel(1000, 100)[3], 0.0f);
}

TEST_F(HardwareBakerTest, PassesRefuseBadArguments) {
    EXPECT_THROW(baker.GetContext().ReadPixels(0, 1025, 16), BakeException);
    EXPECT_THROW(baker.GetContext().ReadPixels(2, 16, 16), BakeException);
    // Reading back more than the targets hold so far.
    EXPECT_THROW(baker.GetContext().ReadPixels(1, OffscreenContext::InitialStorage + 1, 16), BakeException);
    EXPECT_NO_THROW(baker.GetContext().ReadPixels(1, OffscreenContext::InitialStorage, OffscreenContext::InitialStorage));
    HardwareScene hardware(&baker.GetContext());
    ReadbackSet tooLarge = MakeReadbackSet(2048, 1024);
    EXPECT_THROW(baker.LockPixelBuffers(0, tooLarge), BakeException);
    EXPECT_FALSE(baker.IsMapped(0));
    EXPECT_THROW(baker.Render(WholeTile(2048), hardware, 0, nullptr), BakeException);
    EXPECT_THROW(baker.Render(WholeTile(), hardware, 6, nullptr), BakeException);
    baker.GetContext().Unlock();
    try {
        baker.Render(WholeTile(), hardware, 0, nullptr);
        FAIL() << "a pass needs the lock";
    } catch (const BakeException& e) {
        EXPECT_STREQ(e.what(), "Context not locked");
    }
    baker.GetContext().Lock();
}
