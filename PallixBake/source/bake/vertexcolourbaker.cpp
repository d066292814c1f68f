#include "bake/vertexcolourbaker.h"

#include <algorithm>
#include <vector>

#include "bake/surfacepoint.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

// Red, green and blue of the colours at the point's corners, interpolated and scaled to [0, 1].
// The division (rather than a multiplication by a rounded 1/255) makes 255 exactly 1, and the
// clamp keeps weights that stray outside the triangle from leaving [0, 1].
void InterpolateColour(const std::vector<Colour32>& colours, const SurfacePoint& point, float* out) {
    for (int channel = 0; channel < 3; ++channel) {
        const float value = point.Interpolate(float(ColourChannel(colours[point.vertex[0]], channel)),
                                              float(ColourChannel(colours[point.vertex[1]], channel)),
                                              float(ColourChannel(colours[point.vertex[2]], channel)));
        const float scaled = value / 255.0f;
        out[channel] = scaled > 0.0f ? std::min(scaled, 1.0f) : 0.0f;  // NaN weights give black
    }
}

}  // namespace

void VertexColourBaker::VertexColourShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    out[0] = out[1] = out[2] = 0.0f;
    out[3] = 1.0f;
    SurfacePoint point;
    if (hasHighPoly) {
        TraceHit hit;
        if (Trace(sample, &hit) && SurfacePoint::AtHit(hit, hit.mesh->colours.size(), &point))
            InterpolateColour(hit.mesh->colours, point, out);
    } else if (sample.mesh && SurfacePoint::AtSample(sample, sample.mesh->colours.size(), &point)) {
        InterpolateColour(sample.mesh->colours, point, out);
    }
}

void VertexColourBaker::Init() {
    SingleMapBaker::Init();
    shader = MakeTraceShader<VertexColourShader>();
}

}  // namespace Pallix::Bake
