#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/importexception.h"

namespace Pallix::Bake {

class Scene;

// Base of the three importers. An importer serves one Import call: the caller constructs it,
// sets the options, imports one file into a scene it owns and destroys the importer.
class SceneImporter {
public:
    virtual ~SceneImporter() = default;
    virtual void Import(const char* path, Scene* scene) = 0;

    bool triangulate = false;     // FBX only: triangulate polygons of more than three corners
    bool rejectPolygons = false;  // FBX only: refuse polygons of more than three corners
    std::string viewName;         // FBX only: "kelvorfilter" view; empty means no filtering

    // Told how many triangles the file adds to the scene once the importer has counted them and
    // before it copies them into the scene; it may throw to refuse the file before any memory is
    // taken for them. An importer that counts again tells it again, with the new count.
    std::function<void(uint64_t triangles)> sizeCheck;
    void CheckSize(uint64_t triangles) const {
        if (sizeCheck) sizeCheck(triangles);
    }
};

}  // namespace Pallix::Bake
