#pragma once

#include <string>
#include <vector>

#include "bake/multimapbaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// The material map plus one white mask per material, written in one pass: slot 0 holds the
// colours, slot i the coverage of material i - 1.
class LayeredClownMapBaker : public MultiMapBaker {
public:
    // Writes the colour into its own slot and the masks into the other slots' tile images,
    // handed over as userData (Image**) with the slot count as userIndex.
    class LayeredClownShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    using MultiMapBaker::MultiMapBaker;
    void Init() override;
    std::string GetSuffix() const override { return "_mat"; }
    Image* GetImage() override { return outputs.empty() ? nullptr : outputs[0].get(); }
    void PostProcessLayers(int slot, Image* image) override;
    std::string GetLayerNames(int slot) override;
    void GetEmptyValue(float* out) const override;

    const std::vector<std::string>& LayerNames() const { return layerNames; }

private:
    std::vector<std::string> layerNames;
};

}  // namespace Pallix::Bake
