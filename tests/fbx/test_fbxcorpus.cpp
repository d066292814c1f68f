#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;
namespace fs = std::filesystem;

namespace {

// Next to this file's folder, wherever the tests run from.
fs::path CorpusDir() { return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "fbx"; }

// The seeds of the fuzz target: small scenes in every encoding, made by the test writer.
std::vector<std::pair<std::string, std::string>> Seeds() {
    std::vector<std::pair<std::string, std::string>> seeds;
    for (const Format& format : AllFormats()) seeds.emplace_back("cube_" + format.Describe() + ".fbx", WriteScene(CubeScene(), format));

    SceneData tree;
    const int root = AddTriangleModel(tree, "root");
    tree.models[root].properties = {VectorProperty("Lcl Rotation", 10, 20, 30), EnumProperty("RotationOrder", 4),
                                    BoolProperty("RotationActive", true), VectorProperty("PreRotation", 0, 90, 0),
                                    VectorProperty("RotationPivot", 1, 0, 0), UserText("kelvorfilter", "gameview")};
    const int child = AddTriangleModel(tree, "child", root);
    tree.models[child].properties = {VectorProperty("Lcl Scaling", 1, 2, 3), EnumProperty("InheritType", 2),
                                     VectorProperty("GeometricTranslation", 0, 1, 0), UserText("kelvorname", "lowA")};
    tree.materials = {{"shader", "Phong", std::array<double, 3>{1, 0, 0}, "HLSL"}};
    tree.models[child].materials = {0};
    tree.modelTemplate = {VectorProperty("Lcl Scaling", 1, 1, 1)};
    seeds.emplace_back("tree_ascii.fbx", WriteScene(tree, {Encoding::Ascii, 7400, false}));
    seeds.emplace_back("tree_binary.fbx", WriteScene(tree, {Encoding::Binary, 7500, true}));
    seeds.emplace_back("groups.obj",
                       "# low-poly\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 1\nvn 0 0 1\n"
                       "o body\nusemtl skin\nf 1/1/1 2/2/1 3/2/1 4/1/1\ng head\nf -1//1 -2//1 -3//1\n");

    // What other exporters write.
    seeds.emplace_back("signed_bytes_binary7400raw.fbx", SignedByteCube({Encoding::Binary, 7400, false}));
    seeds.emplace_back("signed_bytes_binary7500zlib.fbx", SignedByteCube({Encoding::Binary, 7500, true}));
    seeds.emplace_back("continued_lines_ascii.fbx", ContinuedLinesCube());
    SceneData bare;
    AddTriangleModel(bare, "noNormals");
    bare.meshes[0].uvs.push_back({"ByPolygonVertex", "Direct", {0, 0, 1, 0, 0, 1}, {}, 0});
    seeds.emplace_back("no_normals_binary7500zlib.fbx", WriteScene(bare, {Encoding::Binary, 7500, true}));
    seeds.emplace_back("uvs_without_normals.obj",
                       "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\ng low\nf 1/1 2/2 3/3 4/4\n");
    seeds.emplace_back("concave.obj", "v 0 0 0\nv 4 0 0\nv 4 3 0\nv 3 3 0\nv 3 1 0\nv 1 1 0\nv 1 3 0\nv 0 3 0\n"
                                      "f 6 7 8 1 2 3 4 5\n");

    // Kinds of file that once cost time or memory out of proportion to their size: instances of
    // one mesh, many materials, properties given twice, and unread arrays (a damaged one too).
    SceneData instanced;
    AddTriangleModel(instanced, "first");
    for (int i = 1; i < 4; ++i)
        instanced.models.push_back({"copy" + std::to_string(i), -1, "Mesh", 0, {}, {VectorProperty("Lcl Translation", i, 0, 0)}});
    seeds.emplace_back("instances_binary7500zlib.fbx", WriteScene(instanced, {Encoding::Binary, 7500, true}));
    SceneData painted;
    AddTriangleModel(painted, "painted");
    LayerElement byPolygon;
    byPolygon.mapping = "ByPolygon";
    byPolygon.reference = "IndexToDirect";
    byPolygon.index = {31};
    painted.meshes[0].materials = {byPolygon};
    for (int i = 0; i < 32; ++i) {
        painted.materials.push_back({"paint" + std::to_string(i), i % 2 ? "Lambert" : "Phong", std::array<double, 3>{i / 32.0, 0, 0}, ""});
        painted.models[0].materials.push_back(i);
    }
    painted.models[0].properties = {VectorProperty("Lcl Scaling", 2, 2, 2), VectorProperty("Lcl Scaling", 1, 1, 1)};
    seeds.emplace_back("materials_ascii.fbx", WriteScene(painted, {Encoding::Ascii, 7400, false}));
    const Format zlib75{Encoding::Binary, 7500, true};
    seeds.emplace_back("unread_curve_binary7500zlib.fbx", Write(TriangleBesideCurve(zlib75, DamagedKeyStream()), zlib75));
    return seeds;
}

// Seeds the importer must refuse: coordinates and transforms beyond single precision.
std::vector<std::pair<std::string, std::string>> RefusedSeeds() {
    std::vector<std::pair<std::string, std::string>> seeds;
    SceneData point;
    AddTriangleModel(point, "tri");
    point.meshes[0].vertices[4] = std::nan("");
    seeds.emplace_back("nan_vertex_binary7400raw.fbx", WriteScene(point, {}));
    point.meshes[0].vertices[4] = 1e39;
    seeds.emplace_back("beyond_float_vertex_ascii.fbx", WriteScene(point, {Encoding::Ascii, 7400, false}));
    SceneData scaled;
    AddTriangleModel(scaled, "tri");
    scaled.models[0].properties = {VectorProperty("Lcl Scaling", 1e39, 1, 1)};
    seeds.emplace_back("beyond_float_scaling_binary7400raw.fbx", WriteScene(scaled, {}));
    seeds.emplace_back("nonfinite_vertices.obj", "v 0 0 0\nv nan 0 0\nv 1e400 0 0\nv 0 1e39 0\nv 1 1 0\nf 1 4 5\n");

    // A password-protected file, a version that overflows, and a mesh array whose compressed
    // stream ends long before the count it claims.
    SceneData locked;
    AddTriangleModel(locked, "tri");
    locked.encryption = 1;
    seeds.emplace_back("password_binary7400raw.fbx", WriteScene(locked, {}));
    point.meshes[0].vertices[4] = 0;
    std::string text = WriteScene(point, {Encoding::Ascii, 7400, false});
    text.erase(text.find("\tFBXVersion: 7400\n"), 18);
    seeds.emplace_back("overflowing_version_ascii.fbx", "; FBX 7.1073741828.0" + text.substr(text.find(" project file")));
    std::string noise(600, '\0');
    uint32_t state = 1;
    for (char& byte : noise) byte = char((state = state * 1103515245u + 12345u) >> 16);
    const Format zlib75{Encoding::Binary, 7500, true};
    std::vector<Node> records = point.Records(zlib75);
    for (Node& object : records[3].children)
        if (object.name == "Geometry") object.children[0].values[0] = Value::Deflated('d', 60000, Deflate(noise));
    seeds.emplace_back("short_stream_binary7500zlib.fbx", Write(records, zlib75));
    return seeds;
}

}  // namespace

