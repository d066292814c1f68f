#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/importexception.h"

namespace Pallix::Bake {

class Scene;

// What one file adds to a scene, as its importer counts it.
struct ImportSize {
    uint64_t triangles = 0;
    // The vertex records the importer reads: the positions and normals of an OBJ file, the
    // vertex records of a PLY file, the control points of the meshes of an FBX file.
    uint64_t vertices = 0;
    uint64_t meshes = 1;  // scene meshes it adds
};

// Base of the three importers. An importer serves one Import call: the caller constructs it,
// sets the options, imports one file into a scene it owns and destroys the importer.
class SceneImporter {
public:
    virtual ~SceneImporter() = default;
    virtual void Import(const char* path, Scene* scene) = 0;

    bool triangulate = false;     // FBX only: triangulate polygons of more than three corners
    bool rejectPolygons = false;  // FBX only: refuse polygons of more than three corners
    std::string viewName;         // FBX only: "kelvorfilter" view; empty means no filtering

    // Told what the file adds to the scene once the importer has counted it and before it copies
    // it into the scene; it may throw to refuse the file before any memory is taken for it. An
    // importer that counts again tells it again, with the new counts.
    std::function<void(const ImportSize& size)> sizeCheck;
    void CheckSize(const ImportSize& size) const {
        if (sizeCheck) sizeCheck(size);
    }
};

}  // namespace Pallix::Bake
