#include "support/fbxtestwriter.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <zlib.h>

namespace FbxTest {

namespace {

template <typename T>
void Put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

template <typename T>
void Patch(std::string& out, size_t at, T value) {
    std::memcpy(&out[at], &value, sizeof(T));
}

std::string ArrayBytes(const Value& v) {
    std::string raw;
    const size_t count = v.type == 'd' || v.type == 'f' ? v.reals.size() : v.integers.size();
    for (size_t i = 0; i < count; ++i) {
        switch (v.type) {
            case 'i': Put(raw, int32_t(v.integers[i])); break;
            case 'l': Put(raw, int64_t(v.integers[i])); break;
            case 'b': Put(raw, uint8_t(v.integers[i] != 0)); break;
            case 'c': Put(raw, int8_t(v.integers[i])); break;
            case 'f': Put(raw, float(v.reals[i])); break;
            case 'd': Put(raw, v.reals[i]); break;
            default: throw std::logic_error("not an array type");
        }
    }
    return raw;
}

void WriteBinaryValue(std::string& out, const Value& v, bool compress) {
    out.push_back(v.type);
    switch (v.type) {
        case 'Y': Put(out, int16_t(v.integer)); return;
        case 'C': Put(out, uint8_t(v.integer != 0)); return;
        case 'I': Put(out, int32_t(v.integer)); return;
        case 'L': Put(out, int64_t(v.integer)); return;
        case 'F': Put(out, float(v.real)); return;
        case 'D': Put(out, v.real); return;
        case 'S':
        case 'R':
            Put(out, uint32_t(v.text.size()));
            out += v.text;
            return;
        default: break;
    }
    if (v.deflated) {
        Put(out, uint32_t(v.integer));
        Put(out, uint32_t(1));
        Put(out, uint32_t(v.text.size()));
        out += v.text;
        return;
    }
    const std::string raw = ArrayBytes(v);
    const uint32_t count = uint32_t(v.type == 'd' || v.type == 'f' ? v.reals.size() : v.integers.size());
    Put(out, count);
    if (!compress) {
        Put(out, uint32_t(0));
        Put(out, uint32_t(raw.size()));
        out += raw;
        return;
    }
    const std::string packed = Deflate(raw);
    Put(out, uint32_t(1));
    Put(out, uint32_t(packed.size()));
    out += packed;
}

void WriteBinaryNode(std::string& out, const Node& node, const Format& format) {
    const bool wide = format.version >= 7500;
    const size_t start = out.size();
    out.append(wide ? 24 : 12, '\0');
    out.push_back(char(node.name.size()));
    out += node.name;
    const size_t propertiesStart = out.size();
    for (const Value& v : node.values) WriteBinaryValue(out, v, format.compress);
    const size_t propertyBytes = out.size() - propertiesStart;
    for (const Node& child : node.children) WriteBinaryNode(out, child, format);
    if (!node.children.empty()) out.append(wide ? 25 : 13, '\0');
    if (wide) {
        Patch(out, start, uint64_t(out.size()));
        Patch(out, start + 8, uint64_t(node.values.size()));
        Patch(out, start + 16, uint64_t(propertyBytes));
    } else {
        Patch(out, start, uint32_t(out.size()));
        Patch(out, start + 4, uint32_t(node.values.size()));
        Patch(out, start + 8, uint32_t(propertyBytes));
    }
}

std::string Number(double v) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
}

std::string AsciiScalar(const Value& v) {
    switch (v.type) {
        case 'C': return v.integer ? "T" : "F";
        case 'F':
        case 'D': return Number(v.real);
        case 'S':
        case 'R': {
            std::string quoted = "\"";
            for (char c : v.text) quoted += c == '"' ? std::string("&quot;") : std::string(1, c);
            return quoted + "\"";
        }
        default: return std::to_string(v.integer);
    }
}

void WriteAsciiNode(std::string& out, const Node& node, int depth) {
    const std::string indent(size_t(depth), '\t');
    for (const Value& v : node.values)
        if (v.deflated) throw std::logic_error("ASCII files have no compressed arrays");
    out += indent + node.name + ": ";
    for (size_t i = 0; i < node.values.size(); ++i) {
        const Value& v = node.values[i];
        if (i) out += ", ";
        if (!v.IsArray()) {
            out += AsciiScalar(v);
            continue;
        }
        const bool real = v.type == 'd' || v.type == 'f';
        const size_t count = real ? v.reals.size() : v.integers.size();
        out += "*" + std::to_string(count) + " {\n" + indent + "\ta: ";
        for (size_t k = 0; k < count; ++k) {
            if (k) out += k % 16 == 0 ? ",\n" + indent + "\t" : ",";  // long arrays wrap after a comma
            out += real ? Number(v.type == 'f' ? double(float(v.reals[k])) : v.reals[k]) : std::to_string(v.integers[k]);
        }
        out += "\n" + indent + "} ";
    }
    if (!node.children.empty()) {
        out += " {\n";
        for (const Node& child : node.children) WriteAsciiNode(out, child, depth + 1);
        out += indent + "}";
    }
    out += "\n";
}

std::string ObjectName(const std::string& name, const std::string& objectClass, const Format& format) {
    if (format.encoding == Encoding::Ascii) return objectClass + "::" + name;
    return name + std::string("\0\1", 2) + objectClass;
}

Node PropertiesNode(const std::vector<Property>& properties) {
    Node p{"Properties70"};
    for (const Property& property : properties) {
        Node record{"P", {Value::String(property.name), Value::String(property.type), Value::String(""),
                          Value::String(property.flags)}};
        record.values.insert(record.values.end(), property.values.begin(), property.values.end());
        p.Add(record);
    }
    return p;
}

enum ObjectKind { Model = 1, Geometry, Material, Attribute, Implementation };

// Object ids: kind x 1000 + i for the first thousand of a kind, then the same pattern in later
// blocks of ten thousand, so that no two objects share an id however many there are.
int64_t ObjectId(ObjectKind kind, size_t i) {
    return int64_t(kind) * 1000 + int64_t(i % 1000) + int64_t(i / 1000) * 10000;
}

Node LayerNode(const char* record, const char* directName, const char* indexName, const LayerElement& element) {
    Node node{record, {Value::Int(element.typedIndex)}};
    node.Add({"Version", {Value::Int(101)}});
    node.Add({"Name", {Value::String("")}});
    node.Add({"MappingInformationType", {Value::String(element.mapping)}});
    node.Add({"ReferenceInformationType", {Value::String(element.reference)}});
    if (directName) node.Add({directName, {Value::Doubles(element.direct)}});
    if (!element.index.empty() || !directName) node.Add({indexName, {Value::Ints(element.index)}});
    return node;
}

}  // namespace

