#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "io/objimporter.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

namespace {

// Imports OBJ text into scene and returns its last mesh.
SceneMesh& ImportText(Scene& scene, const std::string& text) {
    OBJImporter importer;
    importer.ImportText(text.data(), text.size(), "test.obj", &scene);
    return *scene.meshes.back();
}

std::string ImportError(const std::string& text) {
    Scene scene;
    try {
        ImportText(scene, text);
    } catch (const ImportException& e) {
        return std::string("import: ") + e.what();
    } catch (const BakeException& e) {
        return std::string("bake: ") + e.what();
    }
    return "none";
}

const std::string Square = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

}  // namespace

TEST(OBJImporter, FacesFanOverPerCornerVertices) {
    Scene scene;
    scene.FindOrAddMaterial("first");
    SceneMesh& mesh = ImportText(scene, "# made by hand\no thing\ng part\n" + Square + "vt 0 0\nvn 0 0 -1\nf 1 2 3 4\ng other\nf 1/1/1 3/2/2 4/3/3\n");
    EXPECT_EQ(scene.meshes.size(), 1u);
    EXPECT_EQ(mesh.name, "global");
    ASSERT_EQ(scene.materials.size(), 2u);
    EXPECT_EQ(scene.materials[1]->name, "unsupported");
    ASSERT_EQ(mesh.VertexCount(), 7u);
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 4, 5, 6}));
    EXPECT_EQ(mesh.triangleMaterials, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(mesh.positions[5], (Vec3{1, 1, 0}));
    EXPECT_EQ(mesh.colours, std::vector<Colour32>(7, ColourWhite));
    // Normals come from the faces, not from the vn line.
    ASSERT_EQ(mesh.normals.size(), 7u);
    for (const Vec3& n : mesh.normals) EXPECT_NEAR(n.z, 1.0f, 1e-5f);
    EXPECT_TRUE(mesh.uvs.empty());
}

TEST(OBJImporter, FaceIndicesAreCheckedAgainstThePositionsSoFar) {
    EXPECT_EQ(ImportError(Square + "f -1 -2 -3\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 0 1 2\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 1 2 5\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError("v 0 0 0\nf 1 2 3\nv 1 0 0\nv 0 1 0\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 1 x 3\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 1 2 99999999999999999999999\n"), "bake: Invalid face in OBJ");
    // A token glued to the 'f' is not a corner.
    Scene scene;
    SceneMesh& mesh = ImportText(scene, Square + "f1 2 3\nf 2 3\n");
    EXPECT_EQ(mesh.VertexCount(), 4u);
    EXPECT_TRUE(mesh.indices.empty());
}

TEST(OBJImporter, SculptingToolColours) {
    Scene scene;
    SceneMesh& mesh = ImportText(scene, "#MRGB ff102030ff405060\n#MRGB ffA0B0C0ff1\n" + Square + "f 1 2 4 3\n");
    ASSERT_EQ(mesh.colours.size(), 4u);
    EXPECT_EQ(mesh.colours[0], PackColour(0x10, 0x20, 0x30, 255));
    EXPECT_EQ(mesh.colours[1], PackColour(0x40, 0x50, 0x60, 255));
    EXPECT_EQ(mesh.colours[2], ColourWhite);  // the block cut short is dropped
    EXPECT_EQ(mesh.colours[3], PackColour(0xA0, 0xB0, 0xC0, 255));
}

TEST(OBJImporter, VertexLinesAreReadWithinTheirBounds) {
    Scene scene;
    SceneMesh& mesh = ImportText(scene, "v 1.5  -2e1\t3 0.5 0.25 0.125\nv +1 2 3\nv\t9 9 9\nvp 7\nvt 1\nf 1 2 1\n");
    ASSERT_EQ(mesh.VertexCount(), 3u);
    EXPECT_EQ(mesh.positions[0], (Vec3{1.5f, -20.0f, 3.0f}));  // extra numbers (colours) ignored
    EXPECT_EQ(mesh.positions[1], (Vec3{1, 2, 3}));
    EXPECT_EQ(ImportError("v 1 2\n"), "import: Invalid OBJ file 'test.obj': line 1: a vertex needs three coordinates");
    EXPECT_EQ(ImportError("v 1 2 x\n"), "import: Invalid OBJ file 'test.obj': line 1: a vertex needs three coordinates");
    EXPECT_EQ(ImportError("v 0 0 0\nv 1 nan 0\n"), "import: Invalid OBJ file 'test.obj': line 2: vertex coordinate is not a finite number");
    EXPECT_NE(ImportError("v 1e39 0 0\n").find("not a finite number"), std::string::npos);
    EXPECT_NE(ImportError("v inf 0 0\n").find("not a finite number"), std::string::npos);

    // A line far longer than any fixed buffer: a face of 3000 corners.
    std::string text = Square;
    text += "f";
    for (int i = 0; i < 3000; ++i) {
        text += ' ';
        text += std::to_string(1 + i % 4);
    }
    Scene longScene;
    SceneMesh& fan = ImportText(longScene, text + "\n");
    EXPECT_EQ(fan.VertexCount(), 3000u);
    EXPECT_EQ(fan.TriangleCount(), 2998u);
}

TEST(OBJImporter, HeaderCountsAreOnlyHints) {
    const std::string padding = "# " + std::string(1000, '.') + "\n";
    {
        Scene scene;
        SceneMesh& mesh = ImportText(scene, "# RealityCapture export\n" + padding + "# 100 vertices, 50 faces\n");
        EXPECT_GE(mesh.indices.capacity(), 150u);
        EXPECT_GE(mesh.positions.capacity(), 150u);
    }
    for (const std::string& header : {std::string("# 100 vertices, 50 faces\n"),
                                      std::string("# RealityCapture\n# ZBrush\n# 100 vertices, 50 faces\n")}) {
        Scene scene;
        SceneMesh& mesh = ImportText(scene, header + padding);
        EXPECT_EQ(mesh.indices.capacity(), 0u);
    }
    // Absurd or negative counts reserve no more than the file could hold.
    Scene scene;
    SceneMesh& mesh =
        ImportText(scene, "#Vertex Count 999999999999999\n#Face Count 2147483647\n#Face Count -8\n" + Square + "f 1 2 3\n");
    EXPECT_LT(mesh.positions.capacity(), 1000u);
    EXPECT_EQ(mesh.TriangleCount(), 1u);
}

TEST(OBJImporter, FlatNormalsReachEveryMeshOfTheScene) {
    Scene scene(NeedNormals);
    SceneMesh* earlier = scene.AddMesh("from another file");
    earlier->positions = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    earlier->normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    earlier->indices = {0, 1, 2};
    ImportText(scene, Square + "f 1 2 3\n");
    for (const Vec3& n : earlier->normals) EXPECT_NEAR(n.x, 1.0f, 1e-5f);
}

TEST(OBJImporter, ReadsFilesAndNamesMissingOnes) {
    Scene scene;
    OBJImporter importer;
    try {
        importer.Import("/nonexistent/kelvor.obj", &scene);
        FAIL() << "no exception";
    } catch (const ImportException& e) {
        EXPECT_STREQ(e.what(), "Can not open OBJ file");
    }
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "mesh.obj").string();
    std::ofstream(path, std::ios::binary) << Square << "f 1 2 3\r\nf 1 3 4";
    Scene fromFile;
    importer.Import(path.c_str(), &fromFile);
    EXPECT_EQ(fromFile.meshes[0]->TriangleCount(), 2u);
}
