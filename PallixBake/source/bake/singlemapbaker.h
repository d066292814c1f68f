#pragma once

#include <memory>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"

namespace Pallix::Bake {

// A baker with one output image and one shader: the common case.
class SingleMapBaker : public MapBaker {
public:
    SingleMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
    ~SingleMapBaker() override;

    // Makes the tile image; derived classes then make their shader.
    void Init() override;
    Image* GetImage() override { return &output; }
    int GetImageCount() override { return 1; }
    int Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) override;
    // Each UV tile resolves into the same output image: start it empty.
    void BeginTiles() override;
    void ProcessTile(const ReadbackSet& readback) override;
    void PostProcess() override;
    void Export() override;
    void SaveCache() override;
    void LoadCache() override;
    virtual bool UseAlphaResolve() const { return true; }

protected:
    // Blur by the map's radius, then the job's dilation passes, result in output.
    void BlurAndDilate();

    Image output;
    std::unique_ptr<SoftwareBaker::IImageShader> shader;
    std::unique_ptr<Image> tileImage;
};

// Runs up to `passes` dilation steps on image in place, rows on the pool when there is one.
// Stops after a step that fills no texel, since every later one would leave the image as it
// is; returns the steps that filled texels.
int DilateInto(Image& image, int passes, ThreadPool* pool = nullptr);

}  // namespace Pallix::Bake
