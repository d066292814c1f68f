#pragma once

#include <cstddef>
#include <cstdint>

#include "bake/softwarebaker.h"
#include "geometry/scene.h"
#include "trace/traceray.h"

namespace Pallix::Bake {

// A point on a triangle as the per-vertex arrays see it: the three corner vertices and the
// weights of the second and third corner.
struct SurfacePoint {
    uint32_t vertex[3] = {0, 0, 0};
    float u = 0.0f;
    float v = 0.0f;

    // Written as the first corner's value plus the weighted differences, so that equal corner
    // values come back exactly, whatever rounding the weights carry.
    float Interpolate(float a0, float a1, float a2) const { return a0 + u * (a1 - a0) + v * (a2 - a0); }

    // The corners of a high-poly hit; false when one of them lies beyond an array of count entries.
    static bool AtHit(const TraceHit& hit, size_t count, SurfacePoint* point) {
        if (!hit.triangle) return false;
        const MeshTriangle& t = *hit.triangle;
        if (t.vertex0 < 0 || t.vertex1 < 0 || t.vertex2 < 0) return false;
        *point = {{uint32_t(t.vertex0), uint32_t(t.vertex1), uint32_t(t.vertex2)}, hit.u, hit.v};
        return point->vertex[0] < count && point->vertex[1] < count && point->vertex[2] < count;
    }

    // The corners of the sample's own low-poly triangle, weighted by the sample's barycentric
    // coordinates; false without a mesh or when a corner lies beyond an array of count entries.
    static bool AtSample(const TraceSample& sample, size_t count, SurfacePoint* point) {
        const SceneMesh* mesh = sample.mesh;
        if (!mesh) return false;
        const size_t first = size_t(3) * sample.polyId;
        if (first + 3 > mesh->indices.size()) return false;
        for (int j = 0; j < 3; ++j) {
            point->vertex[j] = mesh->indices[first + size_t(j)];
            if (point->vertex[j] >= count) return false;
        }
        point->u = sample.barycentric[1];
        point->v = sample.barycentric[2];
        return true;
    }
};

}  // namespace Pallix::Bake
