#pragma once

#include <string>

namespace Pallix::Bake {

// GLSL sources of the hardware baker: one vertex program and six fragment programs. Programs
// 0 to 3 write the texture-space targets with different normal and tangent conventions;
// 4 and 5 trace a uniform grid held in buffer textures (normals and occlusion).
struct ProgramSources {
    static constexpr int FragmentCount = 6;

    std::string vertex;
    std::string fragment[FragmentCount];

    static ProgramSources Default();
};

}  // namespace Pallix::Bake
