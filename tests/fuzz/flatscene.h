#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>

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

// Runs read(importer, scene) with an importer (OBJImporter or PLYImporter) that reads in chunks
// of chunkBytes on workers threads, and returns the refusal it ended in, empty for none. The
// refusals it may end in are the exception types given; any other escapes, so that the fuzzer
// reports it.
template <class Importer, class... Refusals, class Read>
std::string ImportRefusal(Pallix::Bake::Scene& scene, size_t chunkBytes, unsigned workers, const Read& read) {
    try {
        Importer importer;
        importer.chunkBytes = chunkBytes;
        importer.workers = workers;
        read(importer, scene);
    } catch (const std::exception& e) {
        if (!(dynamic_cast<const Refusals*>(&e) || ...)) throw;
        return e.what();
    }
    return {};
}

// What such an import leaves, refusal and mesh, as one string.
template <class Importer, class... Refusals, class Read>
std::string ChunkedOutcome(size_t chunkBytes, unsigned workers, const Read& read) {
    Pallix::Bake::Scene scene(Pallix::Bake::NeedNormals | Pallix::Bake::NeedUVsAndColours);
    std::string refusal = ImportRefusal<Importer, Refusals...>(scene, chunkBytes, workers, read);
    return FlatOutcome(scene, std::move(refusal));
}

// Whether the last mesh of a scene holds arrays that agree with each other: colours and normals
// beside every position, whole triangles, and indices of vertices that are there.
inline bool WholeMesh(const Pallix::Bake::Scene& scene) {
    if (scene.meshes.empty()) return true;
    const Pallix::Bake::SceneMesh& mesh = *scene.meshes.back();
    if (mesh.colours.size() != mesh.positions.size() || mesh.normals.size() != mesh.positions.size()) return false;
    if (mesh.indices.size() != 3 * mesh.triangleMaterials.size()) return false;
    for (uint32_t index : mesh.indices)
        if (index >= mesh.positions.size()) return false;
    return true;
}

// An import whose bytes change from one reading to the next, as a file rewritten by another
// program does, must end in a whole mesh or one of the refusals given; a mesh whose arrays
// disagree ends the process, so that the fuzzer reports it.
template <class Importer, class... Refusals, class Read>
void ExpectWholeOrRefused(size_t chunkBytes, unsigned workers, const Read& read) {
    Pallix::Bake::Scene scene(Pallix::Bake::NeedNormals | Pallix::Bake::NeedUVsAndColours);
    if (ImportRefusal<Importer, Refusals...>(scene, chunkBytes, workers, read).empty() && !WholeMesh(scene)) std::abort();
}