std::string Format::Describe() const {
    return std::string(encoding == Encoding::Ascii ? "ascii" : "binary") + std::to_string(version) +
           (encoding == Encoding::Binary ? (compress ? "zlib" : "raw") : "");
}

std::vector<Format> AllFormats() {
    return {{Encoding::Ascii, 7400, false},  {Encoding::Ascii, 7500, false},  {Encoding::Binary, 7400, false},
            {Encoding::Binary, 7400, true},  {Encoding::Binary, 7500, false}, {Encoding::Binary, 7500, true}};
}

std::string Write(const std::vector<Node>& records, const Format& format) {
    std::string out;
    if (format.encoding == Encoding::Ascii) {
        out = "; FBX " + std::to_string(format.version / 1000) + "." + std::to_string(format.version % 1000 / 100) +
              "." + std::to_string(format.version % 100) + " project file\n; Written by the test suite\n\n";
        for (const Node& node : records) WriteAsciiNode(out, node, 0);
        return out;
    }
    out.append("Kaydara FBX Binary  ");
    out.push_back('\0');
    out.push_back('\x1a');
    out.push_back('\0');
    Put(out, uint32_t(format.version));
    for (const Node& node : records) WriteBinaryNode(out, node, format);
    out.append(format.version >= 7500 ? 25 : 13, '\0');
    // A closing block in the spirit of the usual footer: padding and the version again.
    out.append(16, '\x5a');
    Put(out, uint32_t(format.version));
    out.append(16, '\0');
    return out;
}

