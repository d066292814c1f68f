#include <algorithm>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;
namespace Math = Pallix::Math;

namespace {

std::unique_ptr<Scene> ImportText(const std::string& text, const std::string& name, const Options& options = {}) {
    const std::string path = (TestDir() / name).string();
    WriteFile(path, text);
    return ImportFile(path, AllNeeds, options);
}

const char* LowPoly = R"(# exported low-poly
mtllib low.mtl
v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
v 2 0 0
vt 0 0
vt 1 0
vt 1 1
vt 0 1
vn 0 0 1
f 1 2 3
o body
usemtl skin
f 1/1/1 2/2/1 3/3/1 4/4/1
usemtl cloth
f -4/1/-1 -1/2/1 -3/3/1
g   head  
usemtl cloth
f 1//1 2//1 3//1
g body
f 2/3 5/4 3
)";

}  // namespace

TEST(FbxObj, LowPolyLoadsAsOneNodePerGroup) {
    // The importer recognises OBJ by content, whatever the name says.
    const auto scene = ImportText(LowPoly, "low.fbx", {true, false, "gameview"});
    ASSERT_EQ(scene->meshes.size(), 3u);
    EXPECT_EQ(scene->meshes[0]->name, "default");
    EXPECT_EQ(scene->meshes[1]->name, "body");
    EXPECT_EQ(scene->meshes[2]->name, "head");

    // Faces before any name: no material layer, so none, and "Default" in the scene.
    const SceneMesh& first = *scene->meshes[0];
    EXPECT_EQ(first.triangleMaterials, (std::vector<int>{-1}));
    // No "vn" on its corners: the normals are built from the faces.
    EXPECT_NEAR(first.normals[0].z, 1.0f, 1e-5f);

    // "body": the quad (two triangles with "skin"), the triangle with "cloth" through relative
    // indices, and the face added after "head" returned to "body" (no usemtl since: "cloth").
    const SceneMesh& body = *scene->meshes[1];
    ASSERT_EQ(body.indices.size(), 12u);
    ASSERT_EQ(scene->materials.size(), 3u);
    EXPECT_EQ(scene->materials[0]->name, "Default");
    EXPECT_EQ(scene->materials[1]->name, "skin");
    EXPECT_EQ(scene->materials[2]->name, "cloth");
    EXPECT_EQ(scene->materials[1]->r, 0.5f);
    EXPECT_EQ(body.triangleMaterials, (std::vector<int>{1, 1, 2, 2}));
    // The quad's second triangle repeats its corners 0 and 2.
    EXPECT_EQ(body.positions[3], (Math::Vec3{0, 0, 0}));
    EXPECT_EQ(body.positions[4], (Math::Vec3{1, 1, 0}));
    EXPECT_EQ(body.uvs[5].y, 1.0f);
    EXPECT_EQ(body.uvs[2].x, 1.0f);
    EXPECT_EQ(body.uvs[2].y, 1.0f);
    EXPECT_EQ(body.normals[0], (Math::Vec3{0, 0, 1}));
    // f -4/1/-1 -1/2/1 -3/3/1 after five vertices: positions 2, 5, 3.
    EXPECT_EQ(body.positions[6], (Math::Vec3{1, 0, 0}));
    EXPECT_EQ(body.positions[7], (Math::Vec3{2, 0, 0}));
    EXPECT_EQ(body.positions[8], (Math::Vec3{1, 1, 0}));
    // The last face has a UV on two corners and none on the third, and no normals.
    EXPECT_EQ(body.uvs[9].x, 1.0f);
    EXPECT_EQ(body.uvs[10].y, 1.0f);
    EXPECT_EQ(body.uvs[11].x, 0.0f);
    EXPECT_NEAR(body.normals[11].z, 1.0f, 1e-5f);

    const SceneMesh& head = *scene->meshes[2];
    EXPECT_EQ(head.triangleMaterials, (std::vector<int>{2}));
    for (const float value : head.transform) EXPECT_TRUE(value == 0.0f || value == 1.0f);
}

TEST(FbxObj, MarkAndCarriageReturnsGiveTheSameLowPoly) {
    const auto expected = ImportText(LowPoly, "plain.obj");
    std::string carriageReturns = LowPoly, marked = "\xEF\xBB\xBF";
    std::replace(carriageReturns.begin(), carriageReturns.end(), '\n', '\r');
    marked += LowPoly;
    for (const std::string& text : {marked, carriageReturns}) {
        const auto scene = ImportText(text, "low.obj");
        ASSERT_EQ(scene->meshes.size(), expected->meshes.size());
        for (size_t m = 0; m < expected->meshes.size(); ++m) {
            EXPECT_EQ(scene->meshes[m]->name, expected->meshes[m]->name);
            EXPECT_EQ(scene->meshes[m]->positions, expected->meshes[m]->positions);
            ASSERT_EQ(scene->meshes[m]->uvs.size(), expected->meshes[m]->uvs.size());
            for (size_t v = 0; v < expected->meshes[m]->uvs.size(); ++v) {
                EXPECT_EQ(scene->meshes[m]->uvs[v].x, expected->meshes[m]->uvs[v].x);
                EXPECT_EQ(scene->meshes[m]->uvs[v].y, expected->meshes[m]->uvs[v].y);
            }
            EXPECT_EQ(scene->meshes[m]->triangleMaterials, expected->meshes[m]->triangleMaterials);
        }
    }
}

TEST(FbxObj, EveryUsemtlNamesItsOwnMaterial) {
    std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n";
    for (int m = 0; m < 3000; ++m) {
        text += "usemtl m";
        text += std::to_string(m % 2000);
        text += "\nf 1/1 2/1 3/1\n";
    }
    const auto scene = ImportText(text, "many.obj");
    ASSERT_EQ(scene->materials.size(), 2000u);
    const std::vector<int>& ids = scene->meshes[0]->triangleMaterials;
    ASSERT_EQ(ids.size(), 3000u);
    for (int m = 0; m < 3000; ++m) {
        ASSERT_GE(ids[size_t(m)], 0);
        ASSERT_EQ(scene->materials[size_t(ids[size_t(m)])]->name.substr(1), std::to_string(m % 2000));
    }
}

TEST(FbxObj, QuadsAreRejectedLikeFbxPolygons) {
    EXPECT_THROW(ImportText(LowPoly, "low.obj", {false, true, "mayaview"}), ImportException);
    const auto fanned = ImportText(LowPoly, "low.obj");
    EXPECT_EQ(fanned->meshes[1]->positions.size(), 10u);  // the quad keeps its four corners
}

TEST(FbxObj, BadIndicesAndStatementsFailTheLoad) {
    for (const char* text : {"v 0 0 0\nv 1 0 0\nf 1 2 3\n", "v 0 0 0\nf 0 1 1\n", "v 0 0 0\nf -2 1 1\n",
                             "v 0 0 0\nvt 0 0\nf 1/2 1/1 1/1\n", "v 0 0\nf 1 1 1\n", "v 0 0 0\nf 1/x 1 1\n"}) {
        testing::internal::CaptureStdout();
        EXPECT_THROW(ImportText(text, "bad.obj"), ImportException) << text;
        testing::internal::GetCapturedStdout();
    }
    // Only comments is not an OBJ file.
    testing::internal::CaptureStdout();
    EXPECT_THROW(ImportText("# nothing\n\n", "empty.obj"), ImportException);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Unexpected file type"), std::string::npos);
}
