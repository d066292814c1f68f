#include <algorithm>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/meshtopology.h"
#include "geometry/scene.h"
#include "meshbuilders.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

namespace {

std::vector<int32_t> Slice(const std::vector<int32_t>& values, int32_t offset, int32_t count) {
    return std::vector<int32_t>(values.begin() + offset, values.begin() + offset + count);
}

}  // namespace

TEST(MeshTopology, QuadSplitAlongItsDiagonal) {
    Scene scene;
    SceneMesh* mesh = scene.AddMesh("quad");
    mesh->positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    mesh->indices = {0, 1, 2, 3, 4, 5};
    scene.BuildTopology(7);
    const MeshTopology& t = *mesh->topology;
    EXPECT_EQ(mesh->topologyParts, 7);
    EXPECT_EQ(t.PositionCount(), 4);
    EXPECT_EQ(t.vertexPosition, (std::vector<int32_t>{0, 1, 2, 0, 2, 3}));
    EXPECT_EQ(t.positionVertex, (std::vector<int32_t>{3, 1, 4, 5}));
    EXPECT_EQ(t.positionVertices, (std::vector<int32_t>{0, 3, 1, 2, 4, 5}));
    // Edges in order of first appearance: 0-1, 1-2, 2-0 (the diagonal), 2-3, 3-0.
    ASSERT_EQ(t.EdgeCount(), 5);
    EXPECT_EQ(t.edgePositions, (std::vector<int32_t>{0, 1, 1, 2, 0, 2, 2, 3, 0, 3}));
    EXPECT_EQ(t.edgeTriangles, (std::vector<int32_t>{0, -1, 0, -1, 0, 1, 1, -1, 1, -1}));
    EXPECT_EQ(t.triangleEdges, (std::vector<int32_t>{0, 1, 2, 2, 3, 4}));
    // Runs keep the order in which their edges were first met.
    EXPECT_EQ(t.neighbourCount, (std::vector<int32_t>{3, 2, 3, 2}));
    EXPECT_EQ(Slice(t.neighbours, t.neighbourOffset[0], 3), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(Slice(t.neighbours, t.neighbourOffset[2], 3), (std::vector<int32_t>{1, 0, 3}));
    EXPECT_EQ(Slice(t.neighbourEdges, t.neighbourOffset[2], 3), (std::vector<int32_t>{1, 2, 3}));
}

TEST(MeshTopology, WeldIsExactEquality) {
    MeshTopology t;
    const float above = std::nextafter(1.0f, 2.0f);
    t.Weld({{0.0f, 1, 2}, {-0.0f, 1, 2}, {1, 1, 1}, {above, 1, 1}, {0, 1, 2}, {7, 7, 7}, {1, 1, 1}, {8, 8, 8}, {7, 7, 7}, {1, 1, 1}});
    EXPECT_EQ(t.vertexPosition, (std::vector<int32_t>{0, 0, 1, 2, 0, 3, 1, 4, 3, 1}));
    EXPECT_EQ(t.positionVertexCount, (std::vector<int32_t>{3, 3, 1, 2, 1}));
    // The position of vertices 2, 6 and 9: its representative is the last one.
    EXPECT_EQ(t.positionVertex[1], 9);
    EXPECT_EQ(Slice(t.positionVertices, t.positionVertexOffset[1], 3), (std::vector<int32_t>{2, 6, 9}));

    const float nan = std::nanf("");
    t.Weld({{nan, 0, 0}, {nan, 0, 0}, {0, 0, 0}});
    EXPECT_EQ(t.vertexPosition, (std::vector<int32_t>{0, 1, 2}));
}

TEST(MeshTopology, MatchesAPlainReferenceOnARandomSoup) {
    // Positions drawn from a small lattice, so that many corners weld and edges repeat.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(0, 3);
    std::vector<Vec3> positions(600);
    for (Vec3& p : positions) p = {float(coordinate(random)), float(coordinate(random)), 0.0f};
    std::vector<uint32_t> indices(positions.size());
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint32_t(i);
    std::shuffle(indices.begin(), indices.end(), random);
    MeshTopology t;
    t.Weld(positions);
    t.BuildVertexAdjacency(indices);
    t.BuildEdges(indices);

    // Reference: ordered containers walked the obvious way.
    std::vector<std::vector<int32_t>> runs(size_t(t.PositionCount()));
    std::vector<std::pair<int32_t, int32_t>> edges;
    std::vector<int32_t> second;
    for (size_t c = 0; c < indices.size(); ++c) {
        const int32_t a = t.vertexPosition[indices[c]];
        const int32_t b = t.vertexPosition[indices[c % 3 == 2 ? c - 2 : c + 1]];
        if (a != b && std::find(runs[a].begin(), runs[a].end(), b) == runs[a].end()) {
            runs[a].push_back(b);
            runs[b].push_back(a);
        }
        const std::pair<int32_t, int32_t> key{std::min(a, b), std::max(a, b)};
        const auto found = std::find(edges.begin(), edges.end(), key);
        const int32_t id = int32_t(found - edges.begin());
        if (found == edges.end()) {
            edges.push_back(key);
            second.push_back(-1);
            EXPECT_EQ(t.edgeTriangles[2 * size_t(id)], int32_t(c / 3));
        } else {
            second[size_t(id)] = int32_t(c / 3);
        }
        ASSERT_EQ(t.triangleEdges[c], id);
    }
    ASSERT_EQ(size_t(t.EdgeCount()), edges.size());
    for (size_t e = 0; e < edges.size(); ++e) {
        EXPECT_EQ(t.edgePositions[2 * e], edges[e].first);
        EXPECT_EQ(t.edgePositions[2 * e + 1], edges[e].second);
        EXPECT_EQ(t.edgeTriangles[2 * e + 1], second[e]);
    }
    for (int p = 0; p < t.PositionCount(); ++p) {
        ASSERT_EQ(Slice(t.neighbours, t.neighbourOffset[p], t.neighbourCount[p]), runs[size_t(p)]);
        for (int32_t i = 0; i < t.neighbourCount[p]; ++i) {
            const int32_t q = t.neighbours[size_t(t.neighbourOffset[p] + i)];
            const int32_t e = t.neighbourEdges[size_t(t.neighbourOffset[p] + i)];
            ASSERT_GE(e, 0);
            EXPECT_EQ(edges[size_t(e)], std::make_pair(std::min(p, q), std::max(p, q)));
        }
    }
}

TEST(MeshTopology, PartsAreKeptOrRebuiltAsAsked) {
    Scene scene;
    SceneMesh* empty = scene.AddMesh("no triangles");
    empty->positions = {{0, 0, 0}, {1, 0, 0}, {0, 0, 0}};
    SceneMesh* cube = scene.AddMesh("cube");
    MeshBuilders::AddFlatCube(*cube);

    scene.BuildTopology(0);
    ASSERT_NE(cube->topology, nullptr);
    EXPECT_EQ(cube->topologyParts, 0);
    EXPECT_EQ(cube->topology->PositionCount(), 0);

    scene.BuildTopology(7);
    EXPECT_EQ(empty->topology->PositionCount(), 2);
    EXPECT_TRUE(empty->topology->neighbours.empty());
    EXPECT_EQ(empty->topology->EdgeCount(), 0);
    EXPECT_EQ(cube->topology->PositionCount(), 8);
    EXPECT_EQ(cube->topology->EdgeCount(), 18);
    for (int32_t count : cube->topology->neighbourCount) EXPECT_GE(count, 3);

    const MeshTopology* kept = cube->topology.get();
    cube->EnsureTopology(3);
    EXPECT_EQ(cube->topology.get(), kept);

    // Edges asked of a mesh that has only the weld and adjacency: all three parts come back.
    cube->topology.reset();
    cube->EnsureTopology(3);
    EXPECT_EQ(cube->topologyParts, 3);
    EXPECT_TRUE(cube->topology->edgePositions.empty());
    cube->EnsureTopology(4);
    EXPECT_EQ(cube->topologyParts, 7);
    EXPECT_EQ(cube->topology->EdgeCount(), 18);
    EXPECT_EQ(cube->topology->neighbourEdges.size(), cube->topology->neighbours.size());

    // Edges without adjacency leave neighbourEdges empty.
    cube->topology.reset();
    cube->EnsureTopology(MeshTopology::PartWeld | MeshTopology::PartEdges);
    EXPECT_EQ(cube->topology->EdgeCount(), 18);
    EXPECT_TRUE(cube->topology->neighbourEdges.empty());
}

TEST(MeshTopology, DegenerateTrianglesDoNotJoinAPositionToItself) {
    MeshTopology t;
    t.Weld({{0, 0, 0}, {1, 0, 0}, {0, 0, 0}});
    const std::vector<uint32_t> indices = {0, 1, 2};
    t.BuildVertexAdjacency(indices);
    t.BuildEdges(indices);
    EXPECT_EQ(t.neighbourCount, (std::vector<int32_t>{1, 1}));
    EXPECT_EQ(t.neighbours, (std::vector<int32_t>{1, 0}));
    // Edge 0-1 is met twice (0->1 and 1->0), the self-edge 0-0 once.
    EXPECT_EQ(t.edgePositions, (std::vector<int32_t>{0, 1, 0, 0}));
    EXPECT_EQ(t.triangleEdges, (std::vector<int32_t>{0, 0, 1}));
    EXPECT_THROW(t.BuildEdges({0, 1, 3}), std::out_of_range);
}
