#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "importoutcome.h"
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

ImportOutcome ImportInChunks(const std::string& text, size_t chunkBytes, unsigned workers, const std::string& path = {}) {
    testing::internal::CaptureStdout();
    return RecordImport(
        [&](Scene& scene) {
            OBJImporter importer;
            importer.chunkBytes = chunkBytes;
            importer.workers = workers;
            if (path.empty()) importer.ImportText(text.data(), text.size(), "test.obj", &scene);
            else importer.Import(path.c_str(), &scene);
        },
        [] {
            std::fflush(stdout);
            return testing::internal::GetCapturedStdout();
        });
}

}  // namespace

TEST(OBJImporter, FacesFanOverPerCornerVertices) {
    Scene scene;
    scene.FindOrAddMaterial("first");
    testing::internal::CaptureStdout();
    SceneMesh& mesh = ImportText(scene, "# made by hand\no thing\ng part\n" + Square + "vt 0 0\nvn 0 0 -1\nf 1 2 3 4\ng other\nf 1/1/1 3/2/2 4/3/3\n");
    std::fflush(stdout);
    // The counts and the normal pass are announced whether or not the scene wants normals.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Number of verts 4\nNumber of uv 1\nNumber of colours 0\nNumber of colour lines 0\n"
              "Number of triangle indices 3\nBuilding normals\nDone");
    EXPECT_EQ(scene.meshes.size(), 1u);
    EXPECT_EQ(mesh.name, "global");
    ASSERT_EQ(scene.materials.size(), 2u);
    EXPECT_EQ(scene.materials[1]->name, "unsupported");
    ASSERT_EQ(mesh.VertexCount(), 7u);
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 4, 5, 6}));
    EXPECT_EQ(mesh.triangleMaterials, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(mesh.positions[5], (Vec3{1, 1, 0}));
    EXPECT_EQ(mesh.colours, std::vector<Colour32>(7, ColourWhite));
    // The scene asked for neither.
    EXPECT_TRUE(mesh.normals.empty());
    EXPECT_TRUE(mesh.uvs.empty());
}

TEST(OBJImporter, CornersTakeTheFileNormalsAndTheOthersAreBuilt) {
    const std::string faces = "vn 0 0 -1\nvn 0 0 0\nf 1//1 2//1 3//1\nf 1 3 4\nf 1//2 3//9 4/1/1\n";
    Scene scene(NeedNormals);
    SceneMesh& mesh = ImportText(scene, Square + faces);
    ASSERT_EQ(mesh.normals.size(), 9u);
    // Named normals are kept as written, even against the winding.
    for (size_t v : {0, 1, 2, 8}) EXPECT_EQ(mesh.normals[v], (Vec3{0, 0, -1})) << v;
    // No normal, a zero one and one past the list: built from the faces around the
    // corner's position, all in the plane z = 0 and facing up.
    for (size_t v : {3, 4, 5, 6, 7}) KelvorTest::ExpectNear(mesh.normals[v], {0, 0, 1}, 1e-5f);

    // A face without area next to them changes none of the built normals.
    Scene withDegenerate(NeedNormals);
    SceneMesh& more = ImportText(withDegenerate, Square + "v 0 0 5\n" + faces + "f 1 5 1\nf 2 2 5\n");
    ASSERT_EQ(more.normals.size(), 15u);
    for (size_t v = 0; v < 9; ++v) EXPECT_EQ(more.normals[v], mesh.normals[v]) << v;
}

TEST(OBJImporter, ConcavePolygonsKeepTheirArea) {
    // A five-pointed star starting at an inner corner: a fan from there covers far more than the star.
    const float pi = 3.14159265f;
    std::string text;
    std::vector<Vec3> outline;
    for (int k = 0; k < 10; ++k) {
        const float radius = k % 2 == 0 ? 0.3f : 1.0f, angle = 2.0f * pi * float(k) / 10.0f;
        outline.push_back({radius * std::cos(angle), radius * std::sin(angle), 2.0f});
        text += "v " + std::to_string(outline.back().x) + " " + std::to_string(outline.back().y) + " 2\n";
    }
    text += "f 1 2 3 4 5 6 7 8 9 10\n";
    Scene scene;
    SceneMesh& mesh = ImportText(scene, text);
    ASSERT_EQ(mesh.VertexCount(), 10u);
    ASSERT_EQ(mesh.TriangleCount(), 8u);
    EXPECT_EQ(mesh.triangleMaterials, std::vector<int>(8, 0));
    double outlineArea = 0.0;
    for (size_t k = 0; k < 10; ++k) {
        const Vec3 a = mesh.positions[k], b = mesh.positions[(k + 1) % 10];
        outlineArea += 0.5 * (double(a.x) * b.y - double(b.x) * a.y);
    }
    // Every triangle keeps the outline's winding, and together they cover exactly its area.
    double covered = 0.0;
    for (size_t t = 0; t < mesh.TriangleCount(); ++t) {
        const Vec3 a = mesh.positions[mesh.indices[3 * t]], b = mesh.positions[mesh.indices[3 * t + 1]],
                   c = mesh.positions[mesh.indices[3 * t + 2]];
        const double area = 0.5 * Pallix::Math::Cross(b - a, c - a).z;
        EXPECT_GT(area, 0.0) << t;
        covered += std::fabs(area);
    }
    EXPECT_NEAR(covered, outlineArea, 1e-5);
}

