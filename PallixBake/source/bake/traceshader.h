#pragma once

#include <cstdint>
#include <vector>

#include "bake/softwarebaker.h"
#include "core/bakejob.h"
#include "core/vecmath.h"
#include "trace/tracegridsettings.h"
#include "trace/traceray.h"

namespace Pallix::Bake {

class SWTraceMesh;

// One trace mesh per trace group, indexed by the sample's mesh id.
using TraceMeshList = std::vector<SWTraceMesh*>;

// Base of every per-texel shader that looks at the high-poly meshes: casts the sample's search
// ray against its trace group and offers the hard-edge-aware ray direction. Every query keeps
// its state on the caller's stack, so one shader serves all row tasks at once.
class TraceShader : public SoftwareBaker::IImageShader {
public:
    // Closest high-poly hit for the sample, searched along its direction mode's direction and
    // bounded by maxDistance and the envelope. One-sided: from the outer end of the search
    // range inwards, so the outermost surface wins and distance is negative behind the sample.
    // Two-sided: the nearer of a forward and a backward ray, the forward one on a tie.
    bool Trace(const TraceSample& sample, TraceHit* hit) const;

    // The search ray's direction for the sample by directionMode (not renormalised).
    Math::Vec3 GetRayDirection(const TraceSample& sample) const;

    // Direction that blends from the edge's direction on a hard edge to the interpolated normal
    // at hardEdgeDistance from it.
    Math::Vec3 GetHardEdgeDirection(const TraceSample& sample) const;

    // 1 on a hard edge or hard corner, falling linearly to 0 at hardEdgeDistance and beyond.
    float GetHardEdgeDistance(const TraceSample& sample) const;

    int32_t twoSided = 0;
    float maxDistance = 0.0f;
    int32_t directionMode = DirectionInterpolated;
    float hardEdgeDistance = 1.0f;
    int32_t kernel = KernelPlueckerDouble;
    const TraceMeshList* traceMeshes = nullptr;
    const TraceMeshList* envelopeMeshes = nullptr;  // null without an envelope
    // False when the job has no high-poly mesh: shaders then sample the low-poly surface itself.
    bool hasHighPoly = false;
};

}  // namespace Pallix::Bake
