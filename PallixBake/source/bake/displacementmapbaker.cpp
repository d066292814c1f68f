#include "bake/displacementmapbaker.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace Pallix::Bake {

void DisplacementMapBaker::ScalarDisplacementShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    float d = 0.0f;
    TraceHit hit;
    // A distance that is not a number (a degenerate ray) is treated like a miss.
    if (hasHighPoly && Trace(sample, &hit) && std::isfinite(hit.distance)) d = float(hit.distance);
    out[0] = out[1] = out[2] = d;
    out[3] = 1.0f;
}

void DisplacementMapBaker::Init() {
    SingleMapBaker::Init();
    normalize = map->normalized;
    shader = MakeTraceShader<ScalarDisplacementShader>();
}

void DisplacementMapBaker::PostProcessRange() {
    if (normalize) SoftwareBaker::ExtendRange(&output, rangeMin, rangeMax);
}

void DisplacementMapBaker::FinishPostProcess() {
    if (normalize) NormaliseRange();
    BlurAndDilate();
}

void DisplacementMapBaker::PostProcess() {
    PostProcessRange();
    FinishPostProcess();
}

void DisplacementMapBaker::NormaliseRange() {
    const float a = std::max(std::fabs(rangeMin[0]), std::fabs(rangeMax[0]));
    // Distances within the rounding of the model's size are no displacement: stretched over the
    // whole range, their noise would make a flat map black and white, and another one on each
    // processor, whose estimates of a square root differ in the last bit.
    const float rounding = 8.0f * FLT_EPSILON * (state ? state->sceneSize : 0.0f);
    if (!(a >= FLT_MIN) || !std::isfinite(a) || a <= rounding) {
        // Nothing displaced (or nothing covered): every covered texel sits at the zero level.
        const size_t count = output.PixelCount();
        for (size_t i = 0; i < count; ++i) {
            float* texel = output.data + 4 * i;
            if (texel[3] > 0.0f) texel[0] = texel[1] = texel[2] = 0.5f;
        }
        return;
    }
    const float minimum[4] = {-a, -a, -a, 0.0f};
    const float maximum[4] = {a, a, a, 1.0f};
    SoftwareBaker::NormalizeRange(&output, minimum, maximum);
}

}  // namespace Pallix::Bake
