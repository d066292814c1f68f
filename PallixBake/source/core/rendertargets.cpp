#include "core/rendertargets.h"

namespace Pallix::Bake {

ReadbackSet MakeReadbackSet(int tileWidth, int tileHeight) {
    ReadbackSet set;
    set.reserve(RenderTargetCount);
    for (int i = 0; i < RenderTargetCount; ++i) set.push_back(Image::Header(tileWidth, tileHeight));
    return set;
}

}  // namespace Pallix::Bake
