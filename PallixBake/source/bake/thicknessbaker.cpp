#include "bake/thicknessbaker.h"

#include "trace/swtracemesh.h"

namespace Pallix::Bake {

using Math::Vec3;

void ThicknessBaker::ThicknessShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    Vec3 start, normal;
    if (!FindStart(sample, &start, &normal)) {
        out[0] = out[1] = out[2] = out[3] = 1.0f;
        return;
    }
    float sum = 0.0f;
    const SWTraceMesh* group = GroupOf(sample);
    if (group && occlusionDistance > 0.0f) {
        const Rotation frame = FrameFor(sample, normal);
        const Vec3* directions = rays.Directions();
        const int count = rays.Count();
        const float inverseDistance = 1.0f / occlusionDistance;
        for (int i = 0; i < count; ++i) {
            const Vec3 d = frame * directions[i];
            TraceHit hit;
            hit.distance = occlusionDistance;
            if (group->grid.Intersect(TraceRay::Make(start - d * rayOffset, -d, occlusionDistance, kernel), &hit))
                sum += 1.0f - float(hit.distance) * inverseDistance;
        }
    }
    const float v = sum / float(rays.Count());
    out[0] = out[1] = out[2] = v;
    out[3] = 1.0f;
}

void ThicknessBaker::Init() {
    SingleMapBaker::Init();
    auto thickness = MakeTraceShader<ThicknessShader>();
    thickness->Configure(*map, state->sceneExtent, state->sceneSize);
    thickness->PrepareTile(state->tileWidth, state->tileHeight, software ? software->GetPool() : nullptr);
    shader = std::move(thickness);
}

}  // namespace Pallix::Bake
