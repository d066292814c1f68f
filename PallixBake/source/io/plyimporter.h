#pragma once

#include <cstddef>
#include <memory>

#include "io/chunkedinput.h"
#include "io/sceneimporter.h"

namespace Pallix::Bake {

class PlyReader;

// Reads a PLY polygon file (ASCII or binary) into one scene mesh named "object" with the
// material "unsupported". Unlike the other importers it keeps the file's vertex sharing: the
// mesh's vertices are the "vertex" records with their colours (white without them; real ones
// scaled from 0..1) and the faces ("vertex_indices" or "vertex_index") are fanned into triangles
// over their own indices. When the scene asks for normals, vertices take the file's nx, ny, nz,
// and vertices without them the angle-weighted normals of this mesh. A file without faces, like
// every other refusal, is an ImportException naming the file.
//
// The records of an element are read in runs on several threads, each into its place in the
// mesh: binary records where their sizes put them, ASCII records from the lines counted in
// chunks of the body. The result, refusals and messages are those of reading record by record.
// A later reading that finds other records than an earlier one (more or fewer, or faces of other
// sizes), or a file whose size or date moved during the read, ends the import with "<file>
// changed while it was being read"; nothing is written beyond what the counts sized.
class PLYImporter : public SceneImporter {
public:
    void Import(const char* path, Scene* scene) override;
    // The same for PLY data held in memory, or for any input; name stands for the file in messages.
    void ImportData(const char* data, size_t size, const char* name, Scene* scene);
    void ImportInput(const ChunkedInput& input, const char* name, Scene* scene);

    unsigned workers = 0;  // threads that read the file; 0 means one per hardware thread
    size_t chunkBytes = DefaultChunkBytes;

private:
    void Read(PlyReader& reader, Scene* scene);
};

}  // namespace Pallix::Bake
