#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/scene.h"
#include "importoutcome.h"
#include "io/ply.h"
#include "io/plyimporter.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

namespace {

SceneMesh& Import(Scene& scene, const std::string& data) {
    PLYImporter importer;
    importer.ImportData(data.data(), data.size(), "test.ply", &scene);
    return *scene.meshes.back();
}

std::string ImportError(const std::string& data) {
    Scene scene;
    try {
        Import(scene, data);
    } catch (const ImportException& e) {
        return e.what();
    }
    return "none";
}

// Appends a value in the byte order of the file.
template <typename T>
void Put(std::string& out, T value, bool bigEndian) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if (bigEndian) std::reverse(bytes, bytes + sizeof(T));
    out.append(bytes, sizeof(T));
}

// A tetrahedron with coloured vertices, after an element the importer does not use.
std::string BinaryTetrahedron(bool bigEndian) {
    std::string out = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                      " 1.0\ncomment made in a test\nelement camera 2\nproperty double view\nproperty uchar id\n"
                      "element vertex 4\nproperty float x\nproperty float y\nproperty float z\nproperty uchar red\n"
                      "property uchar green\nproperty uchar blue\nproperty short extra\n"
                      "element face 4\nproperty uchar flags\nproperty list uchar int vertex_indices\nend_header\n";
    for (int i = 0; i < 2; ++i) {
        Put(out, 1.5 * i, bigEndian);
        Put<uint8_t>(out, uint8_t(i), bigEndian);
    }
    const float xyz[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int v = 0; v < 4; ++v) {
        for (float c : xyz[v]) Put(out, c, bigEndian);
        Put<uint8_t>(out, uint8_t(10 * v), bigEndian);
        Put<uint8_t>(out, 20, bigEndian);
        Put<uint8_t>(out, 30, bigEndian);
        Put<int16_t>(out, -5, bigEndian);
    }
    const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    for (const auto& face : faces) {
        Put<uint8_t>(out, 7, bigEndian);
        Put<uint8_t>(out, 3, bigEndian);
        for (int index : face) Put<int32_t>(out, index, bigEndian);
    }
    return out;
}

ImportOutcome ImportInChunks(const std::string& data, size_t chunkBytes, unsigned workers, const std::string& path = {}) {
    testing::internal::CaptureStderr();  // the warnings of missing colours are not compared
    return RecordImport(
        [&](Scene& scene) {
            PLYImporter importer;
            importer.chunkBytes = chunkBytes;
            importer.workers = workers;
            if (path.empty()) importer.ImportData(data.data(), data.size(), "test.ply", &scene);
            else importer.Import(path.c_str(), &scene);
        },
        [] {
            testing::internal::GetCapturedStderr();
            return std::string();
        });
}

const std::string AsciiHeader = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n";

}  // namespace

