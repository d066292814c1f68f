#pragma once

#include <cstddef>
#include <string_view>

#include "io/fbx/fbxscene.h"

namespace Pallix::Bake {

// Presents a Wavefront OBJ file as the scene an FBX file would give: one mesh node below the
// root per group or object name (faces before any name go to "default"), with the positions
// its faces use as control points, texture coordinates and normals as per-corner layer
// elements, and the materials named by usemtl. Group and object nodes carry no transform.
class ObjAdapter {
public:
    // True when the text starts (after blank and comment lines) with an OBJ statement within
    // its first RecogniseBytes.
    static constexpr size_t RecogniseBytes = 65536;
    static bool Recognise(std::string_view text);
    // Throws FbxFormatError for a malformed statement or an index outside its list.
    static void Read(std::string_view text, FbxScene& scene);
};

}  // namespace Pallix::Bake
