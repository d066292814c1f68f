#include "bake/projectionmaskbaker.h"

#include <cmath>

#include "geometry/scene.h"

namespace Pallix::Bake {

void ProjectionMaskBaker::ProjectionMaskShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    const float x = GetHardEdgeDistance(sample);
    // Non-finite low-poly positions make the measure undefined: such a texel is not near an edge.
    const float value = std::isfinite(x) ? x : 0.0f;
    out[0] = out[1] = out[2] = value;
    out[3] = 1.0f;
}

void ProjectionMaskBaker::Init() {
    SingleMapBaker::Init();
    shader = MakeTraceShader<ProjectionMaskShader>();
}

int ProjectionMaskBaker::GetLowPolyRequirements(int flags) const {
    return MapBaker::GetLowPolyRequirements(flags | NeedHardVertices | NeedHardEdges);
}

}  // namespace Pallix::Bake
