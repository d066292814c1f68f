#pragma once

#include <cstdint>
#include <vector>

#include "core/vecmath.h"

namespace Pallix::Bake {

// Connectivity of one scene mesh, built on demand in up to three parts and cached on the mesh.
// A "position" is a welded position: the class of vertices whose coordinates compare equal.
// Position ids run from 0 in order of first appearance.
struct MeshTopology {
    enum Part : int { PartWeld = 1, PartAdjacency = 2, PartEdges = 4 };

    // Part 2: vertex adjacency by position.
    std::vector<int32_t> neighbourCount;
    std::vector<int32_t> neighbourOffset;
    std::vector<int32_t> neighbours;
    // Part 1: weld.
    std::vector<int32_t> vertexPosition;
    std::vector<int32_t> positionVertex;        // highest-numbered vertex at the position
    std::vector<int32_t> positionVertexCount;
    std::vector<int32_t> positionVertexOffset;
    std::vector<int32_t> positionVertices;
    // Part 4: edges.
    std::vector<int32_t> edgeTriangles;   // two per edge; -1 for an open edge's missing side
    std::vector<int32_t> edgePositions;   // two per edge, smaller position id first
    std::vector<int32_t> neighbourEdges;  // parallel to neighbours; -1 when no such edge
    std::vector<int32_t> triangleEdges;   // triangle * 3 + j: edge from corner j to corner (j + 1) % 3

    void Clear();
    void Weld(const std::vector<Math::Vec3>& positions);
    void BuildVertexAdjacency(const std::vector<uint32_t>& indices);
    void BuildEdges(const std::vector<uint32_t>& indices);

    int PositionCount() const { return int(positionVertexCount.size()); }
    int EdgeCount() const { return int(edgePositions.size() / 2); }
};

// Gives every vertex the id of its welded position (ids in order of first appearance, as the
// weld part has them) and returns the number of positions. Coordinates compare as floats, so
// +0.0 and -0.0 weld; a vertex with a NaN coordinate equals nothing and stands alone.
int WeldPositions(const std::vector<Math::Vec3>& positions, std::vector<int32_t>& vertexPosition);

}  // namespace Pallix::Bake
