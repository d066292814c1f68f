#include "bake/clownmapbaker.h"

#include "geometry/scene.h"

namespace Pallix::Bake {

const SceneMaterial* LowPolyMaterial(const TraceSample& sample) {
    const SceneMesh* mesh = sample.mesh;
    if (!mesh || !mesh->scene || sample.polyId >= mesh->triangleMaterials.size()) return nullptr;
    const int id = mesh->triangleMaterials[sample.polyId];
    const auto& materials = mesh->scene->materials;
    return id >= 0 && size_t(id) < materials.size() ? materials[size_t(id)].get() : nullptr;
}

void ClownMapBaker::ClownShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    const SceneMaterial* material = nullptr;
    if (hasHighPoly) {
        TraceHit hit;
        if (Trace(sample, &hit)) material = hit.material;
    } else {
        material = LowPolyMaterial(sample);
    }
    out[0] = material ? material->r : 0.0f;
    out[1] = material ? material->g : 0.0f;
    out[2] = material ? material->b : 0.0f;
    out[3] = 1.0f;
}

void ClownMapBaker::Init() {
    SingleMapBaker::Init();
    shader = MakeTraceShader<ClownShader>();
}

}  // namespace Pallix::Bake
