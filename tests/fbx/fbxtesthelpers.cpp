#include "fbx/fbxtesthelpers.h"

#include <unistd.h>

#include <cstring>
#include <stdexcept>

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

std::string SignedByteCube(const Format& format) {
    std::vector<Node> records = CubeScene().Records(format);
    for (Node& object : records[3].children) {
        if (object.name != "Geometry") continue;
        for (Node& layer : object.children)
            if (layer.name == "LayerElementMaterial") layer.children.back().values[0].type = 'c';
        Node smoothing{"LayerElementSmoothing", {Value::Int(0)}};
        smoothing.Add({"MappingInformationType", {Value::String("ByPolygon")}});
        Value flags = Value::Ints({1, 0, 1, 0, 1, 0});
        flags.type = 'c';
        smoothing.Add({"Smoothing", {flags}});
        object.Add(smoothing);
    }
    return Write(records, format);
}

std::string DamagedKeyStream() {
    std::vector<float> values(4096);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float(i % 97) * 0.25f;
    std::string stream = Deflate(std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
    stream[stream.size() / 2] ^= 0x5a;
    return stream;
}

std::vector<Node> TriangleBesideCurve(const Format& format, const std::string& keyStream) {
    SceneData data;
    AddTriangleModel(data, "tri");
    std::vector<Node> records = data.Records(format);
    Node curve{"AnimationCurve", {Value::Long(900000), Value::String(std::string("\0\1AnimCurve", 11)), Value::String("")}};
    curve.Add({"Default", {Value::Double(0)}});
    curve.Add({"KeyVer", {Value::Int(4009)}});
    curve.Add({"KeyTime", {Value::Longs(std::vector<int64_t>(4096, 46186158))}});
    curve.Add({"KeyValueFloat", {Value::Deflated('f', 4096, keyStream)}});
    curve.Add({"KeyAttrFlags", {Value::Ints({24836})}});
    records[3].Add(curve);
    return records;
}

std::string ContinuedLinesCube() {
    const SceneData cube = CubeScene();
    std::string text = WriteScene(cube, {Encoding::Ascii, 7400, false});
    const auto find = [&text](const std::string& what, size_t from = 0) {
        const size_t at = text.find(what, from);
        if (at == std::string::npos) throw std::logic_error("the cube's text has no " + what);
        return at;
    };
    // Two clips, their base64 text in one long string and in several.
    std::string base64;
    for (int i = 0; i < 6000; ++i) base64 += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i % 64];
    const std::string videos = "\tVideo: 7000, \"Video::albedo\", \"Clip\" {\n\t\tType: \"Clip\"\n\t\tContent: , \n\t\t\"" +
                               base64 + "=\"\n\t}\n\tVideo: 7001, \"Video::rough\", \"Clip\" {\n\t\tContent: ,\n\t\t\"" +
                               base64.substr(0, 76) + "\",\n\t\t\"" + base64.substr(76, 76) + "\"\n\t\t,\"AA==\"\n\t}\n";
    text.insert(find("Objects:  {\n") + 12, videos);
    // The vertices inline, and the normals array, wrapped with the comma starting a line.
    const size_t vertices = find("Vertices: *24 {");
    const size_t close = find("}", vertices);
    std::string inlineList = "Vertices: ";
    for (size_t i = 0; i < cube.meshes[0].vertices.size(); ++i) {
        if (i) inlineList += i % 5 == 0 ? "\n\t\t," : ",";
        inlineList += std::to_string(int(cube.meshes[0].vertices[i]));
    }
    text.replace(vertices, close + 1 - vertices, inlineList);
    text.replace(find(",\n", find("Normals: *")), 2, "\n\t\t\t,");
    return text;
}

}  // namespace FbxTest
