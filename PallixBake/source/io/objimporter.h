#pragma once

#include <cstddef>

#include "io/chunkedinput.h"
#include "io/sceneimporter.h"

namespace Pallix::Bake {

// Reads a Wavefront OBJ file into one scene mesh named "global" with the material "unsupported":
// positions, faces (one vertex per corner; polygons triangulated as FBX polygons are) and the
// "#MRGB" vertex colours of sculpting tools. Texture coordinates are only counted. When the
// scene asks for normals, corners take the file's "vn" normals, and corners without one the
// angle-weighted normals of this mesh. A face index outside the positions read so far throws
// BakeException "Invalid face in OBJ"; any other refusal is an ImportException.
//
// The file is read in chunks of whole lines on several threads: one pass counts each chunk's
// entries, one parses the positions, normals and colours into the file's lists, one the faces
// into the mesh, each chunk at the place the counts of the chunks before it give. The result,
// refusals and messages are those of reading the file line by line. A later pass that finds other
// lines than were counted, or a file whose size or date moved during the read, ends the import
// with "<file> changed while it was being read"; no pass writes beyond what the counts sized.
class OBJImporter : public SceneImporter {
public:
    void Import(const char* path, Scene* scene) override;
    // The same for OBJ text held in memory, or for any input; name stands for the file in messages.
    void ImportText(const char* text, size_t size, const char* name, Scene* scene);
    void ImportInput(const ChunkedInput& input, const char* name, Scene* scene);

    unsigned workers = 0;  // threads that read the file; 0 means one per hardware thread
    size_t chunkBytes = DefaultChunkBytes;
};

}  // namespace Pallix::Bake
