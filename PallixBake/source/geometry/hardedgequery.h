#pragma once

#include <cstdint>
#include <limits>

#include "core/vecmath.h"

namespace Pallix::Bake {

class SceneMesh;

// What the walk from a point on one low-poly triangle found among the mesh's hard edges and
// corners. Distances are in world space.
struct NearestHardEdge {
    // The mesh carries connectivity complete enough to walk its edges.
    bool connected = false;
    // Nearest hard edge reached from the triangle, -1 when none was.
    int edge = -1;
    float edgeDistance = std::numeric_limits<float>::infinity();
    // Nearest hard corner of the triangle itself; found without connectivity too.
    float cornerDistance = std::numeric_limits<float>::infinity();
    // World ends of the nearest edge, their welded position ids and where the point projects
    // onto it (0 at endA, 1 at endB, unclamped); set when edge >= 0.
    Math::Vec3 endA, endB;
    int positionA = -1, positionB = -1;
    float along = 0.0f;
};

// Searches from every hard edge of the triangle, then around every hard corner through its soft
// edges, following only hard edges that come nearer to the point. Every index read from the
// topology is checked, so missing or inconsistent connectivity only shortens the search.
NearestHardEdge FindNearestHardEdge(const SceneMesh& mesh, uint32_t triangle, Math::Vec3 point);

// Hard edges that meet at a welded position (0 without usable connectivity).
int CountHardEdgesAt(const SceneMesh& mesh, int position);

}  // namespace Pallix::Bake
