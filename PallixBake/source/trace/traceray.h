#pragma once

#include <cstdint>

#include "core/vecmath.h"

namespace Pallix::Bake {

struct MeshTriangle;
struct SceneMaterial;
class SWTraceMesh;

// One ray as the grid walks and the kernels read it. Distances are in units of the direction's
// length; the inverse direction is kept in double so that the slab test stays exact for tiny
// components (a zero component gives an infinity).
struct TraceRay {
    Math::Vec3 origin;
    Math::Vec3 direction;
    double inverse[3] = {0, 0, 0};
    int32_t negative[3] = {0, 0, 0};
    float maxDistance = 0.0f;
    int32_t kernel = 0;

    // Fills the inverse direction and the negative flags from the direction.
    static TraceRay Make(Math::Vec3 origin, Math::Vec3 direction, float maxDistance, int32_t kernel) {
        TraceRay ray;
        ray.origin = origin;
        ray.direction = direction;
        for (int axis = 0; axis < 3; ++axis) {
            ray.inverse[axis] = 1.0 / double(direction[axis]);
            ray.negative[axis] = ray.inverse[axis] < 0.0 ? 1 : 0;
        }
        ray.maxDistance = maxDistance;
        ray.kernel = kernel;
        return ray;
    }
};

// Closest-hit result. distance is the current limit on entry (set it to the ray's maximum) and
// the closest hit's distance on exit; u and v weigh the triangle's second and third corners.
// The grid fills triangleId, distance, u and v; TraceShader fills the pointers and the position.
struct TraceHit {
    int32_t triangleId = -1;
    const MeshTriangle* triangle = nullptr;
    const SWTraceMesh* mesh = nullptr;
    const SceneMaterial* material = nullptr;
    double distance = 0.0;
    float u = 0.0f;
    float v = 0.0f;
    Math::Vec3 position;
};

}  // namespace Pallix::Bake
