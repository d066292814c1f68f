#include "bake/curvaturemapbaker.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "bake/surfacepoint.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

// The two per-vertex values interpolated over the point's triangle.
Math::Vec2 Interpolate(const std::vector<Math::Vec2>& values, const SurfacePoint& point) {
    const Math::Vec2 a = values[point.vertex[0]], b = values[point.vertex[1]], c = values[point.vertex[2]];
    return {point.Interpolate(a.x, b.x, c.x), point.Interpolate(a.y, b.y, c.y)};
}

}  // namespace

void CurvatureMapBaker::CurvatureShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    Math::Vec2 c{0.0f, 0.0f};
    SurfacePoint point;
    if (hasHighPoly) {
        TraceHit hit;
        if (!Trace(sample, &hit)) {
            out[0] = out[1] = out[2] = out[3] = 0.0f;
            return;
        }
        const auto& values = hit.mesh->neighbourDirections;
        if (SurfacePoint::AtHit(hit, values.size(), &point)) c = Interpolate(values, point);
    } else if (sample.mesh && SurfacePoint::AtSample(sample, sample.mesh->neighbourDirections.size(), &point)) {
        c = Interpolate(sample.mesh->neighbourDirections, point);
    }
    // Degenerate geometry can leave the per-vertex values undefined; such a texel counts as flat
    // instead of spreading NaN through the range and the blur.
    out[0] = std::isfinite(c.x) ? c.x : 0.0f;
    out[1] = std::isfinite(c.y) ? c.y : 0.0f;
    out[2] = 0.0f;
    out[3] = 1.0f;
}

void CurvatureMapBaker::Init() {
    SingleMapBaker::Init();
    shader = MakeTraceShader<CurvatureShader>();
}

void CurvatureMapBaker::PostProcessRange() { SoftwareBaker::ExtendRange(&output, rangeMin, rangeMax); }

void CurvatureMapBaker::FinishPostProcess() {
    const float m = std::max(rangeMax[0], rangeMax[1]);
    const float s = m < 0.0001f ? 1.0f : 1.0f / m;
    const size_t count = output.PixelCount();
    for (size_t i = 0; i < count; ++i) {
        float* texel = output.data + 4 * i;
        if (!(texel[3] > 0.0f)) continue;
        const float below = s * texel[0], above = s * texel[1];
        texel[0] = 1.0f - above;
        texel[1] = below;
        texel[2] = 0.5f + 0.5f * std::max(below - above, 0.0f) - 0.5f * std::max(above - below, 0.0f);
    }
    BlurAndDilate();
}

void CurvatureMapBaker::PostProcess() {
    PostProcessRange();
    FinishPostProcess();
}

void CurvatureMapBaker::Export() {
    WriteImage(output, GetOutputName("_curvature_packed"));
    static const char* const channelSuffixes[3] = {"_concavity", "_convexity", "_curvature"};
    Image grey(output.width, output.height);
    const size_t count = output.PixelCount();
    for (int channel = 0; channel < 3; ++channel) {
        for (size_t i = 0; i < count; ++i) {
            const float* source = output.data + 4 * i;
            float* texel = grey.data + 4 * i;
            texel[0] = texel[1] = texel[2] = source[channel];
            texel[3] = source[3];
        }
        WriteImage(grey, GetOutputName(channelSuffixes[channel]));
    }
}

}  // namespace Pallix::Bake
