#include "bake/singlemapbaker.h"

#include <cstdio>

#include "core/bakeexception.h"

namespace Pallix::Bake {

SingleMapBaker::SingleMapBaker(BakeTimes* bakeTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : MapBaker(bakeTimes, bakeJob, mapSettings), output(bakeJob->width, bakeJob->height) {}

SingleMapBaker::~SingleMapBaker() = default;

void SingleMapBaker::Init() { tileImage = std::make_unique<Image>(state->tileWidth, state->tileHeight); }

int SingleMapBaker::Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) {
    return RenderTexturePass(hardware, scene, tile, 0);
}

// A new image's pages are not touched before this: clearing it on the pool is its first write.
void SingleMapBaker::BeginTiles() { output.Fill(0, 0, 0, 0, Pool()); }

void SingleMapBaker::ProcessTile(const ReadbackSet& readback) {
    times->StartPhase();
    software->Render(*state, tileImage.get(), readback, shader.get(), nullptr, 0);
    times->traceTime += times->PhaseSeconds();
    times->StartPhase();
    if (UseAlphaResolve())
        SoftwareBaker::ResolveCovered(*state, &output, tileImage.get());
    else
        SoftwareBaker::ResolveAverage(*state, &output, tileImage.get());
    times->resolveTime += times->PhaseSeconds();
}

int DilateInto(Image& image, int passes, ThreadPool* pool) {
    int filling = 0;
    while (filling < passes && SoftwareBaker::DilateStep(&image, &image, pool) > 0) ++filling;
    return filling;
}

void SingleMapBaker::BlurAndDilate() {
    ThreadPool* pool = Pool();
    if (UseAlphaResolve())
        SoftwareBaker::BlurCovered(&output, &output, map->blur, pool);
    else
        SoftwareBaker::Blur(&output, &output, map->blur, pool);
    DilateInto(output, job->dilation > 0 ? job->dilation : 0, pool);
}

void SingleMapBaker::PostProcess() { BlurAndDilate(); }

void SingleMapBaker::Export() { WriteImage(output, GetOutputName()); }

void SingleMapBaker::SaveCache() {
    const std::string name = GetOutputName();
    if (!WriteMifCache(name, output)) throw BakeException("Could not write cache file \"" + name + ".mif\"");
}

void SingleMapBaker::LoadCache() {
    // A missing or mismatched cache must not export the previous UV tile's pixels under this name.
    const std::string name = GetOutputName();
    if (!ReadMifCache(name, output)) throw BakeException("Could not read cache file \"" + name + ".mif\"");
    std::remove((name + ".mif").c_str());
}

}  // namespace Pallix::Bake
