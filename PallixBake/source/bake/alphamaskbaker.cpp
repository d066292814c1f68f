#include "bake/alphamaskbaker.h"

namespace Pallix::Bake {

void AlphaMaskBaker::AlphaMaskShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    TraceHit hit;
    const float value = !hasHighPoly || Trace(sample, &hit) ? 1.0f : 0.0f;
    out[0] = out[1] = out[2] = out[3] = value;
}

void AlphaMaskBaker::Init() {
    SingleMapBaker::Init();
    shader = MakeTraceShader<AlphaMaskShader>();
}

}  // namespace Pallix::Bake
