#pragma once

#include <cstdint>
#include <memory>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Checks the bake pipeline: runs the full tile path with a shader that writes the empty value,
// writes the resulting image and prints the error totals of the eight intersection methods.
class DiagnosticMapBaker : public MapBaker {
public:
    static constexpr int MethodCount = 8;

    class DiagnosticShader : public TraceShader {
    public:
        explicit DiagnosticShader(DiagnosticMapBaker* owner) : baker(owner) {}
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;

        DiagnosticMapBaker* baker;
    };

    DiagnosticMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
    ~DiagnosticMapBaker() override;

    void Init() override;
    Image* GetImage() override { return &output; }
    int GetImageCount() override { return 1; }
    std::string GetSuffix() const override { return "_diag"; }
    int RenderTraced(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) override;
    int Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) override;
    void BeginTiles() override;
    void BakeTileDirect(const ReadbackSet& readback) override;
    void ProcessTile(const ReadbackSet& readback) override;
    void PostProcess() override {}
    void Export() override;
    void SaveCache() override {}
    void LoadCache() override {}

    std::unique_ptr<DiagnosticShader> shader;
    std::unique_ptr<Image> tileImage;
    Image output;
    Image secondOutput;
    double totalError[MethodCount] = {};
    int32_t significantErrors[MethodCount] = {};
};

}  // namespace Pallix::Bake
