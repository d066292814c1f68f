#pragma once

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Marks the low-poly surface's hard edges: 1 on a hard edge or corner, falling to 0 at the
// job's rounding distance. No ray is traced.
class ProjectionMaskBaker : public SingleMapBaker {
public:
    class ProjectionMaskShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_hardedges"; }
    // The hard vertices and hard edges of the low-poly scene.
    int GetLowPolyRequirements(int flags) const override;
};

}  // namespace Pallix::Bake
