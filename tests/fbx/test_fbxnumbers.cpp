// Numbers in FBX files that are no usable numbers: values beyond a double, integers beyond 64 bits,
// words where a property needs a number, and non-finite layer values. Each is refused with the
// record, property, mesh or model it sits in, in every role a mesh file can have in a bake.
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fbxtesthelpers.h"
#include "geometry/scene.h"
#include "io/sceneimporter.h"

using namespace FbxTest;
using Pallix::Bake::ImportException;

namespace {

const Format Ascii{Encoding::Ascii, 7400, false};

// The importer's options and the Scene's needs for each role of a mesh file.
struct Role {
    const char* name;
    Options options;
    int needs;
};
const std::vector<Role>& Roles() {
    static const std::vector<Role> roles{{"high-poly", {true, false, "gameview"}, Pallix::Bake::NeedNormals},
                                         {"low-poly", {false, true, "mayaview"}, AllNeeds},
                                         {"envelope", {true, false, ""}, Pallix::Bake::NeedNormals}};
    return roles;
}

// What importing the file in the role gave: the refusal, or "" when it was accepted.
std::string Refusal(const std::string& contents, const Role& role) {
    const std::string path = (TestDir() / "numbers.fbx").string();
    WriteFile(path, contents);
    testing::internal::CaptureStdout();
    std::string message;
    try {
        ImportFile(path, role.needs, role.options);
    } catch (const ImportException& e) {
        message = e.what();
    }
    testing::internal::GetCapturedStdout();
    return message;
}

// The scene as ASCII text with the first `marker` replaced by `text`, as another writer would
// have put it there.
std::string AsciiWith(const SceneData& data, const std::string& marker, const std::string& text) {
    std::string file = WriteScene(data, Ascii);
    const size_t at = file.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    if (at != std::string::npos) file.replace(at, marker.size(), text);
    return file;
}

// Refused in every role, with a message that holds `expected`.
void ExpectRefused(const std::string& contents, const std::string& expected, const std::string& what) {
    for (const Role& role : Roles()) {
        const std::string refusal = Refusal(contents, role);
        EXPECT_NE(refusal.find(expected), std::string::npos) << what << " as " << role.name << ": " << refusal;
    }
}

SceneData Triangle() {
    SceneData data;
    AddTriangleModel(data, "tri");
    return data;
}

const std::string Digits800(800, '7');

}  // namespace

TEST(FbxAsciiNumbers, NumbersBeyondADoubleAreInfiniteAndRefused) {
    SceneData data = Triangle();
    data.meshes[0].vertices[4] = 12345.25;  // y of control point 1
    const std::string refusal = "Control point 1 of mesh 'tri' has a coordinate that is not a finite number";
    for (const std::string& text : {std::string("1e309"), std::string("-1e309"), std::string("1e9223372036854775808"),
                                    std::string("-0.5e9223372036854775808"), Digits800, "-" + Digits800})
        ExpectRefused(AsciiWith(data, "12345.25", text), refusal, text.substr(0, 30));

    // A word in the array names itself and its line.
    ExpectRefused(AsciiWith(data, "12345.25", "1.#QNAN"), "'1.#QNAN' is not a number in an array on line", "word");

    // Below the range of a double a number is 0, and a long integer within it is the double it
    // stands for; neither is refused.
    for (const std::string& text : {std::string("1e-400"), std::string("123456789012345678901234567890")}) {
        for (const Role& role : Roles()) EXPECT_EQ(Refusal(AsciiWith(data, "12345.25", text), role), "") << text;
    }
    const std::string path = (TestDir() / "long.fbx").string();
    WriteFile(path, AsciiWith(data, "12345.25", "123456789012345678901234567890"));
    testing::internal::CaptureStdout();
    const auto scene = ImportFile(path);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(scene->meshes[0]->positions[1].y, 1.2345679e29f);
}

