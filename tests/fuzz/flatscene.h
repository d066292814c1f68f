#pragma once

#include <string>

#include "geometry/scene.h"

// The refusal text and the last mesh of a scene as one string of bytes: two ways of reading the
// same input must give equal strings.
inline std::string FlatOutcome(const Pallix::Bake::Scene& scene, std::string refusal) {
    if (scene.meshes.empty()) return refusal;
    const Pallix::Bake::SceneMesh& mesh = *scene.meshes.back();
    auto append = [&refusal](const auto& array) {
        refusal.append(reinterpret_cast<const char*>(array.data()), array.size() * sizeof(array[0]));
        refusal += '|';
    };
    append(mesh.positions);
    append(mesh.normals);
    append(mesh.colours);
    append(mesh.indices);
    append(mesh.triangleMaterials);
    const int polygon[5] = {mesh.firstVertex, mesh.cornerCount, mesh.fanCount, mesh.firstIndex, mesh.material};
    refusal.append(reinterpret_cast<const char*>(polygon), sizeof polygon);
    return refusal;
}
