#include "io/fbximporter.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <unordered_map>

#include "core/availablememory.h"
#include "geometry/scene.h"
#include "io/fbx/fbxfilereader.h"

namespace Pallix::Bake {

namespace {

using Math::Vec2;
using Math::Vec3;

// The stored transform is built in single precision.
using Affine = FbxAffine<float>;

// c * 255 + 0.5 truncated, keeping the low 8 bits; the remainder is taken in floating point
// first, so values beyond every integer range convert without overflow.
uint8_t ColourByte(double c) {
    const double v = std::trunc(c * 255.0 + 0.5);
    if (!std::isfinite(v)) return 0;
    return uint8_t(int64_t(std::fmod(v, 256.0)));
}

// Element position of a corner under a per-control-point or per-corner mapping; -1 otherwise.
int64_t CornerSlot(const FbxLayerElement& element, int cp, int64_t pv) {
    if (element.mapping == FbxMappingMode::ByControlPoint) return cp;
    if (element.mapping == FbxMappingMode::ByPolygonVertex) return pv;
    return -1;
}

const double* CornerValue(const FbxLayerElement* element, int cp, int64_t pv) {
    if (!element) return nullptr;
    const int64_t slot = CornerSlot(*element, cp, pv);
    return slot < 0 ? nullptr : element->Resolve(slot);
}

Vec2 CornerUV(const FbxMesh& mesh, int cp, int64_t pv) {
    const FbxLayerElement* uv = mesh.Element(FbxLayerKind::UV);
    const double* value = nullptr;
    if (uv && uv->mapping == FbxMappingMode::ByControlPoint) {
        value = uv->Resolve(cp);
    } else if (uv && uv->mapping == FbxMappingMode::ByPolygonVertex &&
               (uv->reference == FbxReferenceMode::Direct || uv->reference == FbxReferenceMode::IndexToDirect)) {
        value = uv->DirectAt(mesh.TextureUVIndex(pv));
    }
    return value ? Vec2{float(value[0]), float(value[1])} : Vec2{};
}

// Whether every value is finite: v * 0 is 0 for a finite v and NaN for any other, so that one
// comparison of the sum answers for all of a corner's values.
template <class T, class... More>
bool AllFinite(T first, More... more) {
    return (T(first * T(0)) + ... + T(more * T(0))) == T(0);
}

// The colour of a corner; false when a channel is not a finite number, which would be black.
bool CornerColour(const FbxMesh& mesh, int cp, int64_t pv, Colour32& colour) {
    const double* c = CornerValue(mesh.Element(FbxLayerKind::Colour), cp, pv);
    colour = PackColour(0, 0, 0, 255);
    if (!c) return true;
    if (!AllFinite(c[0], c[1], c[2], c[3])) return false;
    colour = PackColour(ColourByte(c[0]), ColourByte(c[1]), ColourByte(c[2]), ColourByte(c[3]));
    return true;
}

Vec3 ToVec3(const double* v) { return {float(v[0]), float(v[1]), float(v[2])}; }

[[noreturn]] void RefuseCorner(int64_t pv, const std::string& mesh, const char* what) {
    throw ImportException("Corner " + std::to_string(pv) + " of mesh '" + mesh + "' has " + what +
                          " that is not a finite number");
}

// Bytes a Scene holds per corner and per triangle, by the arrays its bytes ask for.
uint64_t BytesPerCorner(const Scene& scene) {
    return sizeof(Vec3) + (scene.hasNormals ? sizeof(Vec3) : 0) + (scene.hasUVs ? sizeof(Vec2) : 0) +
           (scene.hasColours ? sizeof(Colour32) : 0) + (scene.hasTangents ? sizeof(Math::Vec4) + sizeof(Vec3) : 0);
}
constexpr uint64_t BytesPerTriangle = 3 * sizeof(uint32_t) + sizeof(int);

std::string Gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    return text;
}

}  // namespace

FBXImporter::FBXImporter() : walkState(std::make_unique<WalkState>()) {}

FBXImporter::~FBXImporter() = default;

void FBXImporter::Import(const char* path, Scene* scene) {
    FbxScene fbxScene;
    std::string reason;
    if (!Load(path, fbxScene, reason)) {
        std::printf("\n\nAn error occurred while loading the scene...");
        std::fflush(stdout);
        // Nothing is added to the Scene; the caller learns of the failure instead of baking blank maps.
        throw ImportException("Can not load mesh file '" + std::string(path) + "': " + reason);
    }
    Convert(fbxScene, scene, path);
}

bool FBXImporter::Load(const char* path, FbxScene& fbxScene, std::string& reason) {
    FbxFileReader reader;
    const bool initialised = reader.Initialize(path);
    int major = 0, minor = 0, revision = 0;
    reader.GetFileVersion(major, minor, revision);
    if (!initialised) {
        std::printf("Call to FbxImporter::Initialize() failed.\n");
        std::printf("Error returned: %s for %s\n\n", reader.StatusText().c_str(), path);
        if (reader.StatusCode() == FbxStatusCode::InvalidFileVersion) {
            std::printf("FBX file format version for this FBX SDK is %d.%d.%d\n", FbxFileReader::NewestMajor,
                        FbxFileReader::NewestMinor, FbxFileReader::NewestRevision);
            std::printf("FBX file format version for file '%s' is %d.%d.%d\n\n", path, major, minor, revision);
        }
        reason = reader.StatusText();
        return false;
    }
    // An encrypted file fails here at once: no password could open it, so none is asked for.
    const bool imported = reader.Import(fbxScene);
    if (!imported) reason = reader.StatusText();
    return imported;
}

