// Numeric fields of OBJ and ASCII PLY text that are not one whole number ("-1,25" from a desktop
// with a decimal comma, "1.#QNAN" and "1.#IND" as one C library prints NaN), and non-finite
// texture coordinates, normals and colours. An OBJ file is read by two readers, the high-poly
// importer and the FBX importer that reads low-poly meshes and envelopes; both refuse the same.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "io/fbximporter.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"
#include "support/fbxtestwriter.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;

namespace {

// The text in single quotes (built by appending: GCC 12 warns of a concatenation it misreads).
std::string Quoted(const std::string& text) { return std::string("'").append(text).append("'"); }

// What the high-poly importer says of OBJ text, "" when it takes it.
std::string HighPolyRefusal(const std::string& text, int needs = NeedNormals) {
    Scene scene(needs);
    OBJImporter importer;
    testing::internal::CaptureStdout();
    std::string refusal;
    try {
        importer.ImportText(text.data(), text.size(), "test.obj", &scene);
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    testing::internal::GetCapturedStdout();
    return refusal;
}

// What the FBX importer says of the same text as a low-poly mesh, "" when it takes it.
std::string LowPolyRefusal(const std::string& text) {
    const KelvorTest::TempFolder folder("kelvor-numbers");
    const std::string path = (folder / "low.obj").string();
    FbxTest::WriteFile(path, text);
    Scene scene(NeedNormals | NeedTangents | NeedUVsAndColours);
    FBXImporter importer;
    importer.rejectPolygons = true;
    importer.viewName = "mayaview";
    testing::internal::CaptureStdout();
    std::string refusal;
    try {
        importer.Import(path.c_str(), &scene);
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    testing::internal::GetCapturedStdout();
    return refusal;
}

// A triangle with texture coordinates and a normal; line 8 is the face.
const std::string Triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\n";
const std::string Face = "f 1/1/1 2/2/1 3/3/1\n";

// Both readers refuse the text for its line 8 with the same problem.
void ExpectBothRefuse(const std::string& text, const std::string& problem) {
    EXPECT_EQ(HighPolyRefusal(text), "Invalid OBJ file 'test.obj': line 8: " + problem) << text;
    const std::string low = LowPolyRefusal(text);
    EXPECT_NE(low.find(": " + problem + " on line 8"), std::string::npos) << text << low;
}

const std::string PlyHeader = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                              "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
const std::string PlyFace = "3 0 1 2\n";

std::string PlyRefusal(const std::string& data, int needs = NeedNormals, unsigned workers = 1, size_t chunkBytes = DefaultChunkBytes) {
    Scene scene(needs);
    PLYImporter importer;
    importer.workers = workers;
    importer.chunkBytes = chunkBytes;
    testing::internal::CaptureStderr();
    std::string refusal;
    try {
        importer.ImportData(data.data(), data.size(), "test.ply", &scene);
    } catch (const ImportException& e) {
        refusal = e.what();
    }
    testing::internal::GetCapturedStderr();
    return refusal;
}

}  // namespace

TEST(ObjNumberFields, AFieldIsOneWholeNumberOrRefused) {
    const struct {
        std::string line, field;
    } cases[] = {
        {"v -1,25 -1,25 0,5", "-1,25"}, {"v 1.#QNAN 0 0", "1.#QNAN"}, {"v 0 1.#IND 0", "1.#IND"},
        {"v 0 0 1.5x", "1.5x"},         {"vt 0.5 1.#QNAN", "1.#QNAN"}, {"vn 0 0 1,0", "1,0"},
        {"vn 0 0 -1.#INF", "-1.#INF"},
    };
    for (const auto& c : cases) ExpectBothRefuse(Triangle + c.line + "\n" + Face, Quoted(c.field) + " is not a number");
    // In a face corner a field runs to the next '/'.
    for (const auto& [face, field] : std::vector<std::pair<std::string, std::string>>{
             {"f 1 2x 3", "2x"}, {"f 1/1x/1 2/2/1 3/3/1", "1x"}, {"f 1//1 2//1 3//1,5", "1,5"}, {"f 1,0 2 3", "1,0"}})
        ExpectBothRefuse(Triangle + face + "\n", Quoted(field) + " is not a number");
    // Indices that are integers but name no vertex keep their own refusals.
    EXPECT_EQ(HighPolyRefusal(Triangle + "f 1 2 99999999999999999999999\n"), "Invalid face in OBJ");
    EXPECT_NE(LowPolyRefusal(Triangle + "f 1 2 99999999999999999999999\n").find("bad face corner"), std::string::npos);

    // Whole numbers in every form the C library reads, and numbers past the ones read, are taken.
    const std::string fine = "v +1 -2e0 .5\nv 1. 0x 0\nv 0 1 0 0.5 0.25 1.#QNAN\nvt 0.5\nvt 1 0 1\nvt 0 1\nvn 0 0 1\n"
                             "f 1/1/1 2/2/1 3/3/1\nf 1/ 2/ 3/\n";
    EXPECT_EQ(HighPolyRefusal(fine), "Invalid OBJ file 'test.obj': line 2: '0x' is not a number");
    std::string taken = fine;
    taken.replace(taken.find("0x"), 2, "0");
    EXPECT_EQ(HighPolyRefusal(taken), "");
    EXPECT_EQ(LowPolyRefusal(taken), "");

    // Colour blocks of sculpting tools are hexadecimal.
    EXPECT_EQ(HighPolyRefusal(Triangle + "#MRGB ff102030ffzz5060\n" + Face),
              "Invalid OBJ file 'test.obj': line 8: colour block 'ffzz5060' is not hexadecimal");
    EXPECT_EQ(HighPolyRefusal(Triangle + "#MRGB ff102030ffA0b0C0\n" + Face), "");
}

TEST(ObjNumberFields, TexCoordsAndNormalsAreFiniteInBothReaders) {
    for (const char* line : {"vt 1e309 0", "vt inf 0", "vt nan 0", "vt 0 1e39", "vt -1e309"})
        ExpectBothRefuse(Triangle + line + "\n" + Face, "texture coordinate is not a finite number");
    for (const char* line : {"vn 1e309 0 0", "vn 0 -inf 0", "vn 0 0 nan", "vn 1e39 0 1"})
        ExpectBothRefuse(Triangle + line + "\n" + Face, "normal is not a finite number");
    // Lines cut short, as vertices are.
    ExpectBothRefuse(Triangle + "vn 0 1\n" + Face, "a normal needs three coordinates");
    ExpectBothRefuse(Triangle + "vt\n" + Face, "a texture coordinate needs a number");

    // The high-poly importer reads neither into the mesh, but refuses them whatever the scene
    // asks for, as the other reader does.
    for (const int needs : {0, int(NeedNormals)}) {
        EXPECT_NE(HighPolyRefusal(Triangle + "vn nan 0 0\n" + Face, needs).find("line 8: normal is not a finite number"),
                  std::string::npos);
        EXPECT_NE(HighPolyRefusal(Triangle + "vt 0 nan\n" + Face, needs).find("line 8: texture coordinate is not"),
                  std::string::npos);
    }
}

TEST(PlyNumberFields, AWordIsOneWholeNumberOrRefusedWithItsLine) {
    const std::string prefix = "Invalid PLY file 'test.ply': line ";
    // The quad of the desktop with a decimal comma, and the C library's NaNs.
    EXPECT_EQ(PlyRefusal(PlyHeader + "-1,25 -1,25 0,5\n1 0 0\n0 1 0\n" + PlyFace),
              prefix + "10: '-1,25' in a vertex record is not a number");
    EXPECT_EQ(PlyRefusal(PlyHeader + "0 0 0\n1.#QNAN 0 0\n0 1 0\n" + PlyFace), prefix + "11: '1.#QNAN' in a vertex record is not a number");
    EXPECT_EQ(PlyRefusal(PlyHeader + "0 0 0\n1 0 0\n0 1.#IND 0\n" + PlyFace), prefix + "12: '1.#IND' in a vertex record is not a number");
    // Counts and indices are integers.
    for (const auto& [face, field] : std::vector<std::pair<std::string, std::string>>{
             {"3 0 1 2x", "2x"}, {"3.0 0 1 2", "3.0"}, {"3 0 1.5 2", "1.5"}, {"3 0 1 2,0", "2,0"}})
        EXPECT_EQ(PlyRefusal(PlyHeader + "0 0 0\n1 0 0\n0 1 0\n" + face + "\n"),
                  prefix + "13: " + Quoted(field) + " in a face record is not an integer");
    EXPECT_EQ(PlyRefusal("ply\nformat ascii 1.0\nelement vertex 3x\nend_header\n"),
              "Invalid PLY file 'test.ply': an element line needs a name and a record count");

    // The line is counted in the file, blank lines too, however the body is read: in chunks on
    // several threads, or record by record when an element has no properties.
    std::string body;
    for (int v = 0; v < 300; ++v) {
        if (v % 7 == 0) body += "\n";
        body.append(std::to_string(v)).append(v == 250 ? " 0 0,5\n" : " 0 0\n");
    }
    const std::string many = "ply\nformat ascii 1.0\nelement vertex 300\nproperty float x\nproperty float y\nproperty float z\n"
                             "element face 0\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string expected = prefix + std::to_string(9 + 250 + 250 / 7 + 2) + ": '0,5' in a vertex record is not a number";
    for (const unsigned workers : {1u, 3u})
        for (const size_t chunk : {size_t(16), size_t(100), DefaultChunkBytes})
            EXPECT_EQ(PlyRefusal(many + body, NeedNormals, workers, chunk), expected) << workers << " " << chunk;
    const std::string serial = "ply\nformat ascii 1.0\nelement marker 0\nelement vertex 3\nproperty float x\nproperty float y\n"
                               "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
    EXPECT_EQ(PlyRefusal(serial + "0 0 0\n\n1 0 0\n0 1. 0x\n" + PlyFace), prefix + "14: '0x' in a vertex record is not a number");
}

TEST(PlyNumberFields, NormalsAndRealColoursAreFinite) {
    const std::string header = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                               "property float nx\nproperty float ny\nproperty float nz\nproperty float red\nproperty float green\n"
                               "property float blue\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string fine = "0 0 0 0 0 1 1 1 1\n", face = "3 0 1 2\n";
    EXPECT_EQ(PlyRefusal(header + fine + fine + fine + face), "");
    // Read and checked whether or not the scene asks for normals.
    for (const int needs : {0, int(NeedNormals)}) {
        for (const char* normal : {"nan 0 1 1 1 1\n", "0 1e39 1 1 1 1\n", "0 0 -inf 1 1 1\n"})
            EXPECT_EQ(PlyRefusal(header + fine + "1 0 0 " + normal + fine + face, needs),
                      "Invalid PLY file 'test.ply': vertex 1 has a normal that is not a finite number")
                << normal;
        EXPECT_EQ(PlyRefusal(header + fine + fine + "0 1 0 0 0 1 1 inf 1\n" + face, needs),
                  "Invalid PLY file 'test.ply': vertex 2 has a colour that is not a finite number");
    }
    // A binary NaN normal as well.
    std::string binary = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                         "property float z\nproperty float nx\nproperty float ny\nproperty float nz\nelement face 1\n"
                         "property list uchar int vertex_indices\nend_header\n";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float vertices[3][6] = {{0, 0, 0, 0, 0, 1}, {1, 0, 0, 0, nan, 1}, {0, 1, 0, 0, 0, 1}};
    binary.append(reinterpret_cast<const char*>(vertices), sizeof vertices);
    const unsigned char record[13] = {3, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    binary.append(reinterpret_cast<const char*>(record), sizeof record);
    EXPECT_EQ(PlyRefusal(binary), "Invalid PLY file 'test.ply': vertex 1 has a normal that is not a finite number");
}
