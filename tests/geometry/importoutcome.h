#pragma once

#include <exception>
#include <string>
#include <vector>

#include "geometry/scene.h"

// What an import leaves, for comparing one way of reading a file with another: its refusal,
// what it printed and its last mesh, array by array, with the state of the last polygon begun.
struct ImportOutcome {
    std::string refusal, printed;
    std::vector<Pallix::Math::Vec3> positions, normals;
    std::vector<Pallix::Bake::Colour32> colours;
    std::vector<uint32_t> indices;
    std::vector<int> materials;
    std::vector<int> polygon;
    bool operator==(const ImportOutcome&) const = default;
};

// Runs import(scene) on a scene that wants normals and records the outcome; capture() ends the
// capture of the output the importer writes to and returns it.
template <class Import, class Capture>
ImportOutcome RecordImport(const Import& import, const Capture& capture) {
    ImportOutcome outcome;
    Pallix::Bake::Scene scene(Pallix::Bake::NeedNormals);
    try {
        import(scene);
    } catch (const std::exception& e) {
        outcome.refusal = e.what();
    }
    outcome.printed = capture();
    const Pallix::Bake::SceneMesh& mesh = *scene.meshes.back();
    outcome.positions = mesh.positions;
    outcome.normals = mesh.normals;
    outcome.colours = mesh.colours;
    outcome.indices = mesh.indices;
    outcome.materials = mesh.triangleMaterials;
    outcome.polygon = {mesh.firstVertex, mesh.cornerCount, mesh.fanCount, mesh.firstIndex, mesh.material};
    return outcome;
}