TEST(PLYImporter, AsciiTriangleWithoutColours) {
    Scene scene;
    testing::internal::CaptureStderr();
    SceneMesh& mesh = Import(scene, AsciiHeader + "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                                                  "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(warnings, "Warning:  Can't find property 'red' in element 'vertex'\n"
                        "Warning:  Can't find property 'green' in element 'vertex'\n"
                        "Warning:  Can't find property 'blue' in element 'vertex'\n");
    EXPECT_EQ(mesh.name, "object");
    EXPECT_EQ(scene.materials[0]->name, "unsupported");
    ASSERT_EQ(mesh.VertexCount(), 3u);
    EXPECT_EQ(mesh.positions[1], (Vec3{1, 0, 0}));
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(mesh.triangleMaterials, (std::vector<int>{0}));
    EXPECT_EQ(mesh.colours, std::vector<Colour32>(3, ColourWhite));
    EXPECT_TRUE(mesh.normals.empty());  // the scene asked for no normals
}

TEST(PLYImporter, PolygonsAndLongLists) {
    Scene scene;
    std::string faces = "element face 2\nproperty list int int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n4 0 1 2 1\n259";
    // All 259 corners count, not 259 mod 256 = 3: the last corner closes the fan.
    for (int i = 0; i < 259; ++i) faces += i < 3 ? " " + std::to_string(2 - i) : std::string(i < 258 ? " 0" : " 1");
    SceneMesh& mesh = Import(scene, AsciiHeader + faces + "\n");
    ASSERT_EQ(mesh.TriangleCount(), 2u + 257u);
    EXPECT_EQ(std::vector<uint32_t>(mesh.indices.begin(), mesh.indices.begin() + 9), (std::vector<uint32_t>{0, 1, 2, 0, 2, 1, 2, 1, 0}));
    EXPECT_EQ(std::vector<uint32_t>(mesh.indices.end() - 3, mesh.indices.end()), (std::vector<uint32_t>{2, 0, 1}));

    // A 300-corner disc in a binary file with a ushort count keeps every corner.
    std::string disc = "ply\nformat binary_little_endian 1.0\nelement vertex 300\nproperty float x\nproperty float y\n"
                       "property float z\nelement face 1\nproperty list ushort uint vertex_indices\nend_header\n";
    for (int i = 0; i < 300; ++i) {
        const float angle = 6.2831853f * float(i) / 300.0f;
        for (float c : {std::cos(angle), std::sin(angle), 0.0f}) Put(disc, c, false);
    }
    Put<uint16_t>(disc, 300, false);
    for (uint32_t i = 0; i < 300; ++i) Put(disc, i, false);
    Scene discScene;
    SceneMesh& fan = Import(discScene, disc);
    ASSERT_EQ(fan.TriangleCount(), 298u);
    EXPECT_EQ(fan.indices[3 * 297 + 2], 299u);
}

TEST(PLYImporter, BothByteOrdersGiveTheSameMesh) {
    Scene little(NeedNormals), big(NeedNormals);
    SceneMesh& a = Import(little, BinaryTetrahedron(false));
    SceneMesh& b = Import(big, BinaryTetrahedron(true));
    ASSERT_EQ(a.VertexCount(), 4u);
    EXPECT_EQ(a.positions, b.positions);
    EXPECT_EQ(a.indices, b.indices);
    EXPECT_EQ(a.indices, (std::vector<uint32_t>{0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3}));
    EXPECT_EQ(a.colours, b.colours);
    EXPECT_EQ(a.colours[3], PackColour(30, 20, 30, 255));
    EXPECT_EQ(a.normals, b.normals);
    // The file has no normals: the apex (0, 0, 1) takes its three faces' normals weighted by
    // the corner angles there, a quarter turn on two faces and a sixth on the slanted one.
    ASSERT_EQ(a.normals.size(), 4u);
    const float pi = 3.14159265f;
    const Vec3 apex = KelvorTest::Unit(Vec3{0, -1, 0} * (pi / 4) + Vec3{-1, 0, 0} * (pi / 4) +
                                       KelvorTest::Unit({1, 1, 1}) * (pi / 3));
    KelvorTest::ExpectNear(a.normals[3], apex, 1e-5f);
}

TEST(PLYImporter, VerticesTakeTheFileNormalsOrBuiltOnes) {
    const std::string header = "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n";
    const std::string faces = "element face 3\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string body = "3 0 1 2\n3 1 3 2\n3 1 1 4\n";  // the last one has no area
    Scene given(NeedNormals);
    SceneMesh& a = Import(given, header + "property float nx\nproperty float ny\nproperty float nz\n" + faces +
                                     "0 0 0 0 0.6 0.8\n1 0 0 0 0 1\n0 1 0 0 0 0\n1 1 0 0 0 1\n0 0 7 0 0 1\n" + body);
    ASSERT_EQ(a.normals.size(), 5u);
    EXPECT_EQ(a.normals[0], (Vec3{0, 0.6f, 0.8f}));
    EXPECT_EQ(a.normals[3], (Vec3{0, 0, 1}));
    KelvorTest::ExpectNear(a.normals[2], {0, 0, 1}, 1e-5f);  // a zero normal counts as none

    // Without them every vertex is built, and the face without area adds nothing.
    Scene built(NeedNormals);
    SceneMesh& b = Import(built, header + faces + "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 7\n" + body);
    for (size_t v = 0; v < 4; ++v) KelvorTest::ExpectNear(b.normals[v], {0, 0, 1}, 1e-5f);
    EXPECT_EQ(b.normals[4], (Vec3{}));  // in no face with an area

    // Meshes that earlier files added keep their normals.
    Scene scene(NeedNormals);
    SceneMesh* earlier = scene.AddMesh("from another file");
    earlier->positions = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    earlier->normals = {{0, 0, 1}, {0, 0.6f, 0.8f}, {0, 0, 1}};
    earlier->indices = {0, 1, 2};
    Import(scene, header + faces + "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 7\n" + body);
    EXPECT_EQ(earlier->normals, (std::vector<Vec3>{{0, 0, 1}, {0, 0.6f, 0.8f}, {0, 0, 1}}));
}

TEST(PLYImporter, WindowsLineEndsAndRealColours) {
    const std::string unix = "ply\nformat ascii 1.0\ncomment from a scanner\nelement vertex 4\nproperty float x\n"
                             "property float y\nproperty float z\nproperty float red\nproperty float green\n"
                             "property float blue\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                             "0 0 0 0.5 1 0\n1 0 0 1.5 -0.25 0.002\n1 1 0 -3 0.999 0.998\n0 1 0 0 0 0\n4 0 1 2 3\n";
    std::string windows;
    for (char c : unix) windows += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Scene fromUnix, fromWindows;
    SceneMesh& a = Import(fromUnix, unix);
    SceneMesh& b = Import(fromWindows, windows);
    EXPECT_EQ(a.positions, b.positions);
    EXPECT_EQ(a.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
    EXPECT_EQ(a.indices, b.indices);
    EXPECT_EQ(a.colours, b.colours);
    // Reals from 0 to 1 scale to bytes, rounded and clamped.
    ASSERT_EQ(a.colours.size(), 4u);
    EXPECT_EQ(a.colours[0], PackColour(128, 255, 0, 255));
    EXPECT_EQ(a.colours[1], PackColour(255, 0, 1, 255));
    EXPECT_EQ(a.colours[2], PackColour(0, 255, 254, 255));
}

TEST(PLYImporter, ReaderConvertsTypesAndSpellings) {
    EXPECT_EQ(PlyTypeFromName("int"), PlyInt32);
    EXPECT_EQ(PlyTypeFromName("float64"), PlyFloat64);
    EXPECT_EQ(PlyTypeFromName("Float"), PlyInvalid);
    EXPECT_EQ(PlyTypeFromName("int64"), PlyInvalid);
    EXPECT_EQ(get_ascii_item("-2.75", PlyFloat32).intValue, -2);
    EXPECT_EQ(get_ascii_item("4000000000", PlyUint32).unsignedValue, 4000000000u);
    EXPECT_EQ(get_ascii_item("1e300", PlyFloat64).intValue, INT32_MAX);  // no undefined conversion
    EXPECT_THROW(get_ascii_item("abc", PlyInt32), std::invalid_argument);
    EXPECT_THROW(get_ascii_item("1", PlyInvalid), std::domain_error);

    const std::string header = "ply\nformat ascii 1.0\ncomment \t two words\nobj_info scanner\nelement thing 1\n"
                               "property \"quoted name\" oddity\nproperty list uchar float values\nend_header\n";
    auto reader = ply_open_header(header.data(), header.size(), "h.ply");
    EXPECT_EQ(reader->fileType, PlyAscii);
    EXPECT_EQ(reader->comments, (std::vector<std::string>{"two words"}));
    EXPECT_EQ(reader->objInfo, (std::vector<std::string>{"scanner"}));
    ASSERT_EQ(reader->elements.size(), 1u);
    EXPECT_EQ(reader->elements[0].properties[0].name, "oddity");
    EXPECT_EQ(reader->elements[0].properties[0].externalType, PlyInvalid);
    EXPECT_EQ(reader->elements[0].properties[1].kind, PlyList);
    EXPECT_EQ(reader->elements[0].properties[1].countExternalType, PlyUint8);
}

TEST(PLYImporter, MalformedFilesAreRefusedWithTheirReason) {
    const std::string faces = "element face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n";
    EXPECT_EQ(ImportError(""), "Invalid PLY file 'test.ply': the file is empty");
    EXPECT_EQ(ImportError("PLY\nformat ascii 1.0\nend_header\n"), "Invalid PLY file 'test.ply': it does not start with the line \"ply\"");
    EXPECT_EQ(ImportError("ply\nFormat ascii 1.0\nend_header\n"), "Invalid PLY file 'test.ply': the header has no format line");
    EXPECT_EQ(ImportError("ply\nformat ascii 1.0\nelement vertex -3\nend_header\n"),
              "Invalid PLY file 'test.ply': an element line needs a name and a record count");
    EXPECT_EQ(ImportError(AsciiHeader + faces + "3 0 1 3\n"), "Invalid PLY file 'test.ply': face 0 uses vertex 3 of 3");
    EXPECT_EQ(ImportError(AsciiHeader + faces + "3 0 -1 2\n"), "Invalid PLY file 'test.ply': face 0 uses vertex -1 of 3");
    EXPECT_EQ(ImportError(AsciiHeader + faces + "3 0 1\n"),
              "Invalid PLY file 'test.ply': a list in element 'face' runs past the end of its record");
    EXPECT_EQ(ImportError(AsciiHeader + "end_header\n0 0 0\n1 0\n"), "Invalid PLY file 'test.ply': line 9: a vertex record has too few values");
    EXPECT_EQ(ImportError(AsciiHeader + "end_header\n0 0 0\n"), "Invalid PLY file 'test.ply': the file ends before the last vertex record");
    EXPECT_EQ(ImportError(AsciiHeader + "end_header\n0 0 0\n1 x 0\n"),
              "Invalid PLY file 'test.ply': line 9: 'x' in a vertex record is not a number");
    EXPECT_EQ(ImportError(AsciiHeader + "end_header\n0 0 0\n1 nan 0\n0 0 0\n"),
              "Invalid PLY file 'test.ply': vertex 1 has a coordinate that is not a finite number");
    EXPECT_EQ(ImportError(AsciiHeader + "end_header\n0 0 0\n12e9223372036854775807 0 0\n0 0 0\n"),
              "Invalid PLY file 'test.ply': vertex 1 has a coordinate that is not a finite number");
    {
        Scene scene;
        testing::internal::CaptureStderr();
        const SceneMesh& mesh = Import(scene, AsciiHeader + "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                                                            "0.01e-9223372036854775807 1e0000000000000000000001 0\n1 0 0\n0 1 0\n3 0 1 2\n");
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(mesh.positions[0], (Vec3{0, 10, 0}));
    }
    // List counts of 2^31 and more, in a signed or unsigned type, are more than a list can hold.
    EXPECT_EQ(ImportError(AsciiHeader + "element face 1\nproperty list uint int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n"
                                        "2147483648 0 1 2\n"),
              "Invalid PLY file 'test.ply': a list in element 'face' has a count too large (2147483648)");
    std::string unsignedCount = "ply\nformat binary_little_endian 1.0\nelement vertex 0\nelement face 1\n"
                                "property list uint int vertex_indices\nend_header\n";
    Put<uint32_t>(unsignedCount, 4000000000u, false);
    EXPECT_EQ(ImportError(unsignedCount), "Invalid PLY file 'test.ply': a list in element 'face' has a count too large (4000000000)");
    EXPECT_EQ(ImportError("ply\nformat ascii 1.0\nelement vertex 1\nproperty float y\nproperty float z\nend_header\n0 0\n"),
              "Invalid PLY file 'test.ply': the vertex element has no property 'x'");
    EXPECT_EQ(ImportError("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                          "property int128 w\nend_header\n0 0 0 0\n"),
              "Invalid PLY file 'test.ply': a property of element 'vertex' has an unknown value type");

    // Binary bodies: counts are checked against what the file holds (more in the corpus).
    std::string hugeList = "ply\nformat binary_little_endian 1.0\nelement vertex 0\nelement face 1\n"
                           "property list int int vertex_indices\nend_header\n";
    Put<int32_t>(hugeList, 2000000000, false);
    EXPECT_EQ(ImportError(hugeList), "Invalid PLY file 'test.ply': a list in element 'face' runs past the end of its record");

    // An ASCII body read record by record (an element without properties makes its lines
    // ambiguous) sets room aside only for the records its bytes can hold, not for the count the
    // header claims.
    Scene scene(NeedNormals);
    const std::string claim = "ply\nformat ascii 1.0\nelement empty 0\nelement vertex 2147483647\nproperty float x\n"
                              "property float y\nproperty float z\n" + faces + "3 0 1 2\n";
    PLYImporter importer;
    EXPECT_THROW(importer.ImportData(claim.data(), claim.size(), "test.ply", &scene), ImportException);
    ASSERT_EQ(scene.meshes.size(), 1u);
    EXPECT_EQ(scene.meshes[0]->positions.size(), 4u);  // "3 0 1" makes a fourth vertex before the body ends
    EXPECT_LT(scene.meshes[0]->positions.capacity(), 100u);
}

TEST(PLYImporter, FaceListNamesAndOtherElements) {
    const std::string header = "ply\nformat ascii 1.0\nelement note 2\nproperty string text\nproperty list uchar int ids\n"
                               "element vertex 3\nproperty double x\nproperty double y\nproperty double z\n"
                               "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    const std::string records = "\"a note\" 2 5 6\nb 0\n0 0 0 1 2 3\n1 0 0 4 5 6\n0 1 0 7 8 9\n3 0 1 2\n3 2 1 0\n";
    // Many tools name the face list "vertex_index".
    Scene scene;
    testing::internal::CaptureStderr();
    SceneMesh& mesh =
        Import(scene, header + "element face 2\nproperty list uchar int vertex_index\nelement tail 1\nproperty int128 w\n"
                               "end_header\n" + records);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(mesh.VertexCount(), 3u);
    EXPECT_EQ(mesh.colours[2], PackColour(7, 8, 9, 255));
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{0, 1, 2, 2, 1, 0}));

    // A file that holds no faces would bake blank maps: it is refused.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ImportError(header + "element face 2\nproperty list uchar int other\nend_header\n" + records),
              "Invalid PLY file 'test.ply': the face element has no list 'vertex_indices' or 'vertex_index'");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Can't find property 'vertex_indices' in element 'face'"),
              std::string::npos);
    EXPECT_EQ(ImportError(header + "end_header\n" + records), "Invalid PLY file 'test.ply': it has no faces");
    EXPECT_EQ(ImportError(header + "element face 0\nproperty list uchar int vertex_indices\nend_header\n" + records),
              "Invalid PLY file 'test.ply': it has no faces");
}

