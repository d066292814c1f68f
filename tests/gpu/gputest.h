#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/bakeexception.h"
#include "core/image.h"
#include "geometry/scene.h"
#include "gpu/hardwarebaker.h"
#include "gpu/offscreencontext.h"

namespace Pallix::Bake::Test {

// The text of the BakeException the call throws.
inline std::string ThrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const BakeException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// A hardware baker with its programs built and the context locked on the test's thread.
class GLTest : public ::testing::Test {
protected:
    void SetUp() override {
        baker.Initialise();
        baker.GetContext().Lock();
    }
    void TearDown() override {
        if (baker.GetContext().IsLocked()) baker.GetContext().Unlock();
    }

    HardwareBaker baker;
};

// One mesh stored per corner: three vertices per triangle, indices 0, 1, 2, ...
inline SceneMesh* AddCornerMesh(Scene& scene, const std::vector<Math::Vec3>& positions,
                                const std::vector<Math::Vec2>& uvs) {
    SceneMesh* mesh = scene.AddMesh("mesh" + std::to_string(scene.meshes.size()));
    mesh->positions = positions;
    mesh->uvs = uvs;
    mesh->normals.assign(positions.size(), Math::Vec3{0.0f, 0.0f, 1.0f});
    for (uint32_t i = 0; i < positions.size(); ++i) mesh->indices.push_back(i);
    return mesh;
}

// Uploads every mesh of the scene into the hardware scene, in order.
inline void Upload(const Scene& scene, HardwareScene& target) {
    for (const auto& mesh : scene.meshes) mesh->CreateVertexBuffer(*target.AddMesh());
}

// Renders one tile and copies its eight targets out of the mapped read-back buffers.
inline std::vector<Image> RenderTargets(HardwareBaker& baker, HardwareScene& scene, const TileRecord& tile,
                                        int program = 0) {
    ConversionResolver resolver(nullptr, &tile);
    const int set = baker.Render(tile, scene, program, &resolver);
    ReadbackSet mapped = MakeReadbackSet(tile.tileWidth, tile.tileHeight);
    HardwareBaker::MappedReadback mapping(baker, set, mapped);
    std::vector<Image> copies;
    for (const Image& image : mapped) {
        copies.emplace_back(image.width, image.height);
        copies.back().CopyFrom(image);
    }
    return copies;
}

inline TileRecord WholeTile(int size = 1024) {
    TileRecord tile;
    tile.tileWidth = size;
    tile.tileHeight = size;
    return tile;
}

}  // namespace Pallix::Bake::Test
