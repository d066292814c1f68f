#include "bake/positionbaker.h"

namespace Pallix::Bake {

void PositionBaker::PositionShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    Math::Vec3 p = sample.position;
    TraceHit hit;
    if (hasHighPoly && Trace(sample, &hit) && Math::IsFinite(hit.position)) p = hit.position;
    out[0] = p.x + origin.x;
    out[1] = p.y + origin.y;
    out[2] = p.z + origin.z;
    out[3] = 1.0f;
}

void PositionBaker::Init() {
    SingleMapBaker::Init();
    normalize = map->normalized;
    auto positionShader = MakeTraceShader<PositionShader>();
    positionShader->origin = origin;
    shader = std::move(positionShader);
}

void PositionBaker::PostProcessRange() { SoftwareBaker::ExtendRange(&output, rangeMin, rangeMax); }

void PositionBaker::FinishPostProcess() {
    if (normalize) {
        const float minimum[4] = {rangeMin[0], rangeMin[1], rangeMin[2], 0.0f};
        const float maximum[4] = {rangeMax[0], rangeMax[1], rangeMax[2], 1.0f};
        SoftwareBaker::NormalizeRange(&output, minimum, maximum);
    }
    // Each texel is read before it is written, so the grey copy can take the map's place.
    if (map->axis >= AxisX && map->axis <= AxisZ) SoftwareBaker::SplatChannel(&output, &output, map->axis - AxisX);
    BlurAndDilate();
}

void PositionBaker::PostProcess() {
    PostProcessRange();
    FinishPostProcess();
}

}  // namespace Pallix::Bake