TEST(PLYImporter, ReadsFilesAndNamesMissingOnes) {
    Scene scene;
    PLYImporter importer;
    try {
        importer.Import("/nonexistent/kelvor.ply", &scene);
        FAIL() << "no exception";
    } catch (const ImportException& e) {
        EXPECT_STREQ(e.what(), "Can not open PLY file '/nonexistent/kelvor.ply'");
    }
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "mesh.ply").string();
    // Large enough to span several reads of the file.
    std::string data = "ply\nformat binary_little_endian 1.0\nelement vertex 300000\nproperty float x\nproperty float y\n"
                       "property float z\nelement face 1\nproperty list uchar uint vertex_indices\nend_header\n";
    for (int v = 0; v < 300000; ++v) {
        Put(data, float(v), false);
        Put(data, 0.0f, false);
        Put(data, 1.0f, false);
    }
    Put<uint8_t>(data, 3, false);
    for (uint32_t index : {299999u, 1u, 2u}) Put(data, index, false);
    std::ofstream(path, std::ios::binary) << data;
    Scene fromFile;
    importer.Import(path.c_str(), &fromFile);
    SceneMesh& mesh = *fromFile.meshes[0];
    EXPECT_EQ(mesh.VertexCount(), 300000u);
    EXPECT_EQ(mesh.positions[299999], (Vec3{299999.0f, 0, 1}));
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{299999, 1, 2}));
}

