#include "bake/layeredclownmapbaker.h"

#include "bake/singlemapbaker.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

void SetTexel(Image* image, int x, int y, float r, float g, float b, float a) {
    float* texel = image->Pixel(x, y);
    texel[0] = r;
    texel[1] = g;
    texel[2] = b;
    texel[3] = a;
}

// Material names become parts of file names: a path separator (or a NUL) in a name would put
// the mask into another folder or cut its name short, so those characters become underscores.
std::string FileNamePart(const std::string& name) {
    std::string part = name;
    for (char& c : part)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    return part;
}

}  // namespace

void LayeredClownMapBaker::LayeredClownShader::Shade(float* out, const TraceSample& sample, void* userData,
                                                     int slotCount) const {
    TraceHit hit;
    if (hasHighPoly && Trace(sample, &hit) && hit.material) {
        Image** tiles = static_cast<Image**>(userData);
        if (tiles) {
            for (int slot = 1; slot < slotCount; ++slot) SetTexel(tiles[slot], sample.x, sample.y, 0, 0, 0, 1);
            const int slot = hit.material->id + 1;
            if (slot >= 1 && slot < slotCount) SetTexel(tiles[slot], sample.x, sample.y, 1, 1, 1, 1);
        }
        out[0] = hit.material->r;
        out[1] = hit.material->g;
        out[2] = hit.material->b;
        out[3] = 1.0f;
        return;
    }
    out[0] = out[1] = out[2] = out[3] = 0.0f;
}

void LayeredClownMapBaker::Init() {
    shaders.clear();
    layerNames.clear();
    AddShader(MakeTraceShader<LayeredClownShader>());
    const SWTraceMesh* first = traceMeshes && !traceMeshes->empty() ? traceMeshes->front() : nullptr;
    if (first) {
        for (const auto& material : first->materials) {
            AddShader(nullptr);
            layerNames.push_back(material->name);
        }
    }
    MultiMapBaker::Init();
}

void LayeredClownMapBaker::PostProcessLayers(int slot, Image* image) {
    if (slot == 0) {
        DilateInto(*image, job->dilation > 0 ? job->dilation : 0, Pool());
        return;
    }
    // A white layer whose alpha is the share of the texel's samples that found this material.
    static const float white[3] = {1.0f, 1.0f, 1.0f};
    SoftwareBaker::MakeLayer(image, image, white);
}

std::string LayeredClownMapBaker::GetLayerNames(int slot) {
    if (slot == 0) return "_mat";
    if (slot < 1 || size_t(slot) > layerNames.size()) return std::string();
    return "_mat_" + FileNamePart(layerNames[size_t(slot - 1)]);
}

void LayeredClownMapBaker::GetEmptyValue(float* out) const {
    out[0] = out[1] = out[2] = 0.0f;
    out[3] = 1.0f;
}

}  // namespace Pallix::Bake
