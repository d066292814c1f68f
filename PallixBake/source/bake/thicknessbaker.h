#pragma once

#include "bake/occlusionrays.h"
#include "bake/singlemapbaker.h"

namespace Pallix::Bake {

// Thickness: the same cone of rays shot into the surface, each scoring by how soon it reaches
// the far side.
class ThicknessBaker : public SingleMapBaker {
public:
    class ThicknessShader : public OcclusionShaderBase {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_thickness"; }
    bool UsesHighPoly() const override { return true; }
    bool NeedsNormals() const override { return true; }

    const ThicknessShader* Shader() const { return static_cast<const ThicknessShader*>(shader.get()); }
};

}  // namespace Pallix::Bake
