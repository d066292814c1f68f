#pragma once

#include <cstdint>

namespace Pallix::Bake {

// The bake manager's render state, read by every map baker through a pointer. Tile sizes
// are in super-samples; the loops change it only between tiles.
struct RenderState {
    int32_t outputWidth = 1024;
    int32_t outputHeight = 1024;
    int32_t tileWidth = 1024;
    int32_t tileHeight = 1024;
    int32_t supersampling = 1;
    int32_t tileX = 0;
    int32_t tileY = 0;
    int32_t tilesX = 1;
    int32_t tilesY = 1;
    int32_t udimColumn = 0;
    int32_t udimRow = 0;
    int32_t regionMinU = 0;
    int32_t regionMinV = 0;
    int32_t regionMaxU = 0;
    int32_t regionMaxV = 0;
    int32_t threadCount = 16;
    float sceneExtent = 1.0f;
    // The largest side of the box holding the low-poly scene and every trace mesh, without the
    // 1.0 that sceneExtent adds: lengths that must scale with the model derive from it.
    float sceneSize = 2.0f;
};

}  // namespace Pallix::Bake