TEST(PLYImporter, RunsOfRecordsGiveWhatOneReadingGives) {
    // A disc of vertices and faces whose sizes vary, after an element the importer passes over:
    // `corners` gives each face's corner count, `values` (if any) the length of a second list.
    auto binary = [](bool bigEndian, const std::vector<int>& corners, int vertices, const std::vector<int>& values = {}) {
        std::string out = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                          " 1.0\nelement note 3\nproperty list uchar short ids\nproperty double weight\n"
                          "element vertex " + std::to_string(vertices) + "\nproperty float x\nproperty float y\nproperty float z\n"
                          "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty float nx\nproperty float ny\n"
                          "property float nz\nelement face " + std::to_string(corners.size()) +
                          "\nproperty uchar flags\nproperty list ushort int vertex_indices\n" +
                          (values.empty() ? "" : "property list uchar float texcoord\n") + "end_header\n";
        for (int n = 0; n < 3; ++n) {
            Put<uint8_t>(out, uint8_t(n), bigEndian);
            for (int k = 0; k < n; ++k) Put<int16_t>(out, int16_t(k), bigEndian);
            Put(out, 0.5 * n, bigEndian);
        }
        for (int v = 0; v < vertices; ++v) {
            const float angle = 0.1f * float(v);
            for (float c : {std::cos(angle), std::sin(angle), 0.01f * float(v)}) Put(out, c, bigEndian);
            for (int c = 0; c < 3; ++c) Put<uint8_t>(out, uint8_t(v * 7 + c), bigEndian);
            for (float c : {0.0f, float(v % 3 == 0), 1.0f}) Put(out, c, bigEndian);
        }
        for (size_t f = 0; f < corners.size(); ++f) {
            Put<uint8_t>(out, 1, bigEndian);
            Put<uint16_t>(out, uint16_t(corners[f]), bigEndian);
            for (int k = 0; k < corners[f]; ++k) Put<int32_t>(out, int32_t((f * 3 + size_t(k)) % size_t(vertices)), bigEndian);
            if (values.empty()) continue;
            Put<uint8_t>(out, uint8_t(values[f]), bigEndian);
            for (int k = 0; k < values[f]; ++k) Put(out, 0.5f, bigEndian);
        }
        return out;
    };
    const std::vector<int> triangles(40, 3);
    std::vector<int> mixed = triangles;
    mixed[29] = 5;  // one pentagon where every face so far was a triangle
    mixed[33] = 2;
    std::vector<std::string> files;
    for (bool bigEndian : {false, true})
        for (const auto& corners : {triangles, mixed}) files.push_back(binary(bigEndian, corners, 30));
    // With a second list, a face of the same corners can change the size the first face gives,
    // and faces of other corners can keep it.
    std::vector<int> longer(40, 2), shorter(40, 2);
    longer[11] = 3;
    shorter[29] = 0;
    shorter[33] = 3;
    files.push_back(binary(false, triangles, 30, longer));
    files.push_back(binary(false, mixed, 30, shorter));
    const std::string good = binary(false, mixed, 30);
    files.push_back(good.substr(0, good.size() - 20));  // cut inside the faces
    files.push_back(good.substr(0, good.size() - 800));  // cut inside the vertices
    std::string badIndex = binary(false, mixed, 30);
    badIndex[badIndex.size() - 4 * 15 + 3] = 99;  // the first corner of the fourth face from the end
    files.push_back(badIndex);
    // Vertices with a list: one longer record moves every later one, whose bytes, read from
    // where they would be without it, still make records.
    std::string tagged = "ply\nformat binary_little_endian 1.0\nelement vertex 30\nproperty float x\nproperty float y\n"
                         "property float z\nproperty list uchar uchar tags\nelement face 1\n"
                         "property list uchar int vertex_indices\nend_header\n";
    for (int v = 0; v < 30; ++v) {
        for (float c : {float(v), 1.0f, 0.0f}) Put(tagged, c, false);
        Put<uint8_t>(tagged, v == 5 ? 1 : 0, false);
        if (v == 5) Put<uint8_t>(tagged, 7, false);
    }
    Put<uint8_t>(tagged, 3, false);
    for (int32_t index : {29, 5, 6}) Put(tagged, index, false);
    files.push_back(tagged);
    // ASCII: blank and CR LF lines, quoted words, a skipped element before the vertices.
    files.push_back("ply\nformat ascii 1.0\nelement note 2\nproperty string text\nproperty list uchar int ids\n" +
                    AsciiHeader.substr(21) + "property uchar red\nelement face 4\nproperty list int int vertex_index\nend_header\n"
                    "\"a note\" 2 5 6\r\n\n b 0\n0 0 0 9\n  \n1 0 0 8\r\n0 1 0 7\n3 0 1 2\n4 2 1 0 1\n\t\n3 1 2 0\r\n1 0\n");
    files.push_back(files.back().substr(0, files.back().size() - 12));
    files.push_back(files[files.size() - 2] + "x\n");
    // An element without properties makes every record a line whether blank or not.
    files.push_back("ply\nformat ascii 1.0\nelement empty 2\n" + AsciiHeader.substr(21) +
                    "element face 1\nproperty list uchar int vertex_indices\nend_header\n\n\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");

    for (const std::string& file : files) {
        const ImportOutcome one = ImportInChunks(file, file.size(), 1);
        for (size_t chunk : {size_t(1), size_t(13), size_t(100)})
            for (unsigned workers : {1u, 3u}) EXPECT_EQ(ImportInChunks(file, chunk, workers), one) << file.size() << " " << chunk;
    }
    const ImportOutcome little = ImportInChunks(files[1], 1 << 20, 1);
    EXPECT_EQ(little.refusal, "");
    EXPECT_EQ(little.indices.size(), 3u * (38 + 3));
    EXPECT_EQ(little.colours[2], PackColour(14, 15, 16, 255));
    EXPECT_EQ(little, ImportInChunks(files[3], 1 << 20, 1));  // the same mesh from big-endian bytes
    EXPECT_EQ(ImportInChunks(files[6], 1 << 20, 1).refusal,
              "Invalid PLY file 'test.ply': a list in element 'face' runs past the end of its record");
    EXPECT_EQ(ImportInChunks(files[7], 1 << 20, 1).refusal, "Invalid PLY file 'test.ply': the file ends inside a record");
    EXPECT_EQ(ImportInChunks(files[8], 1 << 20, 1).refusal, "Invalid PLY file 'test.ply': face 36 uses vertex 99 of 30");
    EXPECT_EQ(ImportInChunks(files[10], 1 << 20, 1).indices, (std::vector<uint32_t>{0, 1, 2, 2, 1, 0, 2, 0, 1, 1, 2, 0}));
    EXPECT_EQ(ImportInChunks(files[12], 1 << 20, 1).refusal, "");
    EXPECT_EQ(ImportInChunks(files[4], 1 << 20, 1).indices, ImportInChunks(files[0], 1 << 20, 1).indices);
    EXPECT_EQ(ImportInChunks(files[5], 1 << 20, 1).indices, little.indices);
    EXPECT_EQ(ImportInChunks(files[9], 1 << 20, 1).positions[29], (Vec3{29, 1, 0}));

    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "runs.ply").string();
    std::ofstream(path, std::ios::binary) << files[1];
    EXPECT_EQ(ImportInChunks(files[1], 7, 3, path), little);
}
