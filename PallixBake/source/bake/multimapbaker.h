#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"

namespace Pallix::Bake {

// A baker with several output images, one per shader slot. A slot may have no shader of its own:
// another slot's shader writes its tile image through the list handed to Shade.
class MultiMapBaker : public MapBaker {
public:
    MultiMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
    ~MultiMapBaker() override;

    // Makes a tile image and an output image per slot; derived classes add their slots first.
    void Init() override;
    int GetImageCount() override { return int(shaders.size()) + 1; }
    int Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) override;
    void BeginTiles() override;
    void ProcessTile(const ReadbackSet& readback) override;
    void PostProcess() override;
    void Export() override;
    void SaveCache() override {}
    void LoadCache() override {}

    virtual void PostProcessLayers(int slot, Image* image) = 0;
    virtual std::string GetLayerNames(int slot) = 0;
    virtual void GetEmptyValue(float* out) const { out[0] = out[1] = out[2] = out[3] = 0.0f; }
    virtual void ResolveTile(int slot, Image* output, Image** tiles);

protected:
    // Appends a slot (the shader may be null).
    void AddShader(std::unique_ptr<SoftwareBaker::IImageShader> shader);
    int SlotCount() const { return int(shaders.size()); }

    std::vector<std::unique_ptr<Image>> tileImages;
    std::vector<Image*> tileImagePointers;  // handed to the shaders as their user data
    std::vector<std::unique_ptr<SoftwareBaker::IImageShader>> shaders;
    std::vector<std::unique_ptr<Image>> outputs;
};

}  // namespace Pallix::Bake
