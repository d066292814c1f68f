#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;
namespace Math = Pallix::Math;

namespace {

// Two triangles and a quad on the z = 0 plane.
MeshData ThreePolygons() {
    MeshData mesh;
    mesh.vertices = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0};
    mesh.polygonVertexIndex = {0, 1, ~2, 0, 2, ~3, 1, 4, 2, ~3};
    return mesh;
}

LayerElement MaterialLayer(const std::string& mapping, std::vector<int32_t> index) {
    LayerElement element;
    element.mapping = mapping;
    element.reference = "IndexToDirect";
    element.index = std::move(index);
    return element;
}

std::vector<std::string> MeshNames(const Scene& scene) {
    std::vector<std::string> names;
    for (const auto& mesh : scene.meshes) names.push_back(mesh->name);
    return names;
}

}  // namespace

TEST(FbxMaterials, NodeOrderUnusedMaterialsAndIndexModes) {
    SceneData data;
    data.materials = {{"m0", "Phong", std::array<double, 3>{0.1, 0.2, 0.3}, ""},
                      {"m1", "Lambert", std::array<double, 3>{0.4, 0.5, 0.6}, ""},
                      {"m2", "Phong", std::array<double, 3>{0.7, 0.8, 0.9}, ""}};
    // By polygon: the node's table is m2, m0, m1; m1 is never used but still becomes a material.
    data.meshes.push_back(ThreePolygons());
    data.meshes.back().materials = {MaterialLayer("ByPolygon", {1, 0, 1})};
    data.models.push_back({"byPolygon", -1, "Mesh", 0, {2, 0, 1}, {}});
    // All same through an index array whose first entry is 1: every triangle takes m1.
    data.meshes.push_back(ThreePolygons());
    data.meshes.back().materials = {MaterialLayer("AllSame", {1})};
    data.models.push_back({"allSame", -1, "Mesh", 1, {0, 1}, {}});
    // Materials but no material layer: no triangle has a material.
    data.meshes.push_back(ThreePolygons());
    data.models.push_back({"noLayer", -1, "Mesh", 2, {0}, {}});
    // Indices outside the node's table, or negative, mean no material.
    data.meshes.push_back(ThreePolygons());
    data.meshes.back().materials = {MaterialLayer("ByPolygon", {5, -1})};
    data.models.push_back({"outOfRange", -1, "Mesh", 3, {0, 1}, {}});

    const auto scene = ImportScene(data, {Encoding::Binary, 7500, true}, 0);
    ASSERT_EQ(scene->materials.size(), 3u);
    EXPECT_EQ(scene->materials[0]->name, "m2");
    EXPECT_EQ(scene->materials[1]->name, "m0");
    EXPECT_EQ(scene->materials[2]->name, "m1");
    EXPECT_EQ(FindMesh(*scene, "byPolygon")->triangleMaterials, (std::vector<int>{1, 0, 1, 1}));
    EXPECT_EQ(FindMesh(*scene, "allSame")->triangleMaterials, (std::vector<int>{2, 2, 2, 2}));
    EXPECT_EQ(FindMesh(*scene, "noLayer")->triangleMaterials, (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(FindMesh(*scene, "outOfRange")->triangleMaterials, (std::vector<int>{-1, -1, -1, -1}));
    // A scene without any need flags still gets positions, indices and materials, nothing else.
    const SceneMesh& mesh = *FindMesh(*scene, "byPolygon");
    EXPECT_EQ(mesh.positions.size(), 10u);
    EXPECT_TRUE(mesh.normals.empty() && mesh.uvs.empty() && mesh.colours.empty() && mesh.tangents.empty());
}

TEST(FbxMaterials, ColoursByClassImplementationAndTemplate) {
    SceneData data;
    data.phongTemplate = {ColorProperty("DiffuseColor", 0.25, 0.5, 0.75)};
    data.materials = {{"phong", "phong", std::array<double, 3>{1, 0, 0}, ""},
                      {"lambert", "Lambert", std::array<double, 3>{0, 1, 0}, ""},
                      {"other", "unlit", std::array<double, 3>{0, 0, 1}, ""},
                      {"hlsl", "Phong", std::array<double, 3>{1, 1, 0}, "HLSL"},
                      {"cgfx", "Lambert", std::array<double, 3>{1, 0, 1}, "CGFX"},
                      {"fromTemplate", "Phong", std::nullopt, ""}};
    data.meshes.push_back(ThreePolygons());
    data.models.push_back({"a", -1, "Mesh", 0, {0, 1, 2, 3, 4, 5}, {}});
    data.models.push_back({"plain", -1, "Mesh", 0, {}, {}});
    const auto scene = ImportScene(data, {Encoding::Ascii, 7500, false}, 0);
    const auto colour = [&](size_t i) {
        const SceneMaterial& m = *scene->materials[i];
        return std::array<float, 3>{m.r, m.g, m.b};
    };
    ASSERT_EQ(scene->materials.size(), 7u);
    EXPECT_EQ(colour(0), (std::array<float, 3>{1, 0, 0}));
    EXPECT_EQ(colour(1), (std::array<float, 3>{0, 1, 0}));
    EXPECT_EQ(colour(2), (std::array<float, 3>{0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(colour(3), (std::array<float, 3>{0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(colour(4), (std::array<float, 3>{0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(colour(5), (std::array<float, 3>{0.25f, 0.5f, 0.75f}));
    // A node without materials gets "Default" (colour untouched), its triangles none.
    EXPECT_EQ(scene->materials[6]->name, "Default");
    EXPECT_EQ(colour(6), (std::array<float, 3>{1, 1, 1}));
    EXPECT_EQ(FindMesh(*scene, "plain")->triangleMaterials, (std::vector<int>{-1, -1, -1, -1}));
}

TEST(FbxMaterials, SharedNameReusesTheSceneMaterialAndDefaultCanBeIndexed) {
    SceneData data;
    data.materials = {{"shared", "Phong", std::array<double, 3>{1, 0, 0}, ""},
                      {"shared", "Phong", std::array<double, 3>{0, 1, 0}, ""}};
    data.meshes.push_back(ThreePolygons());
    data.meshes.back().materials = {MaterialLayer("AllSame", {0})};
    data.models.push_back({"first", -1, "Mesh", 0, {0}, {}});
    data.models.push_back({"second", -1, "Mesh", 0, {1}, {}});
    data.models.push_back({"none", -1, "Mesh", 0, {}, {}});
    const auto scene = ImportScene(data, {}, 0);
    ASSERT_EQ(scene->materials.size(), 2u);
    EXPECT_EQ(scene->materials[0]->g, 1.0f);  // the later node set the colour again
    EXPECT_EQ(FindMesh(*scene, "second")->triangleMaterials[0], 0);
    EXPECT_EQ(scene->materials[1]->name, "Default");
    EXPECT_EQ(FindMesh(*scene, "none")->triangleMaterials[0], 1);
}

TEST(FbxMaterials, MoreThanOneMaterialLayerIsReportedAndTheLastIndexArrayWins) {
    SceneData data;
    data.materials = {{"a", "Phong", std::nullopt, ""}, {"b", "Phong", std::nullopt, ""}};
    data.meshes.push_back(ThreePolygons());
    LayerElement second = MaterialLayer("AllSame", {0});
    second.typedIndex = 1;
    data.meshes.back().materials = {MaterialLayer("ByPolygon", {1, 1, 1}), second};
    data.models.push_back({"two", -1, "Mesh", 0, {0, 1}, {}});
    testing::internal::CaptureStdout();
    const auto scene = ImportScene(data, {}, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unsupported layer count\n");
    // The second layer maps all same, which clears by-polygon, and brings its index array.
    EXPECT_EQ(scene->meshes[0]->triangleMaterials, (std::vector<int>{0, 0, 0, 0}));
}

TEST(FbxNodes, ViewFilterNamesAndDepthFirstOrder) {
    SceneData data;
    const int group = int(data.models.size());
    data.models.push_back({"group", -1, "Null", -1, {}, {}});
    data.models[AddTriangleModel(data, "maya", group)].properties = {UserText("kelvorfilter", "mayaview")};
    data.models[AddTriangleModel(data, "game", group)].properties = {UserText("kelvorfilter", "gameview"),
                                                                     UserText("kelvorname", "lowA")};
    const int plain = AddTriangleModel(data, "plain");
    data.models[AddTriangleModel(data, "nested", plain)].properties = {UserText("kelvorname", "")};
    // A node attribute of another kind is never converted, whatever its filter.
    data.models.push_back({"locator", -1, "Null", -1, {}, {UserText("kelvorfilter", "gameview")}});

    const auto game = ImportScene(data, {}, 0, {false, false, "gameview"});
    EXPECT_EQ(MeshNames(*game), (std::vector<std::string>{"lowA", "plain", ""}));
    const auto all = ImportScene(data, {Encoding::Ascii, 7400, false}, 0, {});
    EXPECT_EQ(MeshNames(*all), (std::vector<std::string>{"maya", "lowA", "plain", ""}));
    const auto maya = ImportScene(data, {}, 0, {false, false, "mayaview"});
    EXPECT_EQ(MeshNames(*maya), (std::vector<std::string>{"maya", "plain", ""}));
}

TEST(FbxPolygons, QuadsRejectedFannedOrTriangulated) {
    SceneData data;
    data.meshes.push_back(ThreePolygons());
    data.models.push_back({"quad", -1, "Mesh", 0, {}, {}});

    EXPECT_THROW(
        {
            try {
                ImportScene(data, {}, 0, {false, true, ""});
            } catch (const ImportException& e) {
                EXPECT_STREQ(e.what(), "Please triangulate your mesh");
                throw;
            }
        },
        ImportException);
    const auto fanned = ImportScene(data, {}, 0);
    EXPECT_EQ(fanned->meshes[0]->indices, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 6, 8, 9}));
    // Triangulated before conversion, the quad arrives as two triangles of three corners each.
    const auto triangulated = ImportScene(data, {}, 0, {true, true, ""});
    EXPECT_EQ(triangulated->meshes[0]->indices,
              (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(triangulated->meshes[0]->positions[9].x, 1.0f);   // corner 0 of the quad again
    EXPECT_EQ(triangulated->meshes[0]->positions[11].y, 1.0f);  // its corner 3
}

TEST(FbxPolygons, ConcavePolygonsAreEarClippedKeepingCornerData) {
    // An L shape starting at a corner that does not see the whole outline, so a fan from it
    // would fold over.
    SceneData data;
    MeshData& mesh = data.meshes.emplace_back();
    const double outline[6][2] = {{2, 1}, {1, 1}, {1, 2}, {0, 2}, {0, 0}, {2, 0}};
    LayerElement uv;
    for (int i = 0; i < 6; ++i) {
        mesh.vertices.insert(mesh.vertices.end(), {outline[i][0], outline[i][1], 0});
        mesh.polygonVertexIndex.push_back(i == 5 ? ~i : i);
        uv.direct.insert(uv.direct.end(), {outline[i][0], outline[i][1]});
    }
    // A triangle after it checks that per-corner data stays aligned.
    mesh.vertices.insert(mesh.vertices.end(), {5, 5, 0, 6, 5, 0, 5, 6, 0});
    mesh.polygonVertexIndex.insert(mesh.polygonVertexIndex.end(), {6, 7, ~8});
    uv.direct.insert(uv.direct.end(), {5, 5, 6, 5, 5, 6});
    mesh.uvs = {uv};
    mesh.materials = {MaterialLayer("ByPolygon", {1, 0})};
    data.materials = {{"a", "Phong", std::nullopt, ""}, {"b", "Phong", std::nullopt, ""}};
    data.models.push_back({"ell", -1, "Mesh", 0, {0, 1}, {}});
    const auto scene = ImportScene(data, {}, NeedUVsAndColours, {true, false, ""});
    const SceneMesh& result = *scene->meshes[0];
    ASSERT_EQ(result.indices.size(), 15u);
    double area = 0;
    for (size_t t = 0; t < 12; t += 3) {
        const Math::Vec3 p0 = result.positions[result.indices[t]], p1 = result.positions[result.indices[t + 1]],
                         p2 = result.positions[result.indices[t + 2]];
        const float z = Math::Cross(p1 - p0, p2 - p0).z;
        EXPECT_GT(z, 0.0f) << "triangle " << t / 3 << " folds over";
        area += z / 2;
    }
    EXPECT_DOUBLE_EQ(area, 3.0);
    for (size_t v = 0; v < result.positions.size(); ++v) {
        EXPECT_EQ(result.uvs[v].x, result.positions[v].x);
        EXPECT_EQ(result.uvs[v].y, result.positions[v].y);
    }
    EXPECT_EQ(result.triangleMaterials, (std::vector<int>{1, 1, 1, 1, 0}));
}

TEST(FbxPolygons, PointsAndLinesAreSkippedWithoutShiftingCornerData) {
    SceneData data;
    MeshData& mesh = data.meshes.emplace_back();
    mesh.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    mesh.polygonVertexIndex = {~0, 0, ~1, 0, 1, ~2};
    LayerElement normals;
    for (int corner = 0; corner < 6; ++corner) normals.direct.insert(normals.direct.end(), {double(corner), 0, 1});
    mesh.normals = {normals};
    data.models.push_back({"mixed", -1, "Mesh", 0, {}, {}});
    const auto scene = ImportScene(data, {}, NeedNormals);
    const SceneMesh& result = *scene->meshes[0];
    ASSERT_EQ(result.positions.size(), 3u);
    EXPECT_EQ(result.indices, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(result.normals[0].x, 3.0f);
    EXPECT_EQ(result.normals[2].x, 5.0f);
}

TEST(FbxCorners, ColourBytesWrapWithoutOverflow) {
    SceneData data;
    MeshData& mesh = data.meshes.emplace_back();
    mesh.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    mesh.polygonVertexIndex = {0, 1, ~2};
    LayerElement colours;
    colours.mapping = "ByPolygonVertex";
    colours.direct = {1, 0.5, 0, 1, 2, -1, 1e30, -1e300, -1e300, 300, 0.001, 0.999};
    mesh.colours = {colours};
    data.models.push_back({"colours", -1, "Mesh", 0, {}, {}});
    const auto scene = ImportScene(data, {}, NeedUVsAndColours);
    const auto& c = scene->meshes[0]->colours;
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0], PackColour(255, 128, 0, 255));
    // 2 -> 510 -> 254; -1 -> -254 -> 2; 1e30 and -1e300 have no low byte to keep but must not trap.
    EXPECT_EQ(ColourChannel(c[1], 0), 254);
    EXPECT_EQ(ColourChannel(c[1], 1), 2);
    EXPECT_EQ(ColourChannel(c[1], 3), 0);
    // 300 -> 76500 -> 0xAC; 0.001 -> 0; 0.999 -> 255.
    EXPECT_EQ(ColourChannel(c[2], 1), 76500 % 256);
    EXPECT_EQ(ColourChannel(c[2], 2), 0);
    EXPECT_EQ(ColourChannel(c[2], 3), 255);
}

TEST(FbxCorners, LayerElementModesAndFallbacks) {
    SceneData data;
    MeshData& mesh = data.meshes.emplace_back();
    mesh.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    mesh.polygonVertexIndex = {0, 1, ~2, 1, 3, ~2};
    // Normals by control point through an index array whose last entry is out of range.
    LayerElement normals;
    normals.mapping = "ByVertice";
    normals.reference = "IndexToDirect";
    normals.direct = {0, 0, 1, 0, 1, 0};
    normals.index = {0, 1, 0, 7};
    // UVs by control point, direct, with one entry missing.
    LayerElement uvs;
    uvs.mapping = "ByControlPoint";
    uvs.direct = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    // Colours by polygon: not a per-corner mapping, so every corner keeps the default.
    LayerElement colours;
    colours.mapping = "ByPolygon";
    colours.direct = {1, 1, 1, 1, 1, 1, 1, 1};
    // Tangents without binormals fall back to the default frame.
    LayerElement tangents;
    tangents.direct.assign(18, 1.0);
    mesh.normals = {normals};
    mesh.uvs = {uvs};
    mesh.colours = {colours};
    mesh.tangents = {tangents};
    data.models.push_back({"modes", -1, "Mesh", 0, {}, {}});
    const auto scene = ImportScene(data, {Encoding::Binary, 7400, true});
    const SceneMesh& m = *scene->meshes[0];
    ASSERT_EQ(m.positions.size(), 6u);
    EXPECT_EQ(m.normals[0], (Math::Vec3{0, 0, 1}));
    EXPECT_EQ(m.normals[1], (Math::Vec3{0, 1, 0}));
    // Control point 3's index is out of range: that corner's normal is built from the faces.
    EXPECT_EQ(m.normals[4].x, 0.0f);
    EXPECT_EQ(m.normals[4].y, 0.0f);
    EXPECT_NEAR(m.normals[4].z, 1.0f, 1e-5f);
    EXPECT_FLOAT_EQ(m.uvs[2].x, 0.5f);
    EXPECT_EQ(m.uvs[4].x, 0.0f);  // control point 3 has no UV entry
    for (size_t v = 0; v < 6; ++v) {
        EXPECT_EQ(m.colours[v], PackColour(0, 0, 0, 255));
        EXPECT_EQ(m.tangents[v].x, 1.0f);
        EXPECT_EQ(m.bitangents[v], (Math::Vec3{0, 0, 1}));
    }
    EXPECT_EQ(m.tangents[0].w, 1.0f);   // n (0,0,1) x t (1,0,0) = (0,1,0), against b (0,0,1)
    EXPECT_EQ(m.tangents[1].w, -1.0f);  // n (0,1,0) x t (1,0,0) = (0,0,-1), against b (0,0,1)
}

TEST(FbxLoadFailures, MissingFileReportsAndThrows) {
    const std::string path = (TestDir() / "missing.fbx").string();
    auto scene = std::make_unique<Scene>(AllNeeds);
    FBXImporter importer;
    testing::internal::CaptureStdout();
    EXPECT_THROW(importer.Import(path.c_str(), scene.get()), ImportException);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Call to FbxImporter::Initialize() failed.\nError returned: File not found or not readable for " + path +
                       "\n\n\n\nAn error occurred while loading the scene...");
    EXPECT_TRUE(scene->meshes.empty());
    EXPECT_TRUE(scene->materials.empty());

    // A folder named like a mesh opens as a stream on Linux: it must read as a plain failure.
    const std::filesystem::path folder = TestDir() / "folder.fbx";
    std::filesystem::create_directories(folder);
    testing::internal::CaptureStdout();
    EXPECT_THROW(importer.Import(folder.string().c_str(), scene.get()), ImportException);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error returned: The path is a folder, not a file"), std::string::npos);
}

TEST(FbxLoadFailures, UnsupportedVersionsPrintBothVersions) {
    for (int version : {6100, 7800}) {
        SceneData data;
        AddTriangleModel(data, "tri");
        const std::string path = (TestDir() / ("v" + std::to_string(version) + ".fbx")).string();
        WriteFile(path, WriteScene(data, {Encoding::Binary, version, false}));
        testing::internal::CaptureStdout();
        EXPECT_THROW(ImportFile(path), ImportException);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("FBX file format version for this FBX SDK is 7.7.0\n"), std::string::npos) << out;
        EXPECT_NE(out.find("FBX file format version for file '" + path + "' is " + std::to_string(version / 1000) + "." +
                           std::to_string(version % 1000 / 100) + ".0\n\n"),
                  std::string::npos)
            << out;
    }
    // 7.1 is the oldest version read.
    SceneData data;
    AddTriangleModel(data, "tri");
    EXPECT_EQ(ImportScene(data, {Encoding::Binary, 7100, false})->meshes.size(), 1u);
}

TEST(FbxLoadFailures, PasswordProtectedFilesFailAtOnceWithoutReadingInput) {
    // Standard input that notes any attempt to read it.
    struct WatchedInput : std::streambuf {
        bool read = false;
        int_type underflow() override {
            read = true;
            return traits_type::eof();
        }
    };
    SceneData data;
    AddTriangleModel(data, "tri");
    data.encryption = 1;
    for (const Format& format : {Format{}, Format{Encoding::Binary, 7500, true}, Format{Encoding::Ascii, 7400, false}}) {
        const std::string path = (TestDir() / ("locked_" + format.Describe() + ".fbx")).string();
        WriteFile(path, WriteScene(data, format));
        WatchedInput input;
        std::streambuf* saved = std::cin.rdbuf(&input);
        testing::internal::CaptureStdout();
        std::string message;
        try {
            ImportFile(path);
        } catch (const ImportException& e) {
            message = e.what();
        }
        const std::string out = testing::internal::GetCapturedStdout();
        std::cin.rdbuf(saved);
        EXPECT_FALSE(input.read) << format.Describe();
        EXPECT_EQ(message, "Can not load mesh file '" + path + "': File is password protected");
        EXPECT_EQ(out, "\n\nAn error occurred while loading the scene...");
    }
}

TEST(FbxLoadFailures, MalformedVersionsAreRefusedWithoutOverflow) {
    SceneData data;
    AddTriangleModel(data, "tri");
    const std::string text = WriteScene(data, {Encoding::Ascii, 7400, false});
    const std::string headerVersion = "\tFBXVersion: 7400\n";
    const size_t header = text.find(headerVersion);
    ASSERT_NE(header, std::string::npos);
    const std::string withoutHeaderVersion = text.substr(0, header) + text.substr(header + headerVersion.size());
    const auto withComment = [](const std::string& body, const std::string& comment) {
        return comment + body.substr(body.find('\n'));
    };
    // What importing the text prints, and whether it loaded.
    const auto import = [](const std::string& contents, bool& loaded) {
        const std::string path = (TestDir() / "version.fbx").string();
        WriteFile(path, contents);
        testing::internal::CaptureStdout();
        loaded = true;
        try {
            ImportFile(path);
        } catch (const ImportException&) {
            loaded = false;
        }
        return testing::internal::GetCapturedStdout();
    };
    bool loaded = false;
    // Where the comment alone names the version, digits that overflow an int or parts out of
    // their places are no version.
    for (const char* comment : {"; FBX 7.1073741828.0 project file", "; FBX 7.10.0 project file", "; FBX 7.4.100 project file",
                                "; FBX 2147483647.4.0 project file", "; FBX 7.-4.0 project file", "; FBX 7..0 project file"}) {
        const std::string out = import(withComment(withoutHeaderVersion, comment), loaded);
        EXPECT_FALSE(loaded) << comment;
        EXPECT_NE(out.find("Error returned: File states a malformed FBX version"), std::string::npos) << comment << out;
    }
    // A header record's version that is no number is refused as well.
    std::string badHeader = text;
    badHeader.replace(header, headerVersion.size(), "\tFBXVersion: 99999999999\n");
    EXPECT_NE(import(badHeader, loaded).find("malformed FBX version"), std::string::npos);
    EXPECT_FALSE(loaded);
    // Well-formed comments still name the version; a title after "FBX " names none.
    for (const auto& [comment, loads] : {std::pair{"; FBX 7.4.0 project file", true}, {"; FBX 7.5.0 project file", true},
                                         {"; FBX 6.1.0 project file", false}, {"; FBX project file", false}}) {
        const std::string out = import(withComment(withoutHeaderVersion, comment), loaded);
        EXPECT_EQ(loaded, loads) << comment;
        EXPECT_EQ(out.find("malformed"), std::string::npos) << comment;
    }
}

TEST(FbxPolygons, HugeConcavePolygonsStillTriangulateCompletely) {
    // A star of 40000 corners: every other corner is reflex, so ear clipping is quadratic and
    // runs into its work limit; the rest of the outline is fanned and nothing is lost.
    SceneData data;
    MeshData& mesh = data.meshes.emplace_back();
    const int corners = 40000;
    for (int i = 0; i < corners; ++i) {
        const double angle = 2 * M_PI * i / corners, radius = i % 2 ? 1.0 : 2.0;
        mesh.vertices.insert(mesh.vertices.end(), {radius * std::cos(angle), radius * std::sin(angle), 0});
        mesh.polygonVertexIndex.push_back(i == corners - 1 ? ~i : i);
    }
    data.models.push_back({"star", -1, "Mesh", 0, {}, {}});
    // The same mesh instanced by a second node is converted for it too.
    data.models.push_back({"again", -1, "Mesh", 0, {}, {VectorProperty("Lcl Translation", 5, 0, 0)}});
    const auto scene = ImportScene(data, {Encoding::Binary, 7500, true}, 0, {true, false, ""});
    ASSERT_EQ(scene->meshes.size(), 2u);
    EXPECT_EQ(scene->meshes[0]->TriangleCount(), size_t(corners - 2));
    EXPECT_EQ(scene->meshes[1]->TriangleCount(), size_t(corners - 2));
    EXPECT_EQ(scene->meshes[1]->transform[9], 5.0f);
}
