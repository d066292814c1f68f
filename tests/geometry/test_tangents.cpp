#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/scene.h"
#include "meshbuilders.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using KelvorTest::ExpectNear;
using KelvorTest::Unit;
using MeshBuilders::AddPolygon;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;
using Pallix::Math::Vec4;

namespace {

const Vec3 Up{0, 0, 1};

Vec3 Xyz(Vec4 v) { return {v.x, v.y, v.z}; }

// The unit quad as four corners (two triangles sharing corners 0 and 2 through the index list).
SceneMesh* AddQuad(Scene& scene, bool mirrorU) {
    SceneMesh* mesh = scene.AddMesh("quad");
    auto u = [&](float value) { return mirrorU ? 1.0f - value : value; };
    AddPolygon(*mesh, {{{0, 0, 0}, Up, {u(0), 0}}, {{1, 0, 0}, Up, {u(1), 0}}, {{1, 1, 0}, Up, {u(1), 1}}, {{0, 1, 0}, Up, {u(0), 1}}});
    return mesh;
}

}  // namespace

TEST(TangentFrames, FlatAndMirroredQuads) {
    for (bool mirror : {false, true}) {
        for (bool negate : {false, true}) {
            Scene scene(NeedTangents);
            SceneMesh* mesh = AddQuad(scene, mirror);
            scene.GenerateTangents(negate);
            ASSERT_EQ(mesh->tangents.size(), 4u);
            ASSERT_EQ(mesh->bitangents.size(), 4u);
            const float sign = mirror ? -1.0f : 1.0f;  // the generator's own sign
            for (size_t v = 0; v < 4; ++v) {
                SCOPED_TRACE(testing::Message() << "mirror " << mirror << " negate " << negate << " vertex " << v);
                ExpectNear(Xyz(mesh->tangents[v]), {sign, 0, 0}, 1e-6f);
                EXPECT_EQ(mesh->tangents[v].w, negate ? -sign : sign);
                ExpectNear(mesh->bitangents[v], {0, 1, 0}, 1e-6f);
            }
        }
    }
}

TEST(TangentFrames, CylinderTangentsFollowU) {
    Scene scene(NeedTangents);
    SceneMesh* mesh = scene.AddMesh("cylinder");
    const int segments = 24, rings = 3;
    const float pi = 3.14159265f;
    auto corner = [&](int s, int r) {
        const float theta = 2.0f * pi * float(s % segments) / float(segments);
        const Vec3 normal{std::cos(theta), std::sin(theta), 0};
        return MeshBuilders::Corner{{normal.x, normal.y, float(r)}, normal, {float(s) / float(segments), float(r)}};
    };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const auto a = corner(s, r), b = corner(s + 1, r), c = corner(s + 1, r + 1), d = corner(s, r + 1);
            AddPolygon(*mesh, {a, b, c});
            AddPolygon(*mesh, {a, c, d});
        }
    scene.GenerateTangents(false);
    for (size_t v = 0; v < mesh->VertexCount(); ++v) {
        const Vec3 n = mesh->normals[v];
        const Vec3 alongU{-n.y, n.x, 0};
        SCOPED_TRACE(testing::Message() << "vertex " << v);
        ExpectNear(Xyz(mesh->tangents[v]), alongU, 1e-4f);
        EXPECT_EQ(mesh->tangents[v].w, 1.0f);
        ExpectNear(mesh->bitangents[v], {0, 0, 1}, 1e-4f);
    }
}

TEST(TangentFrames, SharedCornersAverageByTheirAngles) {
    // Two triangles meet along the edge O-E with different texture-space derivatives: corner
    // frames are the angle-weighted mean of the two triangles' tangents.
    Scene scene(NeedTangents);
    SceneMesh* mesh = scene.AddMesh("fold");
    const MeshBuilders::Corner o{{0, 0, 0}, Up, {0, 0}}, e{{1, 0, 0}, Up, {1, 1}};
    AddPolygon(*mesh, {o, e, {{-1, 1, 0}, Up, {0, 1}}});
    AddPolygon(*mesh, {o, {{0, -1, 0}, Up, {1, 0}}, e});
    scene.GenerateTangents(false);
    const float pi = 3.14159265f;
    const Vec3 first = Unit({2, -1, 0}), second{0, -1, 0};
    ExpectNear(Xyz(mesh->tangents[0]), Unit(first * (0.75f * pi) + second * (0.5f * pi)), 1e-5f);
    ExpectNear(Xyz(mesh->tangents[1]), Unit(first * std::acos(2.0f / std::sqrt(5.0f)) + second * (0.25f * pi)), 1e-5f);
    ExpectNear(Xyz(mesh->tangents[2]), first, 1e-5f);  // corner of the first triangle only
    // Corners the generator shares get the very same frame.
    EXPECT_EQ(Xyz(mesh->tangents[0]), Xyz(mesh->tangents[3]));
    EXPECT_EQ(Xyz(mesh->tangents[1]), Xyz(mesh->tangents[5]));
    EXPECT_EQ(mesh->bitangents[1], mesh->bitangents[5]);
}

