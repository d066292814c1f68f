#include "fbx/fbxtesthelpers.h"

#include <unistd.h>

#include <cstring>

namespace FbxTest {

using namespace Pallix::Bake;

namespace {

std::filesystem::path ProcessDir() {
    return std::filesystem::temp_directory_path() / ("kelvor_fbx_" + std::to_string(::getpid()));
}

// Removes the files the tests wrote once the run is over.
class CleanUp : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(ProcessDir(), ignored);
    }
};

const auto* const cleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);

}  // namespace

std::filesystem::path TestDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "fbx";
    auto dir = ProcessDir() / name;
    std::filesystem::create_directories(dir);
    return dir;
}

std::unique_ptr<Scene> ImportFile(const std::string& path, int needs, const Options& options) {
    auto scene = std::make_unique<Scene>(needs);
    FBXImporter importer;
    importer.triangulate = options.triangulate;
    importer.rejectPolygons = options.rejectPolygons;
    importer.viewName = options.viewName;
    importer.Import(path.c_str(), scene.get());
    return scene;
}

std::unique_ptr<Scene> ImportScene(const SceneData& data, const Format& format, int needs, const Options& options) {
    const std::string path = (TestDir() / ("scene_" + format.Describe() + ".fbx")).string();
    WriteFile(path, WriteScene(data, format));
    return ImportFile(path, needs, options);
}

namespace {

template <typename T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace

void ExpectSameScene(const Scene& a, const Scene& b) {
    ASSERT_EQ(a.meshes.size(), b.meshes.size());
    ASSERT_EQ(a.materials.size(), b.materials.size());
    for (size_t i = 0; i < a.materials.size(); ++i) {
        EXPECT_EQ(a.materials[i]->name, b.materials[i]->name);
        EXPECT_EQ(a.materials[i]->id, b.materials[i]->id);
        EXPECT_EQ(a.materials[i]->r, b.materials[i]->r);
        EXPECT_EQ(a.materials[i]->g, b.materials[i]->g);
        EXPECT_EQ(a.materials[i]->b, b.materials[i]->b);
    }
    for (size_t i = 0; i < a.meshes.size(); ++i) {
        const SceneMesh& x = *a.meshes[i];
        const SceneMesh& y = *b.meshes[i];
        SCOPED_TRACE("mesh " + x.name);
        EXPECT_EQ(x.name, y.name);
        EXPECT_EQ(std::memcmp(x.transform, y.transform, sizeof x.transform), 0);
        EXPECT_EQ(std::memcmp(x.normalMatrix, y.normalMatrix, sizeof x.normalMatrix), 0);
        EXPECT_TRUE(SameBytes(x.positions, y.positions));
        EXPECT_TRUE(SameBytes(x.normals, y.normals));
        EXPECT_TRUE(SameBytes(x.tangents, y.tangents));
        EXPECT_TRUE(SameBytes(x.bitangents, y.bitangents));
        EXPECT_TRUE(SameBytes(x.uvs, y.uvs));
        EXPECT_TRUE(SameBytes(x.colours, y.colours));
        EXPECT_TRUE(SameBytes(x.indices, y.indices));
        EXPECT_TRUE(SameBytes(x.triangleMaterials, y.triangleMaterials));
    }
}

const SceneMesh* FindMesh(const Scene& scene, const std::string& name) {
    for (const auto& mesh : scene.meshes)
        if (mesh->name == name) return mesh.get();
    return nullptr;
}

int AddTriangleModel(SceneData& scene, const std::string& name, int parent) {
    MeshData& mesh = scene.meshes.emplace_back();
    mesh.name = name + "Mesh";
    mesh.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    mesh.polygonVertexIndex = {0, 1, ~2};
    ModelData& model = scene.models.emplace_back();
    model.name = name;
    model.parent = parent;
    model.mesh = int(scene.meshes.size()) - 1;
    return int(scene.models.size()) - 1;
}

}  // namespace FbxTest
