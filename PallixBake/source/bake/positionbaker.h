#pragma once

#include <cfloat>

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"
#include "core/vecmath.h"

namespace Pallix::Bake {

// Writes the world-space position of the surface found, in the meshes' own coordinates (the
// shader adds back the origin that every scene was moved away from); optionally normalised over
// every UV tile of the map and reduced to one axis.
class PositionBaker : public SingleMapBaker {
public:
    class PositionShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;

        Math::Vec3 origin;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_worldposition"; }
    bool NeedsRangePass() const override { return normalize; }
    void PostProcess() override;
    void PostProcessRange() override;
    void FinishPostProcess() override;

    float rangeMin[4] = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    float rangeMax[4] = {-FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX};
    bool normalize = false;
};

}  // namespace Pallix::Bake
