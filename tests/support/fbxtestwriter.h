#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Writes FBX files for the tests, in every encoding the reader accepts: ASCII, or binary with
// 32-bit (7.4) or 64-bit (7.5) record offsets and raw or zlib-compressed arrays.
namespace FbxTest {

struct Value {
    char type = 'I';  // the binary type code: Y C I L F D S R i l f d b c
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
    std::vector<int64_t> integers;
    std::vector<double> reals;
    bool deflated = false;

    static Value Int(int64_t v) { return Scalar('I', v, 0.0); }
    static Value Long(int64_t v) { return Scalar('L', v, 0.0); }
    static Value Short(int64_t v) { return Scalar('Y', v, 0.0); }
    static Value Bool(bool v) { return Scalar('C', v ? 1 : 0, 0.0); }
    static Value Double(double v) { return Scalar('D', 0, v); }
    static Value Float(float v) { return Scalar('F', 0, double(v)); }
    static Value String(std::string v) {
        Value value = Scalar('S', 0, 0.0);
        value.text = std::move(v);
        return value;
    }
    static Value Ints(const std::vector<int32_t>& v) {
        Value value = Scalar('i', 0, 0.0);
        value.integers.assign(v.begin(), v.end());
        return value;
    }
    static Value Longs(const std::vector<int64_t>& v) {
        Value value = Scalar('l', 0, 0.0);
        value.integers = v;
        return value;
    }
    static Value Doubles(const std::vector<double>& v) {
        Value value = Scalar('d', 0, 0.0);
        value.reals = v;
        return value;
    }
    // An array of `count` entries stored as the given zlib stream, whatever it really inflates to
    // (binary files only).
    static Value Deflated(char type, uint32_t count, std::string stream) {
        Value value = Scalar(type, count, 0.0);
        value.text = std::move(stream);
        value.deflated = true;
        return value;
    }
    static Value Scalar(char type, int64_t integer, double real) {
        Value value;
        value.type = type;
        value.integer = integer;
        value.real = real;
        return value;
    }
    bool IsArray() const { return type >= 'a' && type <= 'z'; }
};

struct Node {
    Node(std::string name = {}, std::vector<Value> values = {}, std::vector<Node> children = {})
        : name(std::move(name)), values(std::move(values)), children(std::move(children)) {}

    std::string name;
    std::vector<Value> values;
    std::vector<Node> children;

    Node& Add(Node child) {
        children.push_back(std::move(child));
        return children.back();
    }
};

enum class Encoding { Ascii, Binary };

struct Format {
    Encoding encoding = Encoding::Binary;
    int version = 7400;
    bool compress = false;
    std::string Describe() const;
};

// Every encoding the tests compare: ASCII 7.4 and 7.5, binary 7.4 and 7.5, raw and compressed.
std::vector<Format> AllFormats();

std::string Write(const std::vector<Node>& records, const Format& format);

// The zlib stream of bytes, as exporters compress arrays.
std::string Deflate(const std::string& raw);

// ---- scenes ----

struct Property {
    std::string name;
    std::string type;
    std::string flags;
    std::vector<Value> values;
};
Property VectorProperty(const std::string& name, double x, double y, double z);
Property EnumProperty(const std::string& name, int value);
Property BoolProperty(const std::string& name, bool value);
Property UserText(const std::string& name, const std::string& text);
Property ColorProperty(const std::string& name, double r, double g, double b);

struct LayerElement {
    std::string mapping = "ByPolygonVertex";
    std::string reference = "Direct";
    std::vector<double> direct;
    std::vector<int32_t> index;
    int typedIndex = 0;
};

struct MeshData {
    std::string name = "mesh";
    std::vector<double> vertices;
    std::vector<int32_t> polygonVertexIndex;
    std::vector<LayerElement> normals, tangents, binormals, colours, uvs, materials;
};

struct MaterialData {
    std::string name;
    std::string shadingModel = "Phong";
    std::optional<std::array<double, 3>> diffuse;
    std::string implementation;  // "", "HLSL" or "CGFX"
};

struct ModelData {
    std::string name;
    int parent = -1;               // index of the parent model, -1 for the root
    std::string attribute = "Mesh";  // "Mesh" (with a mesh) or a node attribute class such as "Null"
    int mesh = -1;
    std::vector<int> materials;
    std::vector<Property> properties;
};

struct SceneData {
    std::vector<MeshData> meshes;
    std::vector<MaterialData> materials;
    std::vector<ModelData> models;
    std::vector<Property> modelTemplate;  // defaults of the "FbxNode" template
    std::vector<Property> phongTemplate;  // defaults of the "FbxSurfacePhong" template
    int encryption = 0;

    std::vector<Node> Records(const Format& format) const;
};

std::string WriteScene(const SceneData& scene, const Format& format);
void WriteFile(const std::string& path, const std::string& contents);

// A unit cube with per-corner normals, UVs, colours, tangents and binormals and two materials.
SceneData CubeScene();

// `count` models in rows of 250, a unit apart, each linking one grid of 10 x 10 quads with UVs:
// a file of a few megabytes whose scene holds 200 * count triangles.
SceneData GridInstances(int count);

}  // namespace FbxTest