std::string Deflate(const std::string& raw) {
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
                  uLong(raw.size()), 9) != Z_OK)
        throw std::runtime_error("compression failed");
    packed.resize(packedSize);
    return packed;
}

Property VectorProperty(const std::string& name, double x, double y, double z) {
    return {name, name, "A", {Value::Double(x), Value::Double(y), Value::Double(z)}};
}
Property EnumProperty(const std::string& name, int value) { return {name, "enum", "", {Value::Int(value)}}; }
Property BoolProperty(const std::string& name, bool value) { return {name, "bool", "", {Value::Int(value)}}; }
Property UserText(const std::string& name, const std::string& text) {
    return {name, "KString", "U", {Value::String(text)}};
}
Property ColorProperty(const std::string& name, double r, double g, double b) {
    return {name, "Color", "A", {Value::Double(r), Value::Double(g), Value::Double(b)}};
}

std::vector<Node> SceneData::Records(const Format& format) const {
    std::vector<Node> records;
    Node& header = records.emplace_back(Node{"FBXHeaderExtension"});
    header.Add({"FBXHeaderVersion", {Value::Int(1003)}});
    header.Add({"FBXVersion", {Value::Int(format.version)}});
    header.Add({"EncryptionType", {Value::Int(encryption)}});
    header.Add({"Creator", {Value::String("Kelvor test writer")}});

    Node& global = records.emplace_back(Node{"GlobalSettings"});
    global.Add({"Version", {Value::Int(1000)}});
    global.Add(PropertiesNode({{"UpAxis", "int", "", {Value::Int(1)}}, {"UnitScaleFactor", "double", "", {Value::Double(1.0)}}}));

    Node& definitions = records.emplace_back(Node{"Definitions"});
    definitions.Add({"Version", {Value::Int(100)}});
    Node& modelType = definitions.Add({"ObjectType", {Value::String("Model")}});
    modelType.Add({"Count", {Value::Int(int64_t(models.size()))}});
    modelType.Add({"PropertyTemplate", {Value::String("FbxNode")}}).Add(PropertiesNode(modelTemplate));
    Node& geometryType = definitions.Add({"ObjectType", {Value::String("Geometry")}});
    geometryType.Add({"Count", {Value::Int(int64_t(meshes.size()))}});
    geometryType.Add({"PropertyTemplate", {Value::String("FbxMesh")}})
        .Add(PropertiesNode({{"Primary Visibility", "bool", "", {Value::Int(1)}}}));
    Node& materialType = definitions.Add({"ObjectType", {Value::String("Material")}});
    materialType.Add({"Count", {Value::Int(int64_t(materials.size()))}});
    materialType.Add({"PropertyTemplate", {Value::String("FbxSurfacePhong")}}).Add(PropertiesNode(phongTemplate));

    Node& objects = records.emplace_back(Node{"Objects"});
    Node connections{"Connections"};
    const auto connect = [&connections](int64_t child, int64_t parent) {
        connections.Add({"C", {Value::String("OO"), Value::Long(child), Value::Long(parent)}});
    };
    for (size_t i = 0; i < meshes.size(); ++i) {
        const MeshData& mesh = meshes[i];
        Node& g = objects.Add({"Geometry", {Value::Long(ObjectId(Geometry, i)), Value::String(ObjectName(mesh.name, "Geometry", format)),
                                            Value::String("Mesh")}});
        g.Add({"Vertices", {Value::Doubles(mesh.vertices)}});
        g.Add({"PolygonVertexIndex", {Value::Ints(mesh.polygonVertexIndex)}});
        g.Add({"GeometryVersion", {Value::Int(124)}});
        Node layer{"Layer", {Value::Int(0)}};
        layer.Add({"Version", {Value::Int(100)}});
        const auto addLayers = [&](const std::vector<LayerElement>& list, const char* record, const char* direct,
                                   const char* index) {
            for (const LayerElement& element : list) {
                g.Add(LayerNode(record, direct, index, element));
                Node& entry = layer.Add({"LayerElement"});
                entry.Add({"Type", {Value::String(record)}});
                entry.Add({"TypedIndex", {Value::Int(element.typedIndex)}});
            }
        };
        addLayers(mesh.normals, "LayerElementNormal", "Normals", "NormalsIndex");
        addLayers(mesh.tangents, "LayerElementTangent", "Tangents", "TangentsIndex");
        addLayers(mesh.binormals, "LayerElementBinormal", "Binormals", "BinormalsIndex");
        addLayers(mesh.colours, "LayerElementColor", "Colors", "ColorIndex");
        addLayers(mesh.uvs, "LayerElementUV", "UV", "UVIndex");
        addLayers(mesh.materials, "LayerElementMaterial", nullptr, "Materials");
        g.Add(layer);
    }
    for (size_t i = 0; i < models.size(); ++i) {
        const ModelData& model = models[i];
        const int64_t id = ObjectId(Model, i);
        if (model.attribute != "Mesh") {
            Node& a = objects.Add({"NodeAttribute", {Value::Long(ObjectId(Attribute, i)),
                                                     Value::String(ObjectName("", "NodeAttribute", format)),
                                                     Value::String(model.attribute)}});
            a.Add({"TypeFlags", {Value::String(model.attribute)}});
        }
        Node& m = objects.Add({"Model", {Value::Long(id), Value::String(ObjectName(model.name, "Model", format)),
                                         Value::String(model.attribute)}});
        m.Add({"Version", {Value::Int(232)}});
        m.Add(PropertiesNode(model.properties));
        m.Add({"Shading", {Value::Bool(true)}});
        m.Add({"Culling", {Value::String("CullingOff")}});
    }
    for (size_t i = 0; i < materials.size(); ++i) {
        const MaterialData& material = materials[i];
        Node& m = objects.Add({"Material", {Value::Long(ObjectId(Material, i)),
                                            Value::String(ObjectName(material.name, "Material", format)), Value::String("")}});
        m.Add({"Version", {Value::Int(102)}});
        m.Add({"ShadingModel", {Value::String(material.shadingModel)}});
        m.Add({"MultiLayer", {Value::Int(0)}});
        std::vector<Property> properties{{"EmissiveFactor", "Number", "A", {Value::Double(0.0)}},
                                         {"DiffuseFactor", "Number", "A", {Value::Double(0.25)}}};
        if (material.diffuse)
            properties.push_back(ColorProperty("DiffuseColor", (*material.diffuse)[0], (*material.diffuse)[1], (*material.diffuse)[2]));
        m.Add(PropertiesNode(properties));
        if (!material.implementation.empty()) {
            const int64_t implementation = ObjectId(Implementation, i);
            Node& impl = objects.Add({"Implementation", {Value::Long(implementation),
                                                         Value::String(ObjectName("shader", "Implementation", format)),
                                                         Value::String("")}});
            impl.Add({"Version", {Value::Int(100)}});
            impl.Add(PropertiesNode({{"ShaderLanguage", "KString", "", {Value::String(material.implementation)}}}));
            // HLSL hangs on the material's implementation property, CGFX as a plain object link.
            if (material.implementation == "HLSL")
                connections.Add({"C", {Value::String("OP"), Value::Long(implementation), Value::Long(ObjectId(Material, i)),
                                       Value::String("ImplementationHLSL")}});
            else
                connect(implementation, ObjectId(Material, i));
        }
    }
    for (size_t i = 0; i < models.size(); ++i) {
        const ModelData& model = models[i];
        const int64_t id = ObjectId(Model, i);
        connect(id, model.parent < 0 ? 0 : ObjectId(Model, size_t(model.parent)));
        if (model.attribute == "Mesh" && model.mesh >= 0) connect(ObjectId(Geometry, size_t(model.mesh)), id);
        if (model.attribute != "Mesh") connect(ObjectId(Attribute, i), id);
        for (int material : model.materials) connect(ObjectId(Material, size_t(material)), id);
    }
    records.push_back(connections);
    return records;
}

