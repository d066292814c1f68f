#include "bake/diagnosticmapbaker.h"

#include <cstdio>

#include "gpu/hardwarebaker.h"

namespace Pallix::Bake {

void DiagnosticMapBaker::DiagnosticShader::Shade(float* out, const TraceSample&, void*, int) const {
    GetEmptyValue(out);
}

DiagnosticMapBaker::DiagnosticMapBaker(BakeTimes* bakeTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : MapBaker(bakeTimes, bakeJob, mapSettings), output(bakeJob->width, bakeJob->height),
      secondOutput(bakeJob->width, bakeJob->height) {}

DiagnosticMapBaker::~DiagnosticMapBaker() = default;

void DiagnosticMapBaker::Init() {
    tileImage = std::make_unique<Image>(state->tileWidth, state->tileHeight);
    shader = MakeTraceShader<DiagnosticShader>(this);
}

int DiagnosticMapBaker::RenderTraced(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) {
    // The engine builds no GPU trace grid, so the tracing program runs with the tile's uniforms only.
    ConversionTraceResolver resolver(passParameters, &tile, nullptr);
    return hardware.Render(tile, scene, 4, &resolver);
}

int DiagnosticMapBaker::Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) {
    return RenderTexturePass(hardware, scene, tile, 0);
}

void DiagnosticMapBaker::BeginTiles() {
    output.Fill(0, 0, 0, 0, Pool());
    secondOutput.Fill(0, 0, 0, 0, Pool());
}

void DiagnosticMapBaker::BakeTileDirect(const ReadbackSet& readback) {
    if (readback.size() <= size_t(TargetTangent)) return;
    SoftwareBaker::ResolveCovered(*state, &output, &readback[TargetNormal]);
    SoftwareBaker::ResolveCovered(*state, &secondOutput, &readback[TargetTangent]);
}

void DiagnosticMapBaker::ProcessTile(const ReadbackSet& readback) {
    times->StartPhase();
    software->Render(*state, tileImage.get(), readback, shader.get(), nullptr, 0);
    times->traceTime += times->PhaseSeconds();
    times->StartPhase();
    SoftwareBaker::ResolveCovered(*state, &output, tileImage.get());
    times->resolveTime += times->PhaseSeconds();
}

void DiagnosticMapBaker::Export() {
    WriteImage(output, job->outputPath + "_diag");
    for (int i = 0; i < MethodCount; ++i)
        std::printf("Method %d Total error %f, significant errors %d\n", i, totalError[i], significantErrors[i]);
}

}  // namespace Pallix::Bake