TEST(OBJImporter, FaceIndicesAreCheckedAgainstThePositionsSoFar) {
    EXPECT_EQ(ImportError(Square + "f -1 -2 -3\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 0 1 2\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 1 2 5\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError("v 0 0 0\nf 1 2 3\nv 1 0 0\nv 0 1 0\n"), "bake: Invalid face in OBJ");
    EXPECT_EQ(ImportError(Square + "f 1 x 3\n"), "import: Invalid OBJ file 'test.obj': line 5: 'x' is not a number");
    EXPECT_EQ(ImportError(Square + "f 1 2 99999999999999999999999\n"), "bake: Invalid face in OBJ");
    // A token glued to the 'f' is not a corner.
    Scene scene;
    SceneMesh& mesh = ImportText(scene, Square + "f1 2 3\nf 2 3\n");
    EXPECT_EQ(mesh.VertexCount(), 4u);
    EXPECT_TRUE(mesh.indices.empty());
}

TEST(OBJImporter, MarkCarriageReturnsAndIndentsDropNoVertex) {
    // A triangle after a square: its face names the last three vertices, so a vertex dropped
    // anywhere before it shifts the face onto other points or past the end.
    const std::string lines[] = {"v 0 0 0", "v 1 0 0", "v 1 1 0", "v 0 1 0", "v 5 5 5", "v 6 5 5", "v 5 6 5",
                                 "f 1 2 3 4", "f 5 6 7"};
    std::string plain;
    for (const std::string& line : lines) plain += line + "\n";
    Scene reference;
    const SceneMesh& expected = ImportText(reference, plain);
    ASSERT_EQ(expected.TriangleCount(), 3u);

    std::string carriageReturns, mixed = "\xEF\xBB\xBF", indented;
    for (size_t i = 0; i < std::size(lines); ++i) {
        carriageReturns += lines[i] + "\r";
        mixed += lines[i] + (i % 3 == 0 ? "\r" : i % 3 == 1 ? "\r\n" : "\n");
        indented += (i % 2 ? " \t" : "") + lines[i] + "\n";
    }
    indented.replace(indented.find("v 6"), 2, "v\t");
    for (const std::string& text : {"\xEF\xBB\xBF" + plain, carriageReturns, mixed, indented}) {
        Scene scene;
        const SceneMesh& mesh = ImportText(scene, text);
        EXPECT_EQ(mesh.positions, expected.positions);
        EXPECT_EQ(mesh.indices, expected.indices);
    }
    // Where the mark is not at the start, the line is no statement and the face fails.
    EXPECT_EQ(ImportError(plain.substr(0, 8) + "\xEF\xBB\xBF" + plain.substr(8)), "bake: Invalid face in OBJ");
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
    EXPECT_EQ(ImportError("v 1 2 x\n"), "import: Invalid OBJ file 'test.obj': line 1: 'x' is not a number");
    EXPECT_EQ(ImportError("v 0 0 0\nv 1 nan 0\n"), "import: Invalid OBJ file 'test.obj': line 2: vertex coordinate is not a finite number");
    EXPECT_NE(ImportError("v 1e39 0 0\n").find("not a finite number"), std::string::npos);
    EXPECT_NE(ImportError("v inf 0 0\n").find("not a finite number"), std::string::npos);
    // Exponents longer than any integer: beyond a double is infinite and refused, below it 0,
    // and leading zeros count for nothing.
    EXPECT_EQ(ImportError("v 0 0 0\nv 12e9223372036854775807 0 0\n"),
              "import: Invalid OBJ file 'test.obj': line 2: vertex coordinate is not a finite number");
    Scene longExponents;
    EXPECT_EQ(ImportText(longExponents, "v 0.01e-9223372036854775807 1e0000000000000000000001 -1e-99999999999999999999\nf 1 1 1\n")
                  .positions[0],
              (Vec3{0, 10, -0.0f}));

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

TEST(OBJImporter, NormalsOfMeshesFromEarlierFilesStayAsTheyAre) {
    Scene scene(NeedNormals);
    SceneMesh* earlier = scene.AddMesh("from another file");
    earlier->positions = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    earlier->normals = {{0, 0, 1}, {0, 0.6f, 0.8f}, {0, 0, 1}};
    earlier->indices = {0, 1, 2};
    ImportText(scene, Square + "f 1 2 3\n");
    EXPECT_EQ(earlier->normals, (std::vector<Vec3>{{0, 0, 1}, {0, 0.6f, 0.8f}, {0, 0, 1}}));
    KelvorTest::ExpectNear(scene.meshes[1]->normals[0], {0, 0, 1}, 1e-5f);
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

TEST(OBJImporter, ChunksGiveWhatOneReadingGives) {
    // Lines of every ending, indented statements, colours, normals, header counts and polygons
    // up to a long concave one: with chunks of a byte or a few, every line, face and line end
    // is cut somewhere, and the threads meet the chunks in any order.
    std::string text = "\xEF\xBB\xBF# RealityCapture export\r\n# 12 vertices, 9 faces\r\n#MRGB ff102030ff405060ff708090\r";
    for (int i = 0; i < 10; ++i) {
        const float angle = 0.6283185f * float(i), radius = i % 2 ? 1.0f : 0.4f;
        text += (i % 3 ? "v " : "  v\t") + std::to_string(radius * std::cos(angle)) + " " + std::to_string(radius * std::sin(angle)) +
                " 0.5" + (i % 4 == 1 ? "\r" : i % 4 == 2 ? "\r\n" : "\n");
    }
    text += "vn 0 0 1\nvn 0 0.6 0.8\nvt 0 0\ng part\nf 1//1 2//2 3//1\r\n\nf 1 2 3 4 5 6 7 8 9 10\rf 4//2 5//1\n"
            "#MRGB ff0000ff\nv 2 2 2\nv 3 2 2\nf 11/1/1 12/1/2 1/1/1 2 3\nf 12 11 10 9\nf 3 2 1";
    const ImportOutcome expected = ImportInChunks(text, text.size(), 1);
    ASSERT_EQ(expected.refusal, "");
    ASSERT_EQ(expected.indices.size(), 3u * (1 + 8 + 3 + 2 + 1));
    EXPECT_EQ(expected.colours[0], PackColour(0x10, 0x20, 0x30, 255));
    EXPECT_EQ(expected.normals[0], (Vec3{0, 0, 1}));
    for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(64), size_t(1) << 20})
        for (unsigned workers : {1u, 3u}) EXPECT_EQ(ImportInChunks(text, chunk, workers), expected) << chunk << " " << workers;

    // Refusals: the first in the file wins, with its line number, and the mesh keeps what came
    // before it. Relative and forward indices close to a chunk's start count the vertices of
    // every chunk before.
    const std::string refused[] = {
        text + "\nf 13 1 2\nv 1 x 2\n",      // a forward reference, then a bad vertex
        text + "\nv 1 x 2\nf 13 1 2\n",      // the other way round
        text + "\nf 1 2 -1\n",               // a relative index
        "v 0 0 0\nv 1 0 0\r\nf 1 2 0\rv 0 1 0\n",
        text.substr(0, 300) + "\nv nan 0 0\n" + text.substr(300),
    };
    for (const std::string& bad : refused) {
        const ImportOutcome one = ImportInChunks(bad, bad.size(), 1);
        EXPECT_NE(one.refusal, "");
        for (size_t chunk : {size_t(1), size_t(5), size_t(40)})
            for (unsigned workers : {1u, 4u}) EXPECT_EQ(ImportInChunks(bad, chunk, workers), one) << bad.size() << " " << chunk;
    }
    EXPECT_EQ(ImportInChunks(refused[0], 3, 2).refusal, "Invalid face in OBJ");
    EXPECT_EQ(ImportInChunks(refused[1], 3, 2).refusal, "Invalid OBJ file 'test.obj': line 28: 'x' is not a number");

    // Read from a file, the chunks are read where they lie.
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "chunks.obj").string();
    std::ofstream(path, std::ios::binary) << text;
    EXPECT_EQ(ImportInChunks(text, 5, 3, path), expected);
}
