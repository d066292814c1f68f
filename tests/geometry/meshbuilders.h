#pragma once

#include <cmath>
#include <initializer_list>

#include "geometry/scene.h"

// Small analytic meshes for the geometry tests, built through the importers' calls.
namespace MeshBuilders {

using Pallix::Bake::SceneMesh;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

struct Corner {
    Vec3 position;
    Vec3 normal;
    Vec2 uv;
};

// Adds one polygon stored per corner, with normals and UVs.
inline void AddPolygon(SceneMesh& mesh, std::initializer_list<Corner> corners) {
    mesh.BeginPolygon(nullptr);
    for (const Corner& c : corners) {
        mesh.positions.push_back(c.position);
        mesh.normals.push_back(c.normal);
        mesh.uvs.push_back(c.uv);
        mesh.AddCorner();
    }
    mesh.FinishPolygon(false);
}

// Unit cube [0,1]^3 of twelve flat-shaded triangles stored per corner (36 vertices), outward.
inline void AddFlatCube(SceneMesh& mesh) {
    struct Face {
        Vec3 origin, u, v, normal;
    };
    const Face faces[6] = {
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}},  {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
        {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},  {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, -1}},
    };
    for (const Face& f : faces) {
        const Vec3 a = f.origin, b = f.origin + f.u, c = f.origin + f.u + f.v, d = f.origin + f.v;
        AddPolygon(mesh, {{a, f.normal, {0, 0}}, {b, f.normal, {1, 0}}, {c, f.normal, {1, 1}}});
        AddPolygon(mesh, {{a, f.normal, {0, 0}}, {c, f.normal, {1, 1}}, {d, f.normal, {0, 1}}});
    }
}

// Closed UV sphere of radius 1 stored per corner, normals equal to the positions.
inline void AddSmoothSphere(SceneMesh& mesh, int rings, int segments) {
    const float pi = 3.14159265f;
    auto point = [&](int ring, int segment) {
        if (ring == 0) return Vec3{0, 0, 1};
        if (ring == rings) return Vec3{0, 0, -1};
        const float theta = pi * float(ring) / float(rings);
        const float phi = 2.0f * pi * float(segment % segments) / float(segments);
        return Vec3{std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
    };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const Vec3 a = point(r, s), b = point(r + 1, s), c = point(r + 1, s + 1), d = point(r, s + 1);
            if (r != rings - 1) AddPolygon(mesh, {{a, a, {}}, {b, b, {}}, {c, c, {}}});
            if (r != 0) AddPolygon(mesh, {{a, a, {}}, {c, c, {}}, {d, d, {}}});
        }
}

}  // namespace MeshBuilders