TEST(FbxAsciiNumbers, IndexArraysRefuseWhatIsNoIndex) {
    // An integer beyond 64 bits, one beyond 32, a real and an infinite number where a polygon
    // index belongs: none may become a corner of control point 0.
    for (const std::string& text : {Digits800, std::string("9223372036854775808"), std::string("4294967296"),
                                    std::string("1.5"), std::string("1e309")}) {
        SceneData data = Triangle();
        data.meshes[0].polygonVertexIndex = {0, 987654, ~2};
        ExpectRefused(AsciiWith(data, "987654", text), "PolygonVertexIndex entry 1 is not a valid index in mesh 'triMesh'",
                      text.substr(0, 30));

        // The same in the index arrays of the layers.
        SceneData layered = Triangle();
        LayerElement uv;
        uv.reference = "IndexToDirect";
        uv.direct = {0, 0, 1, 0, 0, 1};
        uv.index = {0, 1, 987654};
        layered.meshes[0].uvs = {uv};
        ExpectRefused(AsciiWith(layered, "987654", text), "UVIndex entry 2 is not a valid index in mesh 'triMesh'",
                      text.substr(0, 30));
        LayerElement normals;
        normals.reference = "IndexToDirect";
        normals.direct = {0, 0, 1};
        normals.index = {987654, 0, 0};
        layered.meshes[0].uvs.clear();
        layered.meshes[0].normals = {normals};
        ExpectRefused(AsciiWith(layered, "987654", text), "NormalsIndex entry 0 is not a valid index in mesh 'triMesh'",
                      text.substr(0, 30));
    }
    // Binary files store such an index as a 64-bit integer or a real, and are held to the same rule.
    std::vector<Node> records = Triangle().Records({});
    for (Node& object : records[3].children)
        if (object.name == "Geometry")
            for (Node& child : object.children)
                if (child.name == "PolygonVertexIndex") child.values[0] = Value::Longs({0, int64_t(1) << 40, ~2});
    for (const Role& role : Roles())
        EXPECT_NE(Refusal(Write(records, {}), role).find("PolygonVertexIndex entry 1 is not a valid index"), std::string::npos);
}

TEST(FbxAsciiNumbers, PropertiesThatNeedNumbersRefuseWords) {
    SceneData data = Triangle();
    data.models[0].properties = {VectorProperty("Lcl Translation", 12345.25, 0, 0)};
    for (const char* word : {"inf", "nan", ".", "1.#QNAN", "-"}) {
        ExpectRefused(AsciiWith(data, "12345.25", word),
                      std::string("Mesh 'tri': property 'Lcl Translation' of model 'tri' holds '") + word +
                          "' where a number is needed",
                      word);
    }
    for (const char* huge : {"1e309", "-1e309"})
        ExpectRefused(AsciiWith(data, "12345.25", huge), "Mesh 'tri': property 'Lcl Translation' of model 'tri' is not a finite number",
                      huge);

    // Every transform property, and a node below one whose transform cannot be read.
    for (const char* name : {"Lcl Rotation", "Lcl Scaling", "GeometricTranslation", "GeometricRotation", "GeometricScaling",
                             "RotationPivot", "ScalingOffset"}) {
        SceneData other = Triangle();
        other.models[0].properties = {VectorProperty(name, 1, 12345.25, 1)};
        ExpectRefused(AsciiWith(other, "12345.25", "inf"), std::string("property '") + name + "' of model 'tri' holds 'inf'", name);
    }
    SceneData enumerated = Triangle();
    enumerated.models[0].properties = {BoolProperty("RotationActive", true), EnumProperty("RotationOrder", 987654)};
    ExpectRefused(AsciiWith(enumerated, "987654", "Y"), "property 'RotationOrder' of model 'tri' holds 'Y' where a number is needed",
                  "RotationOrder");

    SceneData nested;
    const int parent = AddTriangleModel(nested, "parent");
    AddTriangleModel(nested, "child", parent);
    nested.models[parent].attribute = "Null";
    nested.models[parent].properties = {VectorProperty("Lcl Rotation", 0, 0, 12345.25)};
    ExpectRefused(AsciiWith(nested, "12345.25", "nan"), "Mesh 'child': property 'Lcl Rotation' of model 'parent' holds 'nan'",
                  "nested");

    // A template holds numbers for the models that lack the property.
    SceneData templated = Triangle();
    templated.modelTemplate = {VectorProperty("Lcl Scaling", 1, 12345.25, 1)};
    ExpectRefused(AsciiWith(templated, "12345.25", "."), "property 'Lcl Scaling' of the template of model 'tri' holds '.'",
                  "template");

    // A node the view leaves out is never placed, so its transform does not matter.
    SceneData filtered = Triangle();
    AddTriangleModel(filtered, "hidden");
    filtered.models[0].properties = {UserText("kelvorfilter", "gameview")};
    filtered.models[1].properties = {UserText("kelvorfilter", "mayaview"), VectorProperty("Lcl Translation", 12345.25, 0, 0)};
    EXPECT_EQ(Refusal(AsciiWith(filtered, "12345.25", "inf"), Roles()[0]), "");
    EXPECT_NE(Refusal(AsciiWith(filtered, "12345.25", "inf"), Roles()[1]).find("model 'hidden' holds 'inf'"), std::string::npos);
}

