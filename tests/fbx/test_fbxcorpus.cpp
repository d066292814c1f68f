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
}