void FBXImporter::Convert(FbxScene& fbxScene, Scene* scene, const std::string& path) {
    walkState->triangulate = triangulate;
    walkState->rejectPolygons = rejectPolygons;
    walkState->viewName = viewName;
    walkState->sceneMaterials.clear();
    try {
        if (walkState->triangulate) fbxScene.Triangulate();
    } catch (const FbxFormatError& error) {
        throw ImportException(error.what());
    }
    // The nodes are stored depth first, pre-order, which is the order of the walk.
    std::vector<const FbxNode*> accepted;
    for (const FbxNode& node : fbxScene.nodes) {
        if (!node.hasAttribute) continue;
        std::string filter;
        const bool filtered = node.FindPropertyText("kelvorfilter", filter) && !walkState->viewName.empty();
        if (node.attributeType != FbxAttributeType::Mesh || !node.mesh) continue;
        if (filtered && filter != walkState->viewName) continue;
        if (!node.refusal.empty()) throw ImportException("Mesh '" + node.name + "': " + node.refusal);
        accepted.push_back(&node);
    }

    // Every node that links a mesh gets a full copy of it, so a small file of many instances can
    // expand beyond any memory: the expansion is measured before anything is copied.
    std::unordered_map<const FbxMesh*, ExpandedSize> meshSizes;
    uint64_t corners = 0, triangles = 0, controlPoints = 0;
    for (const FbxNode* node : accepted) {
        const auto [entry, added] = meshSizes.try_emplace(node->mesh);
        if (added) {
            controlPoints += node->mesh->ControlPointCount();
            for (int p = 0; p < node->mesh->PolygonCount(); ++p) {
                const int size = node->mesh->PolygonSize(p);
                if (size < 3) continue;
                entry->second.corners += size_t(size);
                entry->second.triangles += size_t(size - 2);
            }
        }
        corners += entry->second.corners;
        triangles += entry->second.triangles;
    }
    uint64_t sceneTriangles = 0;
    for (const auto& mesh : scene->meshes) sceneTriangles += mesh->TriangleCount();
    const std::string expansion = "Mesh file '" + path + "' expands to " + std::to_string(triangles) + " triangles in " +
                                  std::to_string(accepted.size()) + " mesh nodes";
    if (sceneTriangles + triangles > uint64_t(INT_MAX))
        throw ImportException(expansion + ", more than a scene holds (" + std::to_string(INT_MAX) + ")");
    CheckSize({triangles, controlPoints, accepted.size()});
    const uint64_t bytes = corners * BytesPerCorner(*scene) + triangles * BytesPerTriangle;
    const uint64_t available = AvailableMemory();
    if (bytes > available)
        throw ImportException(expansion + " (about " + Gigabytes(bytes) + "), more than the " + Gigabytes(available) +
                              " of memory available");

    try {
        for (const FbxNode* node : accepted) ConvertNode(*node, meshSizes[node->mesh], scene);
    } catch (const std::bad_alloc&) {
        throw ImportException(expansion + ": not enough memory to hold them");
    }
}

