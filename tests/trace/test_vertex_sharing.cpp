#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"
#include "trace/vertexsharing.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

// Everything a hit can read at one corner of one triangle, as bits.
struct CornerBits {
    unsigned char bytes[12 + 12 + 8 + 4 + 8];
    bool operator==(const CornerBits& other) const { return std::memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};

std::vector<CornerBits> Corners(const Mesh& mesh) {
    std::vector<CornerBits> corners;
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t v : {t.vertex0, t.vertex1, t.vertex2}) {
            CornerBits c{};
            const size_t i = size_t(v);
            std::memcpy(c.bytes, &mesh.positions[i], 12);
            if (!mesh.normals.empty()) std::memcpy(c.bytes + 12, &mesh.normals[i], 12);
            if (!mesh.uvs.empty()) std::memcpy(c.bytes + 24, &mesh.uvs[i], 8);
            if (!mesh.colours.empty()) std::memcpy(c.bytes + 32, &mesh.colours[i], 4);
            if (!mesh.neighbourDirections.empty()) std::memcpy(c.bytes + 36, &mesh.neighbourDirections[i], 8);
            corners.push_back(c);
        }
    return corners;
}

// A wavy sheet of quads stored a vertex per corner, as polygon importers leave it: every inner
// grid point is repeated by the six triangles around it.
void PerCornerSheet(Mesh& mesh, int size) {
    const auto at = [](int x, int y) { return Vec3{float(x), float(y), 0.25f * std::sin(0.3f * float(x + 2 * y))}; };
    for (int i = 0; i < size; ++i)
        for (int j = 0; j < size; ++j)
            for (const auto& [dx, dy] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}}) {
                const Vec3 p = at(i + dx, j + dy);
                mesh.positions.push_back(p);
                mesh.normals.push_back({0, 0, 1});
                mesh.neighbourDirections.push_back({p.x * 0.5f, 1.0f});
                if (mesh.positions.size() % 3 == 0) {
                    const int v = int(mesh.positions.size());
                    mesh.AddTriangle(v - 3, v - 2, v - 1, -1);
                }
            }
}

}  // namespace

TEST(VertexSharing, BitIdenticalCornersBecomeOneVertexAndEveryCornerReadsWhatItRead) {
    Mesh mesh;
    // Five triangles over six points; corners that differ in a single array, or only by the
    // sign of a zero, stay apart.
    const Vec3 p[] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {-0.0f, 0, 0}, {2, 0, 0}};
    const int corners[5][3] = {{0, 1, 2}, {1, 3, 2}, {2, 1, 0}, {4, 1, 2}, {0, 5, 1}};
    for (const auto& t : corners) {
        for (int k = 0; k < 3; ++k) {
            mesh.positions.push_back(p[t[k]]);
            mesh.normals.push_back({0, 0, 1});
            mesh.uvs.push_back({p[t[k]].x, p[t[k]].y});
            mesh.colours.push_back(PackColour(1, 2, 3, 4));
        }
        const int v = int(mesh.positions.size());
        mesh.AddTriangle(v - 3, v - 2, v - 1, -1);
    }
    mesh.uvs[3] = {0.5f, 1.0f};                 // point 1 in the second triangle: a UV seam
    mesh.normals[5] = {0, 1, 0};                // point 2 in the second triangle: a split normal
    mesh.colours[14] = PackColour(1, 2, 3, 5);  // point 1 in the last triangle
    const std::vector<CornerBits> before = Corners(mesh);

    EXPECT_EQ(ShareIdenticalVertices(mesh), 15u - 9u);
    ASSERT_EQ(mesh.positions.size(), 9u);
    EXPECT_EQ(mesh.normals.size(), 9u);
    EXPECT_EQ(mesh.uvs.size(), 9u);
    EXPECT_EQ(mesh.colours.size(), 9u);
    EXPECT_TRUE(mesh.neighbourDirections.empty());
    EXPECT_EQ(Corners(mesh), before);
    // The first of a class keeps its place in order: the first triangle is untouched, and the
    // third, which repeats it backwards, points at its vertices.
    EXPECT_EQ(std::tie(mesh.triangles[0].vertex0, mesh.triangles[0].vertex1, mesh.triangles[0].vertex2),
              std::make_tuple(0, 1, 2));
    EXPECT_EQ(std::tie(mesh.triangles[2].vertex0, mesh.triangles[2].vertex1, mesh.triangles[2].vertex2),
              std::make_tuple(2, 1, 0));
    EXPECT_EQ(mesh.triangles[3].vertex0, 6);  // -0: a vertex of its own
    EXPECT_EQ(mesh.triangles[4].vertex2, 8);  // the other colour: one of its own too

    // Nothing to share, arrays that are not parallel, or a mesh that already shares its vertices:
    // left as they are.
    const std::vector<Vec3> shared = mesh.positions;
    EXPECT_EQ(ShareIdenticalVertices(mesh), 0u);
    EXPECT_EQ(mesh.positions, shared);
    Mesh ragged;
    ragged.positions = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    ragged.normals = {{0, 0, 1}};
    ragged.AddTriangle(0, 1, 2, -1);
    EXPECT_EQ(ShareIdenticalVertices(ragged), 0u);
    EXPECT_EQ(ragged.positions.size(), 4u);
    Mesh indexed;
    indexed.positions = {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}};
    indexed.AddTriangle(0, 1, 2, -1);
    indexed.AddTriangle(0, 2, 1, -1);
    indexed.AddTriangle(1, 2, 0, -1);
    EXPECT_EQ(ShareIdenticalVertices(indexed), 0u);
}

