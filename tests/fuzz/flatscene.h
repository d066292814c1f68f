#pragma once

#include <cstddef>
#include <exception>
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

// What an importer (OBJImporter or PLYImporter) leaves when it reads data in chunks of
// chunkBytes on workers threads: read(importer, scene) runs the import. The refusals it may end
// in are the exception types given; any other escapes, so that the fuzzer reports it.
template <class Importer, class... Refusals, class Read>
std::string ChunkedOutcome(size_t chunkBytes, unsigned workers, const Read& read) {
    Pallix::Bake::Scene scene(Pallix::Bake::NeedNormals | Pallix::Bake::NeedUVsAndColours);
    std::string refusal;
    try {
        Importer importer;
        importer.chunkBytes = chunkBytes;
        importer.workers = workers;
        read(importer, scene);
    } catch (const std::exception& e) {
        if (!(dynamic_cast<const Refusals*>(&e) || ...)) throw;
        refusal = e.what();
    }
    return FlatOutcome(scene, refusal);
}