void FBXImporter::ConvertNode(const FbxNode& node, ExpandedSize size, Scene* scene) {
    std::string name = node.name;
    node.FindPropertyText("kelvorname", name);
    const FbxMesh& mesh = *node.mesh;

    std::vector<SceneMaterial*> materials;
    if (node.materials.empty()) {
        materials.push_back(scene->FindOrAddMaterial("Default"));
    } else {
        for (const FbxMaterial* source : node.materials) {
            SceneMaterial*& material = walkState->sceneMaterials[source];
            if (!material) material = scene->FindOrAddMaterial(source->name);
            material->r = material->g = material->b = 0.5f;
            if (!source->hasHLSL && !source->hasCGFX &&
                (source->materialClass == FbxMaterialClass::Phong || source->materialClass == FbxMaterialClass::Lambert)) {
                if (!source->refusal.empty()) throw ImportException("Mesh '" + name + "': " + source->refusal);
                material->r = float(source->diffuseColor.x);
                material->g = float(source->diffuseColor.y);
                material->b = float(source->diffuseColor.z);
                // The material map writes this colour as it is.
                if (!Math::IsFinite(Vec3{material->r, material->g, material->b}))
                    throw ImportException("Mesh '" + name + "': the diffuse colour of material '" + source->name +
                                          "' is not a finite single-precision colour");
            }
            materials.push_back(material);
        }
    }

    if (mesh.ElementCount(FbxLayerKind::Material) > 1) std::printf("Unsupported layer count\n");
    bool byPolygon = false;
    const FbxLayerElement* materialIndex = nullptr;
    for (int i = 0; i < mesh.ElementCount(FbxLayerKind::Material); ++i) {
        const FbxLayerElement* element = mesh.Element(FbxLayerKind::Material, i);
        if (element->mapping == FbxMappingMode::AllSame) byPolygon = false;
        if (element->mapping == FbxMappingMode::ByPolygon) byPolygon = true;
        if (element->reference == FbxReferenceMode::Index || element->reference == FbxReferenceMode::IndexToDirect)
            materialIndex = element;
    }

    const Affine transform = Affine::Translation(node.globalT) * Affine::Rotation(node.globalR) *
                             Affine::Scaling(node.globalS) * Affine::Translation(node.geometricT) *
                             Affine::Rotation(node.geometricR) * Affine::Scaling(node.geometricS);
    float affine[12];
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 3; ++row) affine[column * 3 + row] = transform.m[row][column];
    for (float value : affine)
        if (!std::isfinite(value))
            throw ImportException("The transform of mesh '" + name + "' is not a finite single-precision map");
    SceneMesh* target = scene->AddMesh(name);
    target->SetTransform(affine);

    const int polygonCount = mesh.PolygonCount();
    target->ReserveGeometry(size.corners, size.triangles);

    const FbxLayerElement* normals = mesh.Element(FbxLayerKind::Normal);
    const FbxLayerElement* tangents = mesh.Element(FbxLayerKind::Tangent);
    const FbxLayerElement* binormals = mesh.Element(FbxLayerKind::Binormal);
    const size_t controlPoints = mesh.ControlPointCount();
    int64_t pv = 0;
    for (int p = 0; p < polygonCount; ++p) {
        const int size = mesh.PolygonSize(p);
        if (size < 3) {
            // A point or a line has no triangle; its corners still count for the per-corner data.
            pv += size;
            continue;
        }
        const SceneMaterial* material = nullptr;
        if (materialIndex) {
            const int32_t index = materialIndex->IndexAt(byPolygon ? p : 0);
            if (index >= 0 && size_t(index) < materials.size()) material = materials[size_t(index)];
        }
        target->BeginPolygon(material);
        if (walkState->rejectPolygons && size > 3) throw ImportException("Please triangulate your mesh");
        bool usedDefaultTangent = false;
        for (int k = 0; k < size; ++k, ++pv) {
            const int cp = mesh.PolygonVertex(p, k);
            if (cp < 0 || size_t(cp) >= controlPoints)
                throw ImportException("Invalid control point index " + std::to_string(cp) + " in mesh '" + name + "'");
            const Vec3 position = ToVec3(mesh.ControlPoint(cp));
            // Infinite or NaN coordinates (or ones beyond single precision) would break welding,
            // bounds and every ray that meets them.
            if (!Math::IsFinite(position))
                throw ImportException("Control point " + std::to_string(cp) + " of mesh '" + name +
                                      "' has a coordinate that is not a finite number");
            target->positions.push_back(position);
            // Texture coordinates, normals, colours and tangent frames the Scene reads are held to
            // the same rule: an infinite UV would drop its triangle from every map.
            if (scene->hasUVs) {
                const Vec2 uv = CornerUV(mesh, cp, pv);
                if (!AllFinite(uv.x, uv.y)) RefuseCorner(pv, name, "a UV");
                target->uvs.push_back(uv);
            }
            if (scene->hasColours) {
                Colour32 colour;
                if (!CornerColour(mesh, cp, pv, colour)) RefuseCorner(pv, name, "a colour");
                target->colours.push_back(colour);
            }
            if (scene->hasNormals) {
                const double* n = CornerValue(normals, cp, pv);
                const Vec3 normal = n ? ToVec3(n) : Vec3{};
                if (!AllFinite(normal.x, normal.y, normal.z)) RefuseCorner(pv, name, "a normal");
                target->normals.push_back(normal);
            }
            if (scene->hasTangents) {
                const double* t = CornerValue(tangents, cp, pv);
                const double* b = CornerValue(binormals, cp, pv);
                if (t && b) {
                    const Vec3 tangent = ToVec3(t), bitangent = ToVec3(b);
                    if (!AllFinite(tangent.x, tangent.y, tangent.z, bitangent.x, bitangent.y, bitangent.z))
                        RefuseCorner(pv, name, "a tangent frame");
                    target->AddTangent(tangent, bitangent);
                } else {
                    target->AddTangent({1, 0, 0}, {0, 0, 1});
                    usedDefaultTangent = true;
                }
            }
            target->AddCorner();
        }
        target->FinishPolygon(usedDefaultTangent);
    }
    // Without normals every normal would be zero and a tangent-space map flat whatever the
    // high-poly mesh; tangent frames are made from these later.
    if (scene->hasNormals) {
        const size_t filled = target->FillMissingNormals();
        if (filled > 0 && filled == target->VertexCount())
            std::printf("Mesh '%s' has no normals: building smooth vertex normals\n", name.c_str());
        else if (filled > 0)
            std::printf("Mesh '%s' has no normals at %zu of %zu vertices: building smooth normals there\n", name.c_str(),
                        filled, target->VertexCount());
    }
}

}  // namespace Pallix::Bake
