#pragma once

#include <vector>

#include "core/image.h"

namespace Pallix::Bake {

// Render targets of the texture-space pass, in attachment order.
enum RenderTarget : int {
    TargetPosition = 0,     // world position, coverage in w
    TargetNormal = 1,       // interpolated normal
    TargetUV = 2,           // u, v, mesh id as float
    TargetTangent = 3,      // tangent, handedness in w
    TargetGeoNormal = 4,    // geometric normal
    TargetBitangent = 5,    // bitangent
    TargetBarycentric = 6,  // barycentric weights
    TargetIntegers = 7,     // mesh id, object id, triangle id, 0 as unsigned integers
    RenderTargetCount = 8,
};

// One image per render target, each tileWidth x tileHeight. Headers made by MakeReadbackSet
// point at mapped GPU memory once locked; tests may use owning images instead.
using ReadbackSet = std::vector<Image>;
ReadbackSet MakeReadbackSet(int tileWidth, int tileHeight);

}  // namespace Pallix::Bake
