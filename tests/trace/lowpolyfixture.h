#pragma once

#include <vector>

#include "geometry/scene.h"

// Low-poly meshes for the hard-edge queries: flat-shaded triangles stored per corner, prepared
// by the scene's own passes (connectivity, hard vertices and edges, edge normals).
namespace LowPoly {

using Pallix::Bake::SceneMesh;
using Pallix::Math::Vec3;

struct Face {
    Vec3 a, b, c;
    Vec3 normal;  // the corners' normal
};

inline void Build(SceneMesh& mesh, const std::vector<Face>& faces) {
    for (const Face& f : faces) {
        mesh.BeginPolygon(nullptr);
        for (const Vec3& p : {f.a, f.b, f.c}) {
            mesh.positions.push_back(p);
            mesh.normals.push_back(f.normal);
            mesh.AddCorner();
        }
        mesh.FinishPolygon(false);
    }
    mesh.EnsureTopology(7);
    mesh.MarkHardVertices();
    mesh.MarkHardEdges();
    mesh.scene->ComputeEdgeNormals();
}

// Flat-shaded cube [-1, 1]^3 wound outwards, two triangles per face.
inline std::vector<Face> Cube() {
    std::vector<Face> faces;
    auto quad = [&](Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3, Vec3 n) {
        faces.push_back({p0, p1, p2, n});
        faces.push_back({p0, p2, p3, n});
    };
    quad({-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}, {0, 0, 1});       // top: triangle 0 covers y < x
    quad({-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {1, -1, -1}, {0, 0, -1});  // bottom
    quad({-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}, {0, -1, 0});  // front (y = -1)
    quad({-1, 1, -1}, {-1, 1, 1}, {1, 1, 1}, {1, 1, -1}, {0, 1, 0});       // back
    quad({-1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {-1, 1, -1}, {-1, 0, 0});  // left
    quad({1, -1, -1}, {1, 1, -1}, {1, 1, 1}, {1, -1, 1}, {1, 0, 0});       // right
    return faces;
}

}  // namespace LowPoly
