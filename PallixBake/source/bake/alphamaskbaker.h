#pragma once

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Marks where the high-poly surface was found: white and opaque on a hit, transparent black on a
// miss. Samples are averaged covered or not, so mask edges come out soft.
class AlphaMaskBaker : public SingleMapBaker {
public:
    class AlphaMaskShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_alpha"; }
    bool UseAlphaResolve() const override { return false; }
};

}  // namespace Pallix::Bake