// Regenerate with KELVOR_WRITE_FBX_CORPUS=1 test_fbx --gtest_filter=FbxCorpus.*
TEST(FbxCorpus, SeedsAreCurrentAndLoad) {
    const fs::path dir = CorpusDir();
    const bool write = std::getenv("KELVOR_WRITE_FBX_CORPUS") != nullptr;
    for (const auto& [name, contents] : Seeds()) {
        const fs::path path = dir / name;
        if (write) WriteFile(path.string(), contents);
        std::ifstream file(path, std::ios::binary);
        ASSERT_TRUE(file) << "missing seed " << path;
        std::stringstream stored;
        stored << file.rdbuf();
        // Compressed seeds depend on the zlib build; they only need to load.
        if (name.find("zlib") == std::string::npos && name != "tree_binary.fbx") {
            EXPECT_EQ(stored.str(), contents) << name;
        }
        EXPECT_FALSE(ImportFile(path.string())->meshes.empty()) << name;
    }
    for (const auto& [name, contents] : RefusedSeeds()) {
        const fs::path path = dir / name;
        if (write) WriteFile(path.string(), contents);
        std::ifstream file(path, std::ios::binary);
        ASSERT_TRUE(file) << "missing seed " << path;
        std::stringstream stored;
        stored << file.rdbuf();
        if (name.find("zlib") == std::string::npos) {
            EXPECT_EQ(stored.str(), contents) << name;
        }
        testing::internal::CaptureStdout();
        EXPECT_THROW(ImportFile(path.string()), ImportException) << name;
        testing::internal::GetCapturedStdout();
    }
}
