#include "io/plyimporter.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>

#include "geometry/scene.h"
#include "io/ply.h"

namespace Pallix::Bake {

namespace {

struct VertexRecord {
    float x, y, z;
    uint8_t red, green, blue, alpha;
    float nx, ny, nz;
    float redF, greenF, blueF;  // colours stored as reals, 0 to 1
};

struct FaceRecord {
    int32_t count;  // the whole list length, which may pass 255
    int32_t* indices;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

PlyPropertyDesc Request(const char* name, int type, size_t offset) {
    PlyPropertyDesc request;
    request.name = name;
    request.internalType = type;
    request.offset = int(offset);
    return request;
}

const PlyPropertyDesc* FindProperty(const PlyElementDesc& element, const char* name) {
    for (const PlyPropertyDesc& property : element.properties)
        if (property.name == name) return &property;
    return nullptr;
}

bool HasProperty(const PlyElementDesc& element, const char* name) { return FindProperty(element, name) != nullptr; }

bool IsReal(int type) { return type == PlyFloat32 || type == PlyFloat64; }

// A colour channel written as a real from 0 to 1, as a byte.
uint8_t ColourByte(float c) {
    if (!(c > 0.0f)) return 0;
    if (!(c < 1.0f)) return 255;
    return uint8_t(c * 255.0f + 0.5f);
}

// Fewest bytes one record of the element can take in the file.
uint64_t ShortestRecord(const PlyReader& reader, const PlyElementDesc& element) {
    uint64_t bytes = 0;
    for (const PlyPropertyDesc& property : element.properties) {
        if (reader.fileType == PlyAscii) bytes += 2;  // a digit and a separator
        else if (property.kind == PlyScalar) bytes += uint64_t(PlyTypeSize(property.externalType));
        else if (property.kind == PlyList) bytes += uint64_t(PlyTypeSize(property.countExternalType));
        else bytes += 4;
    }
    return bytes;
}

// The element's record count as a reservation: no more than the rest of the input can hold.
size_t CountHint(const PlyReader& reader, const PlyElementDesc& element) {
    const uint64_t shortest = ShortestRecord(reader, element);
    if (shortest == 0) return 0;
    return size_t(std::min<uint64_t>(uint64_t(element.count), reader.Remaining() / shortest));
}

void ReadVertices(PlyReader& reader, SceneMesh& mesh, bool withNormals) {
    const PlyElementDesc& element = *reader.current;
    ply_request_property(reader, Request("x", PlyFloat32, offsetof(VertexRecord, x)));
    ply_request_property(reader, Request("y", PlyFloat32, offsetof(VertexRecord, y)));
    ply_request_property(reader, Request("z", PlyFloat32, offsetof(VertexRecord, z)));
    // Integer colours are bytes already; real ones run from 0 to 1.
    const PlyPropertyDesc* red = FindProperty(element, "red");
    const bool realColours = red && red->kind == PlyScalar && IsReal(red->externalType);
    if (realColours) {
        ply_request_property(reader, Request("red", PlyFloat32, offsetof(VertexRecord, redF)));
        ply_request_property(reader, Request("green", PlyFloat32, offsetof(VertexRecord, greenF)));
        ply_request_property(reader, Request("blue", PlyFloat32, offsetof(VertexRecord, blueF)));
    } else {
        ply_request_property(reader, Request("red", PlyUint8, offsetof(VertexRecord, red)));
        ply_request_property(reader, Request("green", PlyUint8, offsetof(VertexRecord, green)));
        ply_request_property(reader, Request("blue", PlyUint8, offsetof(VertexRecord, blue)));
    }
    const bool fileNormals = withNormals && HasProperty(element, "nx") && HasProperty(element, "ny") && HasProperty(element, "nz");
    if (fileNormals) {
        ply_request_property(reader, Request("nx", PlyFloat32, offsetof(VertexRecord, nx)));
        ply_request_property(reader, Request("ny", PlyFloat32, offsetof(VertexRecord, ny)));
        ply_request_property(reader, Request("nz", PlyFloat32, offsetof(VertexRecord, nz)));
    }
    if (element.count == 0) return;
    for (const char* axis : {"x", "y", "z"})
        if (!HasProperty(element, axis)) reader.Fail(std::string("the vertex element has no property '") + axis + "'");
    const size_t hint = CountHint(reader, element);
    mesh.Reserve(mesh.positions.size() + hint);
    mesh.colours.reserve(mesh.colours.size() + hint);
    if (withNormals) mesh.normals.reserve(mesh.normals.size() + hint);
    for (int i = 0; i < element.count; ++i) {
        VertexRecord vertex{0.0f, 0.0f, 0.0f, 255, 255, 255, 255, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
        ply_get_element(reader, &vertex, sizeof vertex);
        const Math::Vec3 p{vertex.x, vertex.y, vertex.z};
        // Infinite or NaN coordinates would break welding and every bound of the scene.
        if (!Math::IsFinite(p)) reader.Fail("vertex " + std::to_string(i) + " has a coordinate that is not a finite number");
        mesh.positions.push_back(p);
        if (realColours)
            mesh.colours.push_back(PackColour(ColourByte(vertex.redF), ColourByte(vertex.greenF), ColourByte(vertex.blueF), 255));
        else
            mesh.colours.push_back(PackColour(vertex.red, vertex.green, vertex.blue, 255));
        // A zero or unreadable normal counts as none and is built from the faces.
        if (withNormals) mesh.normals.push_back({vertex.nx, vertex.ny, vertex.nz});
    }
}

void ReadFaces(PlyReader& reader, SceneMesh& mesh, const SceneMaterial* material) {
    const PlyElementDesc& element = *reader.current;
    // Many tools name the list "vertex_index".
    const char* listName = !HasProperty(element, "vertex_indices") && HasProperty(element, "vertex_index") ? "vertex_index"
                                                                                                            : "vertex_indices";
    PlyPropertyDesc request = Request(listName, PlyInt32, offsetof(FaceRecord, indices));
    request.kind = PlyList;
    request.countInternalType = PlyInt32;
    request.countOffset = int(offsetof(FaceRecord, count));
    ply_request_property(reader, request);
    if (element.count > 0 && !HasProperty(element, listName))
        reader.Fail("the face element has no list 'vertex_indices' or 'vertex_index'");
    // Binary records without properties take no bytes and hold no corners.
    if (element.properties.empty() && reader.fileType != PlyAscii) return;
    const size_t hint = CountHint(reader, element);
    mesh.ReserveIndices(mesh.TriangleCount() + hint);
    mesh.triangleMaterials.reserve(mesh.triangleMaterials.size() + hint);
    const int64_t vertexCount = int64_t(mesh.positions.size());
    for (int f = 0; f < element.count; ++f) {
        mesh.BeginPolygon(material);
        FaceRecord face{0, nullptr};
        ply_get_element(reader, &face, sizeof face);
        for (int k = 0; k < face.count; ++k)
            if (face.indices[k] < 0 || face.indices[k] >= vertexCount)
                reader.Fail("face " + std::to_string(f) + " uses vertex " + std::to_string(face.indices[k]) + " of " +
                            std::to_string(vertexCount));
        for (int k = 2; k < face.count; ++k) {
            mesh.indices.push_back(uint32_t(face.indices[0]));
            mesh.indices.push_back(uint32_t(face.indices[k - 1]));
            mesh.indices.push_back(uint32_t(face.indices[k]));
            mesh.triangleMaterials.push_back(material->id);
        }
    }
}

}  // namespace

void PLYImporter::Import(const char* path, Scene* scene) {
    std::unique_ptr<std::FILE, FileCloser> file(path ? std::fopen(path, "rb") : nullptr);
    if (!file) throw ImportException(std::string("Can not open PLY file '") + (path ? path : "") + "'");
    std::unique_ptr<PlyReader> reader = ply_open_header(file.get(), path);
    Read(*reader, scene);
}

void PLYImporter::ImportData(const char* data, size_t size, const char* name, Scene* scene) {
    std::unique_ptr<PlyReader> reader = ply_open_header(data, size, name);
    Read(*reader, scene);
}

void PLYImporter::Read(PlyReader& reader, Scene* scene) {
    SceneMesh* mesh = scene->AddMesh("object");
    const SceneMaterial* material = scene->FindOrAddMaterial("unsupported");
    // Elements after the last vertex or face element need not be read at all; the ones before
    // are passed over record by record.
    int last = -1;
    for (size_t i = 0; i < reader.elements.size(); ++i)
        if (reader.elements[i].name == "vertex" || reader.elements[i].name == "face") last = int(i);
    for (int i = 0; i <= last; ++i) {
        ply_select_element(reader, i);
        const std::string& name = reader.current->name;
        if (name == "vertex") ReadVertices(reader, *mesh, scene->hasNormals);
        else if (name == "face") ReadFaces(reader, *mesh, material);
        else ply_skip_element(reader);
    }
    // A point cloud would bake blank maps and report success.
    if (mesh->TriangleCount() == 0) reader.Fail("it has no faces");
    // Only this file's mesh: meshes that earlier files added keep their own normals.
    if (scene->hasNormals) mesh->FillMissingNormals();
}

}  // namespace Pallix::Bake
