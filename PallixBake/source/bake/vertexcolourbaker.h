#pragma once

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Transfers the vertex colours of the surface found; every texel is opaque.
class VertexColourBaker : public SingleMapBaker {
public:
    class VertexColourShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_vcolor"; }
    bool NeedsColours() const override { return true; }
};

}  // namespace Pallix::Bake
