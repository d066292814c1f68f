#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;

namespace {

// Imports bytes as a file; true when it loaded, false on ImportException. Any other outcome
// fails the test.
bool Loads(const std::string& bytes, const std::string& name = "input.fbx") {
    const std::string path = (TestDir() / name).string();
    WriteFile(path, bytes);
    testing::internal::CaptureStdout();
    bool loaded = false;
    try {
        ImportFile(path, AllNeeds, {true, false, ""});
        loaded = true;
    } catch (const ImportException&) {
    }
    testing::internal::GetCapturedStdout();
    return loaded;
}

std::string ErrorOf(const std::string& bytes) {
    const std::string path = (TestDir() / "error.fbx").string();
    WriteFile(path, bytes);
    testing::internal::CaptureStdout();
    std::string message;
    try {
        ImportFile(path);
    } catch (const ImportException& e) {
        message = e.what();
    }
    testing::internal::GetCapturedStdout();
    return message;
}

// A binary file with one hand-made record: Objects { Geometry with the given properties }.
std::string OneRecordFile(const std::vector<Value>& values) {
    Node objects{"Objects"};
    objects.Add({"Geometry", values});
    return Write({objects}, {});
}

}  // namespace

TEST(FbxCorrupt, EveryTruncationOfABinaryFileFails) {
    for (const Format& format : {Format{Encoding::Binary, 7400, false}, Format{Encoding::Binary, 7500, true}}) {
        const std::string file = WriteScene(CubeScene(), format);
        ASSERT_TRUE(Loads(file));
        // Everything before the closing null record is needed; what follows it is padding.
        const size_t footer = 16 + 4 + 16;
        for (size_t length = 0; length < file.size() - footer; length += 1 + length / 64)
            EXPECT_FALSE(Loads(file.substr(0, length))) << format.Describe() << " cut at " << length;
    }
}

TEST(FbxCorrupt, TruncatedAsciiFilesFailInsideARecord) {
    const std::string file = WriteScene(CubeScene(), {Encoding::Ascii, 7400, false});
    ASSERT_TRUE(Loads(file));
    for (const char* cut : {"Vertices: *24 {", "a: 0,3,2", "\"Lcl Rotation\", \"Lcl", "C: \"OO\", 10"}) {
        const size_t at = file.find(cut);
        ASSERT_NE(at, std::string::npos) << cut;
        EXPECT_FALSE(Loads(file.substr(0, at + std::strlen(cut)))) << cut;
    }
    // Cut anywhere, the file loads or fails cleanly.
    for (size_t length = 0; length < file.size(); length += 1 + length / 32) Loads(file.substr(0, length));
}

TEST(FbxCorrupt, RandomDamageNeverCrashes) {
    std::mt19937 random(1234);
    for (const Format& format : AllFormats()) {
        const std::string file = WriteScene(CubeScene(), format);
        for (int round = 0; round < 300; ++round) {
            std::string damaged = file;
            const int flips = 1 + int(random() % 8);
            for (int i = 0; i < flips; ++i) damaged[random() % damaged.size()] = char(random());
            Loads(damaged);
        }
    }
}

TEST(FbxCorrupt, LyingLengthsAreRefusedBeforeAllocating) {
    // A raw array claiming four billion entries in twelve bytes.
    std::string file = OneRecordFile({Value::Doubles({1, 2, 3})});
    const size_t array = file.find("Geometry") + 8 + 1;
    const uint32_t huge = 0xFFFFFFF0u;
    std::memcpy(&file[array], &huge, 4);
    EXPECT_NE(ErrorOf(file).find("array of 4294967280 entries"), std::string::npos) << ErrorOf(file);

    // A compressed array claiming far more than its bytes can inflate to.
    Format zlib{Encoding::Binary, 7400, true};
    Node objects{"Objects"};
    objects.Add({"Geometry", {Value::Doubles({1, 2, 3})}});
    file = Write({objects}, zlib);
    std::memcpy(&file[array], &huge, 4);
    EXPECT_NE(ErrorOf(file).find("compressed array"), std::string::npos);

    // Compressed bytes that are not a zlib stream, in an array that is read.
    SceneData triangle;
    AddTriangleModel(triangle, "tri");
    file = WriteScene(triangle, zlib);
    file[file.find("Vertices") + 8 + 1 + 12 + 3] ^= 0x55;
    EXPECT_NE(ErrorOf(file).find("corrupt compressed array"), std::string::npos);

    // A record whose end lies past the end of the file.
    file = Write({objects}, {});
    const uint32_t far = uint32_t(file.size() + 100);
    std::memcpy(&file[27], &far, 4);
    EXPECT_NE(ErrorOf(file).find("outside its parent"), std::string::npos);

    // A property count that the property bytes cannot hold, two bytes being the least a property takes.
    file = Write({Node{"Geometry", {Value::Int(1)}}}, {});
    const uint32_t three = 3;
    std::memcpy(&file[27 + 4], &three, 4);
    EXPECT_NE(ErrorOf(file).find("claims more properties than bytes"), std::string::npos) << ErrorOf(file);

    // An unknown property type code.
    file = OneRecordFile({Value::Int(1)});
    file[array - 1] = 'Q';
    EXPECT_NE(ErrorOf(file).find("unknown property type"), std::string::npos);
}

