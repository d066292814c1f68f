#pragma once

#include <cfloat>

#include "bake/singlemapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Bakes the two per-vertex curvature values of the surface found (how far the neighbours lie
// below and above the tangent plane), normalised by their largest value over every UV tile of
// the map. Writes the packed map and one grey map per channel.
class CurvatureMapBaker : public SingleMapBaker {
public:
    class CurvatureShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using SingleMapBaker::SingleMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_curvature_packed"; }
    bool NeedsNormals() const override { return true; }
    bool NeedsNeighbourDirections() const override { return true; }
    bool NeedsRangePass() const override { return true; }
    void PostProcess() override;
    void PostProcessRange() override;
    void FinishPostProcess() override;
    void Export() override;

    // Widened by every UV tile of the map (RGBA).
    float rangeMin[4] = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    float rangeMax[4] = {-FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX};
};

}  // namespace Pallix::Bake
