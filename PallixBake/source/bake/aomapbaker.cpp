#include "bake/aomapbaker.h"

#include "trace/swtracemesh.h"

namespace Pallix::Bake {

using Math::Vec3;

void AOMapBaker::AOShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    Vec3 start, normal;
    if (!FindStart(sample, &start, &normal)) {
        out[0] = out[1] = out[2] = out[3] = 1.0f;
        return;
    }
    int hits = 0;
    const SWTraceMesh* group = GroupOf(sample);
    if (group && occlusionDistance > 0.0f) {
        const Rotation frame = FrameFor(sample, normal);
        const Vec3* directions = rays.Directions();
        const int count = rays.Count();
        for (int i = 0; i < count; ++i) {
            const Vec3 d = frame * directions[i];
            hits += group->grid.Occluded(TraceRay::Make(start + d * rayOffset, d, occlusionDistance, kernel)) ? 1 : 0;
        }
    }
    const float v = 1.0f - float(hits) / float(rays.Count());
    out[0] = out[1] = out[2] = v;
    out[3] = 1.0f;
}

void AOMapBaker::Init() {
    SingleMapBaker::Init();
    auto occlusion = MakeTraceShader<AOShader>();
    occlusion->Configure(*map, state->sceneExtent, state->sceneSize);
    occlusion->PrepareTile(state->tileWidth, state->tileHeight, software ? software->GetPool() : nullptr);
    shader = std::move(occlusion);
}

}  // namespace Pallix::Bake
