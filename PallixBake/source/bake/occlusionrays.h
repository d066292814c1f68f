#pragma once

#include <cstdint>
#include <vector>

#include "bake/traceshader.h"
#include "core/bakejob.h"
#include "core/vecmath.h"

namespace Pallix::Bake {

class SWTraceMesh;
class ThreadPool;

// The cone of ray directions shared by the occlusion and thickness shaders: Halton points over
// the +Y hemisphere kept when they lie within spread / 2 of the +Y axis. Built once per map.
class OcclusionRaySet {
public:
    // A count below 1 is taken as 1. The candidate search is bounded: when too few candidates
    // lie inside the cone (a spread of 0, or one too narrow for the search), the remaining
    // directions are the cone axis itself.
    void Build(int rayCount, float spread);

    int Count() const { return int(directions.size()); }
    // Directions found inside the cone before the search bound was reached.
    int Found() const { return found; }
    float Spread() const { return spread; }
    // 1 / sqrt(count): how far the per-texel jitter moves the cone axis per component.
    float JitterRadius() const { return jitterRadius; }
    // The largest angle by which the jitter may tilt the cone axis so that every direction stays
    // above the plane normal to the untilted axis (0 for a cone of half a turn or more).
    float MaxTilt() const { return maxTilt; }
    const Math::Vec3* Directions() const { return directions.data(); }

    // Candidate k of the search: the base-3 and base-5 radical inverses of k mapped onto the
    // half sphere y >= 0.
    static Math::Vec3 Candidate(uint32_t k);

private:
    std::vector<Math::Vec3> directions;  // unit length
    float spread = 0.0f;
    float jitterRadius = 1.0f;
    float maxTilt = 0.0f;
    int found = 0;
};

// The first three draws, each in [0, 1), of MT19937 seeded with seed: the tempered outputs
// divided by 2^32. Only the part of the generator's state that these draws read is computed.
void FirstThreeDraws(uint32_t seed, float draws[3]);
// The same for several seeds at once.
constexpr int kDrawBatch = 16;
void FirstThreeDrawsBatch(const uint32_t seeds[kDrawBatch], float draws[kDrawBatch][3]);

// The cone axis +Y jittered for the texel at (x, y) of a tile, by up to radius per component,
// normalised, and then tilted back towards +Y to at most maxTilt radians. The generator is
// seeded from the tile coordinates, so every tile repeats the pattern and the result does not
// depend on which thread shades the texel.
Math::Vec3 JitteredAxis(int x, int y, float radius, float maxTilt = 3.1415927f);
// A unit axis tilted from +Y by at most maxTilt radians: farther ones are turned back to it.
Math::Vec3 LimitTilt(Math::Vec3 axis, float maxTilt);

// Row-major 3 x 3 rotation.
struct Rotation {
    float m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    Math::Vec3 operator*(Math::Vec3 v) const {
        return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
                m[6] * v.x + m[7] * v.y + m[8] * v.z};
    }
};

// The rotation about j x n by the angle between them, taking unit j onto unit n. Parallel
// vectors give the identity; opposite ones a half turn about an axis perpendicular to j.
Rotation RotationOnto(Math::Vec3 j, Math::Vec3 n);

// Common part of the occlusion and thickness shaders: the direction set, the per-texel jitter
// and frame, and the start point of the rays.
class OcclusionShaderBase : public TraceShader {
public:
    // Ray length of the occlusion and thickness rays.
    float occlusionDistance = 1.0f;
    // How far from the surface the rays start: a fixed part of the scene size, so that a model
    // traces alike in any unit.
    float rayOffset = 0.05f;
    // The map's own setting, kept as given.
    float aoDistance = 0.0f;
    OcclusionRaySet rays;

    // Length: the map's distance when positive, cut to the scene extent; else the scene extent.
    // The ray offset is 0.025 of the scene's size (its largest side).
    void Configure(const MapSettings& map, float sceneExtent, float sceneSize);
    // Precomputes the jittered axis of every texel of a tile of this size, on the pool's
    // workers when one is given.
    void PrepareTile(int tileWidth, int tileHeight, ThreadPool* pool = nullptr);

protected:
    // Where the rays start and the surface normal there. False when the search ray finds no
    // high-poly surface: the texel is then white.
    bool FindStart(const TraceSample& sample, Math::Vec3* position, Math::Vec3* normal) const;
    // The rotation that turns the direction set onto the normal, through the texel's jitter.
    Rotation FrameFor(const TraceSample& sample, Math::Vec3 normal) const;
    // The trace group of the sample, null when there is none.
    const SWTraceMesh* GroupOf(const TraceSample& sample) const;

private:
    std::vector<Math::Vec3> tileAxes;
    int tileWidth = 0;
    int tileHeight = 0;
};

}  // namespace Pallix::Bake
