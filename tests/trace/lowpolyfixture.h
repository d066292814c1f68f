#pragma once

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "geometry/scene.h"

// Low-poly meshes for the hard-edge queries: flat-shaded triangles stored per corner, with the
// connectivity, hard flags and edge normals filled here the way the preparation passes define
// them (welded positions, edges in order of first appearance, an edge hard when open or when
// its two triangles' corner normals differ).
namespace LowPoly {

using Pallix::Bake::MeshTopology;
using Pallix::Bake::SceneMesh;
using Pallix::Math::Vec3;

struct Face {
    Vec3 a, b, c;
    Vec3 normal;  // the corners' normal
};

inline void Build(SceneMesh& mesh, const std::vector<Face>& faces) {
    for (const Face& f : faces) {
        for (const Vec3& p : {f.a, f.b, f.c}) {
            mesh.indices.push_back(uint32_t(mesh.positions.size()));
            mesh.positions.push_back(p);
            mesh.normals.push_back(f.normal);
        }
        mesh.triangleMaterials.push_back(-1);
    }
    auto topology = std::make_unique<MeshTopology>();
    MeshTopology& t = *topology;
    const int vertexCount = int(mesh.positions.size());
    const int triangleCount = vertexCount / 3;

    std::map<std::tuple<float, float, float>, int> ids;
    for (int v = 0; v < vertexCount; ++v) {
        const Vec3 p = mesh.positions[size_t(v)];
        auto [it, added] = ids.emplace(std::make_tuple(p.x, p.y, p.z), int(ids.size()));
        t.vertexPosition.push_back(it->second);
        if (added) t.positionVertexCount.push_back(0);
        ++t.positionVertexCount[size_t(it->second)];
    }
    const int positions = int(ids.size());
    int offset = 0;
    for (int p = 0; p < positions; ++p) {
        t.positionVertexOffset.push_back(offset);
        offset += t.positionVertexCount[size_t(p)];
    }
    t.positionVertex.assign(size_t(positions), -1);
    std::vector<std::vector<int>> runs(static_cast<size_t>(positions));
    for (int v = 0; v < vertexCount; ++v) {
        t.positionVertex[size_t(t.vertexPosition[size_t(v)])] = v;
        runs[size_t(t.vertexPosition[size_t(v)])].push_back(v);
    }
    for (const auto& run : runs) t.positionVertices.insert(t.positionVertices.end(), run.begin(), run.end());

    std::vector<std::vector<int>> neighbours(static_cast<size_t>(positions));
    std::map<std::pair<int, int>, int> edges;
    for (int tri = 0; tri < triangleCount; ++tri) {
        for (int j = 0; j < 3; ++j) {
            const int a = t.vertexPosition[size_t(3 * tri + j)], b = t.vertexPosition[size_t(3 * tri + (j + 1) % 3)];
            auto& run = neighbours[size_t(a)];
            if (std::find(run.begin(), run.end(), b) == run.end()) {
                run.push_back(b);
                neighbours[size_t(b)].push_back(a);
            }
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto found = edges.find(key);
            if (found == edges.end()) {
                const int id = int(edges.size());
                edges.emplace(key, id);
                t.edgePositions.insert(t.edgePositions.end(), {key.first, key.second});
                t.edgeTriangles.insert(t.edgeTriangles.end(), {tri, -1});
                t.triangleEdges.push_back(id);
            } else {
                t.edgeTriangles[size_t(2 * found->second + 1)] = tri;
                t.triangleEdges.push_back(found->second);
            }
        }
    }
    offset = 0;
    for (int p = 0; p < positions; ++p) {
        t.neighbourOffset.push_back(offset);
        t.neighbourCount.push_back(int(neighbours[size_t(p)].size()));
        offset += int(neighbours[size_t(p)].size());
        for (int q : neighbours[size_t(p)]) {
            t.neighbours.push_back(q);
            auto found = edges.find(std::make_pair(std::min(p, q), std::max(p, q)));
            t.neighbourEdges.push_back(found == edges.end() ? -1 : found->second);
        }
    }

    // Hard edges and edge normals from the corner normals.
    const int edgeCount = int(edges.size());
    mesh.hardEdges.assign(size_t(edgeCount), false);
    mesh.edgeNormals.assign(size_t(edgeCount), Vec3{});
    for (int e = 0; e < edgeCount; ++e) {
        const int t0 = t.edgeTriangles[size_t(2 * e)], t1 = t.edgeTriangles[size_t(2 * e + 1)];
        const Vec3 n0 = faces[size_t(t0)].normal;
        if (t1 < 0) {
            mesh.hardEdges[size_t(e)] = true;
            mesh.edgeNormals[size_t(e)] = n0;
            continue;
        }
        const Vec3 n1 = faces[size_t(t1)].normal;
        mesh.hardEdges[size_t(e)] = !(n0 == n1);
        mesh.edgeNormals[size_t(e)] = Pallix::Math::NormalizeFast(n0 + n1);
    }
    // A position is hard when its vertices disagree on the normal.
    std::vector<bool> hardPosition(static_cast<size_t>(positions), false);
    for (int v = 0; v < vertexCount; ++v) {
        const int p = t.vertexPosition[size_t(v)];
        const Vec3 first = mesh.normals[size_t(runs[size_t(p)].front())];
        if (!(mesh.normals[size_t(v)] == first)) hardPosition[size_t(p)] = true;
    }
    for (int v = 0; v < vertexCount; ++v) mesh.hardVertices.push_back(hardPosition[size_t(t.vertexPosition[size_t(v)])] ? 1.0f : 0.0f);

    mesh.topology = std::move(topology);
    mesh.topologyParts = 7;
}

// Flat-shaded cube [-1, 1]^3 with outward normals, two triangles per face.
inline std::vector<Face> Cube() {
    std::vector<Face> faces;
    auto quad = [&](Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3, Vec3 n) {
        faces.push_back({p0, p1, p2, n});
        faces.push_back({p0, p2, p3, n});
    };
    quad({-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}, {0, 0, 1});       // top: faces 0, 1
    quad({-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {1, -1, -1}, {0, 0, -1});  // bottom
    quad({-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}, {0, -1, 0});  // front (y = -1)
    quad({-1, 1, -1}, {-1, 1, 1}, {1, 1, 1}, {1, 1, -1}, {0, 1, 0});       // back
    quad({-1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {-1, 1, -1}, {-1, 0, 0});  // left
    quad({1, -1, -1}, {1, 1, -1}, {1, 1, 1}, {1, -1, 1}, {1, 0, 0});       // right
    return faces;
}

}  // namespace LowPoly
