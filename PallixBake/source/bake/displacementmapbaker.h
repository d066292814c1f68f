#pragma once

#include <cfloat>

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Writes the distance from the low-poly surface to the high-poly surface along the search ray:
// positive outside, negative behind. With the map's normalized flag the distances of every UV
// tile of the map are mapped symmetrically into [0, 1], zero displacement at 0.5.
class DisplacementMapBaker : public SingleMapBaker {
public:
    class ScalarDisplacementShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_displacement"; }
    bool NeedsRangePass() const override { return normalize; }
    void PostProcess() override;
    void PostProcessRange() override;
    void FinishPostProcess() override;
    // Maps [-a, a] to [0, 1] on the covered texels, a the largest absolute distance seen.
    virtual void NormaliseRange();

    bool normalize = false;
    float rangeMin[4] = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    float rangeMax[4] = {-FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX};
};

}  // namespace Pallix::Bake