TEST(TangentFrames, DegenerateAndTexturelessTriangles) {
    Scene scene(NeedTangents);
    SceneMesh* mesh = scene.AddMesh("m");
    const MeshBuilders::Corner a{{0, 0, 0}, Up, {0, 0}}, b{{1, 0, 0}, Up, {1, 0}}, c{{0, 1, 0}, Up, {0, 1}};
    AddPolygon(*mesh, {a, b, c});
    // Shares B and C with the first, but its texture coordinates have no area.
    AddPolygon(*mesh, {b, {{1, 1, 0}, Up, {0.5f, 0.5f}}, c});
    // Zero area in space; its corners match corners of the first triangle.
    AddPolygon(*mesh, {b, a, a});
    // Zero area at a place no healthy corner shares.
    AddPolygon(*mesh, {{{5, 5, 0}, Up, {0, 0}}, {{5, 5, 0}, Up, {0, 0}}, {{6, 5, 0}, Up, {1, 0}}});
    scene.GenerateTangents(false);
    for (size_t v = 0; v < 3; ++v) ExpectNear(Xyz(mesh->tangents[v]), {1, 0, 0}, 1e-6f);
    // B and C of the textureless triangle join the groups of the healthy one.
    EXPECT_EQ(Xyz(mesh->tangents[3]), Xyz(mesh->tangents[1]));
    EXPECT_EQ(mesh->tangents[3].w, 1.0f);
    EXPECT_EQ(Xyz(mesh->tangents[5]), Xyz(mesh->tangents[2]));
    // Its own corner starts no group and keeps the generator's default frame.
    EXPECT_EQ(Xyz(mesh->tangents[4]), (Vec3{1, 0, 0}));
    EXPECT_EQ(mesh->tangents[4].w, -1.0f);
    // Degenerate corners copy the frames of the matching healthy corners.
    EXPECT_EQ(Xyz(mesh->tangents[6]), Xyz(mesh->tangents[1]));
    EXPECT_EQ(Xyz(mesh->tangents[7]), Xyz(mesh->tangents[0]));
    EXPECT_EQ(mesh->tangents[8].w, 1.0f);
    for (size_t v = 9; v < 12; ++v) EXPECT_EQ(mesh->tangents[v].w, -1.0f);
}

TEST(TangentFrames, SharedVerticesKeepTheLastCorner) {
    // Vertices shared through the index list, as PLY meshes store them: the second triangle
    // mirrors the texture, so its corners come in a group of their own.
    Scene scene(NeedTangents);
    SceneMesh* mesh = scene.AddMesh("shared");
    mesh->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
    mesh->normals.assign(4, Up);
    mesh->uvs = {{0, 0}, {1, 0}, {0, 1}, {0, 1}};
    mesh->indices = {0, 1, 2, 0, 3, 1};
    SceneMesh* empty = scene.AddMesh("empty");
    empty->positions = {{0, 0, 0}};
    empty->normals = {Up};
    empty->uvs = {{0, 0}};
    SceneMesh* after = scene.AddMesh("after");
    after->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    after->normals.assign(3, Up);
    after->uvs = {{0, 0}, {1, 0}, {0, 1}};
    after->indices = {0, 1, 2};
    scene.GenerateTangents(false);
    EXPECT_EQ(mesh->tangents[0].w, -1.0f);
    EXPECT_EQ(mesh->tangents[1].w, -1.0f);
    EXPECT_EQ(mesh->tangents[2].w, 1.0f);
    EXPECT_EQ(mesh->tangents[3].w, -1.0f);
    ExpectNear(mesh->bitangents[0], {0, -1, 0}, 1e-6f);
    // A mesh without triangles keeps zeroed frames; the next mesh is still processed.
    ASSERT_EQ(empty->tangents.size(), 1u);
    EXPECT_EQ(empty->tangents[0].w, 0.0f);
    ASSERT_EQ(after->tangents.size(), 3u);
    ExpectNear(Xyz(after->tangents[2]), {1, 0, 0}, 1e-6f);
}

TEST(TangentFrames, ManyCornersAtOnePointShareOneFrame) {
    // A fan of 80 triangles around the origin with a texture mapping that bends, so every
    // triangle has a tangent of its own: only a full weld of the centre corners makes their
    // frames one angle-weighted mean.
    Scene scene(NeedTangents);
    SceneMesh* mesh = scene.AddMesh("fan");
    const int count = 80;
    auto rim = [&](int k) {
        const float a = 6.2831853f * float(k % count) / float(count);
        const Vec3 p{std::cos(a), std::sin(a), 0};
        return MeshBuilders::Corner{p, Up, {p.x, p.y + 0.5f * p.x * p.x}};
    };
    const MeshBuilders::Corner centre{{0, 0, 0}, Up, {0, 0}};
    for (int k = 0; k < count; ++k) AddPolygon(*mesh, {centre, rim(k), rim(k + 1)});
    scene.GenerateTangents(false);
    for (int k = 1; k < count; ++k) ASSERT_EQ(Xyz(mesh->tangents[3 * size_t(k)]), Xyz(mesh->tangents[0])) << k;
    ExpectNear(Xyz(mesh->tangents[0]), {1, 0, 0}, 1e-3f);  // the bend cancels around the circle
    EXPECT_NE(Xyz(mesh->tangents[1]).y, 0.0f);
}