TEST(VertexSharing, ThePoolGivesWhatOneThreadGives) {
    Mesh alone, pooled;
    PerCornerSheet(alone, 300);
    PerCornerSheet(pooled, 300);
    ASSERT_GE(alone.positions.size(), 2 * kVerticesPerPart);  // the passes run in parts
    const std::vector<CornerBits> before = Corners(alone);
    const size_t dropped = ShareIdenticalVertices(alone);
    ThreadPool pool(4);
    EXPECT_EQ(ShareIdenticalVertices(pooled, &pool), dropped);
    EXPECT_EQ(alone.positions.size(), size_t(301 * 301));  // one vertex per grid point
    EXPECT_EQ(pooled.positions, alone.positions);
    EXPECT_EQ(pooled.normals, alone.normals);
    EXPECT_EQ(Corners(pooled), before);
    for (size_t k = 0; k < alone.triangles.size(); ++k) {
        ASSERT_EQ(pooled.triangles[k].vertex0, alone.triangles[k].vertex0) << k;
        ASSERT_EQ(pooled.triangles[k].vertex1, alone.triangles[k].vertex1) << k;
        ASSERT_EQ(pooled.triangles[k].vertex2, alone.triangles[k].vertex2) << k;
    }
}

TEST(VertexSharing, TraceMeshesOfPerCornerMeshesShareTheirVertices) {
    // The assembly shares them on both of its ways: a mesh handed over and meshes copied.
    for (const bool twoMeshes : {false, true}) {
        Scene scene(NeedNormals);
        for (int m = 0; m < (twoMeshes ? 2 : 1); ++m) {
            SceneMesh* mesh = scene.AddMesh("part" + std::to_string(m));
            for (int i = 0; i < 20; ++i)
                for (const Vec3& p : {Vec3{0, float(m), 0}, Vec3{1, float(m), 0}, Vec3{0.5f, float(m) + 1, float(i)}}) {
                    mesh->positions.push_back(p);
                    mesh->normals.push_back({0, 0, 1});
                    mesh->indices.push_back(uint32_t(mesh->indices.size()));
                }
            mesh->triangleMaterials.assign(20, -1);
        }
        std::vector<std::unique_ptr<SWTraceMesh>> built;
        BuildTraceMeshes(scene, nullptr, nullptr, built);
        ASSERT_EQ(built.size(), 1u);
        // Two shared corners and one of its own per triangle, per mesh.
        EXPECT_EQ(built[0]->positions.size(), (twoMeshes ? 2u : 1u) * 22u);
        EXPECT_EQ(built[0]->triangles.size(), (twoMeshes ? 40u : 20u));
    }
}
