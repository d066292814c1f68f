#pragma once

#include "bake/occlusionrays.h"
#include "bake/singlemapbaker.h"

namespace Pallix::Bake {

// Ambient occlusion: the share of a cone of rays around the surface normal that leaves the
// geometry without hitting anything.
class AOMapBaker : public SingleMapBaker {
public:
    class AOShader : public OcclusionShaderBase {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_ao"; }
    bool UsesHighPoly() const override { return true; }
    bool NeedsNormals() const override { return true; }

    const AOShader* Shader() const { return static_cast<const AOShader*>(shader.get()); }
};

}  // namespace Pallix::Bake
