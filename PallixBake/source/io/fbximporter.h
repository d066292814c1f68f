#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "io/sceneimporter.h"

namespace Pallix::Bake {

class FbxScene;
struct FbxNode;
struct FbxMaterial;
struct SceneMaterial;

// Reads an FBX file (or an OBJ file, recognised by its content) into a Scene: one scene mesh per
// accepted mesh node, with its world transform, its materials and per corner the position and,
// as the Scene asks, UV, colour, normal and tangent frame.
class FBXImporter : public SceneImporter {
public:
    FBXImporter();
    ~FBXImporter() override;

    void Import(const char* path, Scene* scene) override;

private:
    // Copies of the options, taken when the node walk starts.
    struct WalkState {
        bool triangulate = false;
        bool rejectPolygons = false;
        std::string viewName;
        // Scene material of each file material met so far: nodes sharing a material look its
        // name up once, however long it is.
        std::unordered_map<const FbxMaterial*, SceneMaterial*> sceneMaterials;
    };

    // What one mesh node adds to the Scene: the corners and triangles of its polygons of three
    // corners or more.
    struct ExpandedSize {
        size_t corners = 0;
        size_t triangles = 0;
    };

    bool Load(const char* path, FbxScene& fbxScene, std::string& reason);
    // The node walk over a loaded scene, converting every accepted mesh node once the Scene is
    // known to have room for them all.
    void Convert(FbxScene& fbxScene, Scene* scene, const std::string& path);
    void ConvertNode(const FbxNode& node, ExpandedSize size, Scene* scene);

    std::unique_ptr<WalkState> walkState;
};

}  // namespace Pallix::Bake
