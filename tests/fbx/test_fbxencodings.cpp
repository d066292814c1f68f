#include <cmath>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;
namespace Math = Pallix::Math;

namespace {

void ExpectNear3(Math::Vec3 v, float x, float y, float z, float tolerance = 1e-6f) {
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

}  // namespace

TEST(FbxEncodings, CubeReadsTheSameFromEveryEncoding) {
    const SceneData cube = CubeScene();
    const std::vector<Format> formats = AllFormats();
    const auto reference = ImportScene(cube, formats[0]);
    for (size_t i = 1; i < formats.size(); ++i) {
        SCOPED_TRACE(formats[i].Describe());
        const auto scene = ImportScene(cube, formats[i]);
        ExpectSameScene(*reference, *scene);
    }

    // And what they all read is the cube that was written.
    ASSERT_EQ(reference->meshes.size(), 1u);
    const SceneMesh& mesh = *reference->meshes[0];
    EXPECT_EQ(mesh.name, "cube");
    ASSERT_EQ(mesh.positions.size(), 24u);
    ASSERT_EQ(mesh.indices.size(), 36u);
    ASSERT_EQ(reference->materials.size(), 2u);
    EXPECT_EQ(reference->materials[0]->name, "red");
    EXPECT_EQ(reference->materials[0]->r, 1.0f);
    EXPECT_EQ(reference->materials[0]->b, 0.0f);
    EXPECT_EQ(reference->materials[1]->name, "blue");
    EXPECT_EQ(reference->materials[1]->b, 1.0f);
    const std::vector<int> materials{0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1};
    EXPECT_EQ(mesh.triangleMaterials, materials);
    // Quads fan from their first corner.
    EXPECT_EQ(std::vector<uint32_t>(mesh.indices.begin(), mesh.indices.begin() + 6),
              (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
    // Every corner's normal is its face's; every triangle winds outward around it.
    for (size_t t = 0; t < mesh.indices.size(); t += 3) {
        const Math::Vec3 p0 = mesh.positions[mesh.indices[t]], p1 = mesh.positions[mesh.indices[t + 1]],
                         p2 = mesh.positions[mesh.indices[t + 2]];
        const Math::Vec3 face = Math::Cross(p1 - p0, p2 - p0);
        const Math::Vec3 n = mesh.normals[mesh.indices[t]];
        EXPECT_GT(Math::Dot(face, n), 0.0f);
        EXPECT_EQ(Math::Dot(n, n), 1.0f);
        EXPECT_EQ(n, mesh.normals[mesh.indices[t + 2]]);
    }
    // Colours by control point: red, green and blue channels are the corner's x, y, z > 0.
    for (size_t v = 0; v < mesh.positions.size(); ++v) {
        const Math::Vec3 p = mesh.positions[v];
        EXPECT_EQ(mesh.colours[v], PackColour(p.x > 0 ? 255 : 0, p.y > 0 ? 255 : 0, p.z > 0 ? 255 : 0, 255));
        EXPECT_EQ(mesh.tangents[v].w, 1.0f);
    }
    // UVs through an index array: the corners of each face run around the unit square.
    EXPECT_EQ(mesh.uvs[2].x, 1.0f);
    EXPECT_EQ(mesh.uvs[2].y, 1.0f);
    EXPECT_EQ(mesh.uvs[3].x, 0.0f);
    EXPECT_EQ(mesh.uvs[3].y, 1.0f);
    // Translation (1, 2, 3), rotation 90 degrees about Z, scaling 2.
    ExpectNear3({mesh.transform[0], mesh.transform[1], mesh.transform[2]}, 0, 2, 0);
    ExpectNear3({mesh.transform[3], mesh.transform[4], mesh.transform[5]}, -2, 0, 0);
    ExpectNear3({mesh.transform[6], mesh.transform[7], mesh.transform[8]}, 0, 0, 2);
    ExpectNear3({mesh.transform[9], mesh.transform[10], mesh.transform[11]}, 1, 2, 3);
}

TEST(FbxEncodings, FloatArraysAndInlineAsciiArraysReadAsTheirValues) {
    // Some writers store vertices as 32-bit floats, others list them inline in ASCII files.
    SceneData data;
    AddTriangleModel(data, "tri");
    data.meshes[0].vertices = {0.5, 0, 0, 1.25, 0, 0, 0, 2.5, 0};
    std::vector<Node> records = data.Records({});
    for (Node& object : records[3].children)
        if (object.name == "Geometry") object.children[0].values[0].type = 'f';
    const std::string path = (TestDir() / "floats.fbx").string();
    WriteFile(path, Write(records, {}));
    const auto fromFloats = ImportFile(path);

    Format ascii{Encoding::Ascii, 7400, false};
    std::string text = WriteScene(data, ascii);
    const size_t vertices = text.find("Vertices: *9 {");
    ASSERT_NE(vertices, std::string::npos);
    const size_t close = text.find('}', vertices);
    text.replace(vertices, close + 1 - vertices, "Vertices: 0.5,0,0,1.25,0,0,\n\t\t0,2.5,0");
    const std::string asciiPath = (TestDir() / "inline.fbx").string();
    WriteFile(asciiPath, text);
    const auto fromInline = ImportFile(asciiPath);
    ExpectSameScene(*fromFloats, *fromInline);
    EXPECT_EQ(fromInline->meshes[0]->positions[1].x, 1.25f);
    EXPECT_EQ(fromInline->meshes[0]->positions[2].y, 2.5f);
}

TEST(FbxEncodings, AsciiCommentsQuotesAndBareWords) {
    SceneData data;
    AddTriangleModel(data, "say \"hi\"");
    data.models[0].properties.push_back(UserText("kelvorname", "low; \"A\""));
    Format ascii{Encoding::Ascii, 7400, false};
    std::string text = WriteScene(data, ascii);
    text.insert(text.find("Objects:"), "; a comment line {with braces} and \"quotes\n   ; indented comment\n");
    const std::string path = (TestDir() / "comments.fbx").string();
    WriteFile(path, text);
    const auto scene = ImportFile(path);
    ASSERT_EQ(scene->meshes.size(), 1u);
    EXPECT_EQ(scene->meshes[0]->name, "low; \"A\"");
}

TEST(FbxEncodings, SignedByteArraysReadLikeUnsignedOnes) {
    const auto reference = ImportScene(CubeScene(), {Encoding::Binary, 7400, false});
    for (const Format& format : {Format{Encoding::Binary, 7400, false}, Format{Encoding::Binary, 7500, true}}) {
        SCOPED_TRACE(format.Describe());
        const std::string path = (TestDir() / ("bytes_" + format.Describe() + ".fbx")).string();
        WriteFile(path, SignedByteCube(format));
        const auto scene = ImportFile(path);
        ASSERT_EQ(scene->CountTriangles(), 12);
        ExpectSameScene(*reference, *scene);
    }
}

TEST(FbxEncodings, AsciiValuesContinueOnTheNextLines) {
    const auto reference = ImportScene(CubeScene(), {Encoding::Binary, 7400, false});
    const std::string path = (TestDir() / "continued.fbx").string();
    WriteFile(path, ContinuedLinesCube());
    const auto scene = ImportFile(path);
    ASSERT_EQ(scene->CountTriangles(), 12);
    ExpectSameScene(*reference, *scene);
}
