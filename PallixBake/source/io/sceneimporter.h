#pragma once

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
};

}  // namespace Pallix::Bake