std::string WriteScene(const SceneData& scene, const Format& format) { return Write(scene.Records(format), format); }

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary);
    file.write(contents.data(), std::streamsize(contents.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
}

SceneData CubeScene() {
    SceneData scene;
    MeshData& mesh = scene.meshes.emplace_back();
    mesh.name = "cubeMesh";
    for (int cp = 0; cp < 8; ++cp) {
        mesh.vertices.push_back(cp == 1 || cp == 2 || cp == 5 || cp == 6 ? 1.0 : -1.0);
        mesh.vertices.push_back(cp == 2 || cp == 3 || cp == 6 || cp == 7 ? 1.0 : -1.0);
        mesh.vertices.push_back(cp >= 4 ? 1.0 : -1.0);
    }
    const int faces[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {3, 7, 6, 2}, {0, 4, 7, 3}, {1, 2, 6, 5}};
    const double normals[6][3] = {{0, 0, -1}, {0, 0, 1}, {0, -1, 0}, {0, 1, 0}, {-1, 0, 0}, {1, 0, 0}};
    LayerElement normal, tangent, binormal, uv, colour, material;
    uv.reference = "IndexToDirect";
    uv.direct = {0, 0, 1, 0, 1, 1, 0, 1};
    colour.mapping = "ByVertice";
    for (int cp = 0; cp < 8; ++cp)
        for (int c = 0; c < 4; ++c) colour.direct.push_back(c == 3 || mesh.vertices[size_t(cp * 3 + c)] > 0 ? 1.0 : 0.0);
    material.mapping = "ByPolygon";
    material.reference = "IndexToDirect";
    for (int f = 0; f < 6; ++f) {
        for (int k = 0; k < 4; ++k) {
            mesh.polygonVertexIndex.push_back(k == 3 ? ~faces[f][k] : faces[f][k]);
            normal.direct.insert(normal.direct.end(), {normals[f][0], normals[f][1], normals[f][2]});
            // The first edge as tangent, normal x tangent as binormal.
            const int a = faces[f][0], b = faces[f][1];
            double t[3];
            for (int c = 0; c < 3; ++c) t[c] = (mesh.vertices[size_t(b * 3 + c)] - mesh.vertices[size_t(a * 3 + c)]) / 2.0;
            const double* n = normals[f];
            tangent.direct.insert(tangent.direct.end(), {t[0], t[1], t[2]});
            binormal.direct.insert(binormal.direct.end(),
                                   {n[1] * t[2] - n[2] * t[1], n[2] * t[0] - n[0] * t[2], n[0] * t[1] - n[1] * t[0]});
            uv.index.push_back(k);
        }
        material.index.push_back(f % 2);
    }
    mesh.normals = {normal};
    mesh.tangents = {tangent};
    mesh.binormals = {binormal};
    mesh.uvs = {uv};
    mesh.colours = {colour};
    mesh.materials = {material};
    scene.materials = {{"red", "Phong", std::array<double, 3>{1.0, 0.0, 0.0}, ""},
                       {"blue", "Lambert", std::array<double, 3>{0.0, 0.0, 1.0}, ""}};
    ModelData& model = scene.models.emplace_back();
    model.name = "cube";
    model.mesh = 0;
    model.materials = {0, 1};
    model.properties = {VectorProperty("Lcl Translation", 1, 2, 3), VectorProperty("Lcl Rotation", 0, 0, 90),
                        VectorProperty("Lcl Scaling", 2, 2, 2)};
    return scene;
}

SceneData GridInstances(int count) {
    constexpr int side = 10;
    SceneData scene;
    MeshData& mesh = scene.meshes.emplace_back();
    mesh.name = "grid";
    LayerElement& uv = mesh.uvs.emplace_back();
    uv.mapping = "ByVertice";
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x) {
            mesh.vertices.insert(mesh.vertices.end(), {double(x) / side, double(y) / side, 0.0});
            uv.direct.insert(uv.direct.end(), {double(x) / side, double(y) / side});
        }
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int a = y * (side + 1) + x, c = a + side + 2;
            mesh.polygonVertexIndex.insert(mesh.polygonVertexIndex.end(), {a, a + 1, ~c, a, c, ~(a + side + 1)});
        }
    for (int i = 0; i < count; ++i) {
        ModelData& model = scene.models.emplace_back();
        model.name = "copy" + std::to_string(i);
        model.mesh = 0;
        model.properties = {VectorProperty("Lcl Translation", double(i % 250), double(i / 250), 0.0)};
    }
    return scene;
}

}  // namespace FbxTest
