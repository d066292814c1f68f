#pragma once

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

struct SceneMaterial;

// Material of the low-poly triangle under a sample: the mesh's per-triangle material index
// looked up in its scene's material list; null when the triangle has none.
const SceneMaterial* LowPolyMaterial(const TraceSample& sample);

// Colours every texel with the material of the surface found there (a "clown" map).
class ClownMapBaker : public SingleMapBaker {
public:
    class ClownShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_mat"; }
};

}  // namespace Pallix::Bake
