#include "bake/multimapbaker.h"

#include <cstdio>

namespace Pallix::Bake {

MultiMapBaker::MultiMapBaker(BakeTimes* bakeTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : MapBaker(bakeTimes, bakeJob, mapSettings) {}

MultiMapBaker::~MultiMapBaker() = default;

void MultiMapBaker::AddShader(std::unique_ptr<SoftwareBaker::IImageShader> shader) {
    std::printf("Adding map for a shader\n");
    shaders.push_back(std::move(shader));
}

void MultiMapBaker::Init() {
    tileImages.clear();
    tileImagePointers.clear();
    outputs.clear();
    for (size_t slot = 0; slot < shaders.size(); ++slot) {
        tileImages.push_back(std::make_unique<Image>(state->tileWidth, state->tileHeight));
        tileImagePointers.push_back(tileImages.back().get());
        outputs.push_back(std::make_unique<Image>(job->width, job->height));
    }
}

int MultiMapBaker::Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) {
    return RenderTexturePass(hardware, scene, tile, 0);
}

void MultiMapBaker::BeginTiles() {
    for (auto& output : outputs) output->Fill(0, 0, 0, 0, Pool());
}

void MultiMapBaker::ProcessTile(const ReadbackSet& readback) {
    for (auto& tile : tileImages) tile->Fill(0, 0, 0, 0);
    times->StartPhase();
    for (size_t slot = 0; slot < shaders.size(); ++slot) {
        if (!shaders[slot]) continue;
        software->Render(*state, tileImages[slot].get(), readback, shaders[slot].get(), tileImagePointers.data(),
                         SlotCount());
    }
    times->traceTime += times->PhaseSeconds();
    times->StartPhase();
    for (size_t slot = 0; slot < shaders.size(); ++slot)
        ResolveTile(int(slot), outputs[slot].get(), tileImagePointers.data());
    times->resolveTime += times->PhaseSeconds();
}

void MultiMapBaker::ResolveTile(int slot, Image* output, Image** tiles) {
    SoftwareBaker::ResolveCovered(*state, output, tiles[slot]);
}

void MultiMapBaker::PostProcess() {
    for (size_t slot = 0; slot < outputs.size(); ++slot) PostProcessLayers(int(slot), outputs[slot].get());
}

void MultiMapBaker::Export() {
    // Layer files carry no tile suffix of their own; with tiling on they get the tile name so
    // that UV tiles do not overwrite each other.
    const std::string tile = job->tilingMode != TilingOff ? GetTileName() : std::string();
    std::vector<std::pair<const Image*, std::string>> files;
    for (size_t slot = 0; slot < outputs.size(); ++slot) {
        const std::string name = GetLayerNames(int(slot));
        if (!name.empty()) files.emplace_back(outputs[slot].get(), job->outputPath + name + tile);
    }
    WriteImages(files);
}

}  // namespace Pallix::Bake
