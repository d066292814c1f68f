#pragma once

#include <cstddef>
#include <memory>

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
class PLYImporter : public SceneImporter {
public:
    void Import(const char* path, Scene* scene) override;
    // The same for PLY data held in memory; name stands for the file in messages.
    void ImportData(const char* data, size_t size, const char* name, Scene* scene);

private:
    void Read(PlyReader& reader, Scene* scene);
};

}  // namespace Pallix::Bake
