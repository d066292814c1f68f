#pragma once

#include <cstddef>

#include "io/sceneimporter.h"

namespace Pallix::Bake {

class ObjTokenizer;

// Reads a Wavefront OBJ file into one scene mesh named "global" with the material "unsupported":
// positions, faces (one vertex per corner; polygons triangulated as FBX polygons are) and the
// "#MRGB" vertex colours of sculpting tools. Texture coordinates are only counted. When the
// scene asks for normals, corners take the file's "vn" normals, and corners without one the
// angle-weighted normals of this mesh. A face index outside the positions read so far throws
// BakeException "Invalid face in OBJ"; any other refusal is an ImportException.
class OBJImporter : public SceneImporter {
public:
    void Import(const char* path, Scene* scene) override;
    // The same for OBJ text held in memory; name stands for the file in messages.
    void ImportText(const char* text, size_t size, const char* name, Scene* scene);

private:
    void Read(ObjTokenizer& input, const char* name, Scene* scene);
};

}  // namespace Pallix::Bake