TEST(FbxAsciiNumbers, MaterialColoursNeedNumbers) {
    SceneData data = Triangle();
    data.materials.push_back({"red", "Phong", std::array<double, 3>{1, 12345.25, 0}, ""});
    data.models[0].materials = {0};
    ExpectRefused(AsciiWith(data, "12345.25", "1.#IND"),
                  "Mesh 'tri': property 'DiffuseColor' of material 'red' holds '1.#IND' where a number is needed", "word");
    ExpectRefused(AsciiWith(data, "12345.25", "1e309"), "property 'DiffuseColor' of material 'red' is not a finite number",
                  "infinite");
    ExpectRefused(AsciiWith(data, "12345.25", "1e39"), "the diffuse colour of material 'red' is not a finite single-precision colour",
                  "beyond a float");
    // A material with a shader implementation keeps its grey and never reads the colour.
    data.materials[0].implementation = "HLSL";
    for (const Role& role : Roles()) EXPECT_EQ(Refusal(AsciiWith(data, "12345.25", "abc"), role), "") << role.name;
}

TEST(FbxCornerNumbers, NonFiniteLayerValuesAreRefusedLikePositions) {
    struct Layer {
        const char* what;
        std::vector<LayerElement> MeshData::*member;
        int components;
    };
    const Layer layers[] = {{"a UV", &MeshData::uvs, 2},
                            {"a normal", &MeshData::normals, 3},
                            {"a colour", &MeshData::colours, 4},
                            {"a tangent frame", &MeshData::tangents, 3},
                            {"a tangent frame", &MeshData::binormals, 3}};
    const double infinity = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (const Layer& layer : layers) {
        SceneData data = Triangle();
        MeshData& mesh = data.meshes[0];
        // Every layer present and finite, so that only the one under test is wrong.
        for (const Layer& other : layers) {
            LayerElement element;
            element.direct.assign(size_t(3 * other.components), 0.5);
            (mesh.*other.member) = {element};
        }
        double& value = (mesh.*layer.member)[0].direct[size_t(2 * layer.components + 1)];
        const std::string expected = std::string("Corner 2 of mesh 'tri' has ") + layer.what + " that is not a finite number";
        // ASCII text beyond a double, and binary infinities and NaNs, beyond a float too.
        value = 12345.25;
        std::vector<std::pair<std::string, std::string>> files{{"ascii 1e309", AsciiWith(data, "12345.25", "1e309")}};
        for (const double bad : {infinity, -infinity, nan, 1e39}) {
            if (layer.components == 4 && bad == 1e39) continue;  // a colour beyond a float is still a byte
            value = bad;
            files.emplace_back("binary " + std::to_string(bad), WriteScene(data, {}));
        }
        for (const auto& [file, contents] : files)
            for (const Role& role : Roles()) {
                // Only what the role's scene reads is checked: the high-poly one reads normals alone.
                const bool read = layer.member == &MeshData::normals || role.needs == AllNeeds;
                const std::string refusal = Refusal(contents, role);
                if (read) EXPECT_NE(refusal.find(expected), std::string::npos) << layer.what << " " << file << " " << role.name << refusal;
                else EXPECT_EQ(refusal, "") << layer.what << " " << file << " " << role.name;
            }
    }
    // An entry that no corner uses is no value of the mesh: an index array that passes over it
    // leaves the file readable.
    SceneData data = Triangle();
    LayerElement uv;
    uv.reference = "IndexToDirect";
    uv.direct = {0, 0, infinity, nan, 1, 0, 0, 1};
    uv.index = {0, 2, 3};
    data.meshes[0].uvs = {uv};
    for (const Role& role : Roles()) EXPECT_EQ(Refusal(WriteScene(data, {}), role), "") << role.name;
    uv.index = {0, 1, 3};
    data.meshes[0].uvs = {uv};
    EXPECT_NE(Refusal(WriteScene(data, {}), Roles()[1]).find("Corner 1 of mesh 'tri' has a UV that is not a finite number"),
              std::string::npos);
    // At the edge of single precision: the largest float and what still rounds to it are taken;
    // from half its last place beyond on, a double becomes an infinite float and is refused.
    const double largest = double(std::numeric_limits<float>::max());
    for (const double edge : {largest, std::nextafter(0x1.ffffffp+127, 0.0), 0x1.ffffffp+127, -0x1.ffffffp+127}) {
        uv.direct = {0, 0, 1, 0, 0, edge};
        uv.index = {0, 1, 2};
        data.meshes[0].uvs = {uv};
        const std::string refusal = Refusal(WriteScene(data, {}), Roles()[1]);
        if (std::fabs(edge) < 0x1.ffffffp+127) EXPECT_EQ(refusal, "") << edge;
        else EXPECT_NE(refusal.find("Corner 2 of mesh 'tri' has a UV"), std::string::npos) << edge << refusal;
    }
}