TEST(FbxCorrupt, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    Node innermost{"Leaf", {Value::Int(1)}};
    for (int depth = 0; depth < 5000; ++depth) {
        Node outer{"N"};
        outer.children.push_back(std::move(innermost));
        innermost = std::move(outer);
    }
    EXPECT_NE(ErrorOf(Write({innermost}, {Encoding::Binary, 7500, false})).find("nested too deeply"), std::string::npos);
    std::string ascii = "; FBX 7.4.0 project file\nFBXHeaderExtension: {\nFBXVersion: 7400\n}\n";
    for (int depth = 0; depth < 100000; ++depth) ascii += "N: {";
    EXPECT_NE(ErrorOf(ascii).find("nested too deeply"), std::string::npos);
}

TEST(FbxCorrupt, BadMeshContentThrowsImportException) {
    SceneData data;
    AddTriangleModel(data, "tri");
    data.meshes[0].polygonVertexIndex = {0, 1, ~3};
    EXPECT_NE(ErrorOf(WriteScene(data, {})).find("uses control point 3 of 3"), std::string::npos);
    data.meshes[0].polygonVertexIndex = {0, 1, ~2};
    data.meshes[0].vertices.pop_back();
    EXPECT_NE(ErrorOf(WriteScene(data, {})).find("not a multiple of 3"), std::string::npos);

    // A connection that names no objects.
    std::vector<Node> records = data.Records({});
    records.back().Add({"C", {Value::String("OO"), Value::String("x")}});
    data.meshes[0].vertices.push_back(0);
    EXPECT_NE(ErrorOf(Write(records, {})).find("connection"), std::string::npos);
}

TEST(FbxCorrupt, UnrecognisedContentFailsAtInitialisation) {
    EXPECT_NE(ErrorOf("").find("Unexpected file type"), std::string::npos);
    EXPECT_NE(ErrorOf("ply\nformat ascii 1.0\n").find("Unexpected file type"), std::string::npos);
    EXPECT_NE(ErrorOf(std::string("Kaydara FBX Binary  \0\x1a", 22)).find("truncated"), std::string::npos);
}

TEST(FbxCorrupt, CoordinatesOutsideSinglePrecisionAreRefused) {
    // NaN, infinity, and a double beyond the float range, in every encoding.
    for (double bad : {std::nan(""), HUGE_VAL, 1e39}) {
        SceneData data;
        AddTriangleModel(data, "tri");
        data.meshes[0].vertices[4] = bad;
        for (const Format& format : {Format{Encoding::Binary, 7400, false}, Format{Encoding::Ascii, 7400, false}}) {
            if (format.encoding == Encoding::Ascii && !std::isfinite(bad)) continue;  // no text form
            EXPECT_NE(ErrorOf(WriteScene(data, format)).find("Control point 1 of mesh 'tri' has a coordinate that is not a finite number"),
                      std::string::npos)
                << bad << " " << format.Describe();
        }
    }
    // A transform that makes every point infinite.
    SceneData scaled;
    AddTriangleModel(scaled, "tri");
    scaled.models[0].properties = {VectorProperty("Lcl Scaling", 1e39, 1, 1)};
    EXPECT_NE(ErrorOf(WriteScene(scaled, {})).find("transform of mesh 'tri'"), std::string::npos);
    // OBJ text read through the FBX importer refuses them as the OBJ importer does.
    for (const char* line : {"v nan 0 0\n", "v 1e400 0 0\n", "v 0 1e39 0\n", "v 0 0 -inf\n"}) {
        const std::string error = ErrorOf(std::string("v 0 0 0\n") + line + "v 1 1 0\nf 1 2 3\n");
        EXPECT_NE(error.find("vertex coordinate is not a finite number on line 2"), std::string::npos) << line << error;
    }
}
