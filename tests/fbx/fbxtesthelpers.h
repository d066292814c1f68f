#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "geometry/scene.h"
#include "io/fbximporter.h"
#include "support/fbxtestwriter.h"

namespace FbxTest {

constexpr int AllNeeds = Pallix::Bake::NeedNormals | Pallix::Bake::NeedTangents | Pallix::Bake::NeedUVsAndColours;

struct Options {
    bool triangulate = false;
    bool rejectPolygons = false;
    std::string viewName;
};

// A fresh folder per test under the system's temporary folder.
std::filesystem::path TestDir();

// Writes the file and imports it; import failures propagate.
std::unique_ptr<Pallix::Bake::Scene> ImportFile(const std::string& path, int needs = AllNeeds, const Options& options = {});
std::unique_ptr<Pallix::Bake::Scene> ImportScene(const SceneData& scene, const Format& format = {}, int needs = AllNeeds,
                                                 const Options& options = {});

// Every field an importer fills, compared exactly.
void ExpectSameScene(const Pallix::Bake::Scene& a, const Pallix::Bake::Scene& b);

const Pallix::Bake::SceneMesh* FindMesh(const Pallix::Bake::Scene& scene, const std::string& name);

// A model with a one-triangle mesh of its own, for transform and filter tests.
int AddTriangleModel(SceneData& scene, const std::string& name, int parent = -1);

// The cube as some exporters write it in binary: its material array, and a smoothing array
// beside it, as signed bytes ('c').
std::string SignedByteCube(const Format& format);
// A zlib stream of 4096 floats, as exporters write animation keys, with one byte damaged.
std::string DamagedKeyStream();
// Records of a one-triangle model and, beside it, an animation curve whose 4096 key values are
// the given zlib stream (binary formats only).
std::vector<Node> TriangleBesideCurve(const Format& format, const std::string& keyStream);

// The cube as ASCII text whose values continue on the next lines: embedded texture content after
// "Content: ,", and number lists wrapped with the comma at the start of the next line.
std::string ContinuedLinesCube();

}  // namespace FbxTest
