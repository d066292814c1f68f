#pragma once

#include <cstddef>
#include <memory>

#include "io/sceneimporter.h"

namespace Pallix::Bake {

class PlyReader;

// Reads a PLY polygon file (ASCII or binary) into one scene mesh named "object" with the
// material "unsupported". Unlike the other importers it keeps the file's vertex sharing: the
// mesh's vertices are the "vertex" records with their colours (white without them) and the
// faces are fanned into triangles over their own indices. Normals are rebuilt flat over the
// whole scene when the scene asks for normals. Every refusal is an ImportException naming the file.
class PLYImporter : public SceneImporter {
public:
    void Import(const char* path, Scene* scene) override;
    // The same for PLY data held in memory; name stands for the file in messages.
    void ImportData(const char* data, size_t size, const char* name, Scene* scene);

private:
    void Read(PlyReader& reader, Scene* scene);
};

}  // namespace Pallix::Bake
