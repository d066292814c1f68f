#include "io/fbximporter.h"

#include <cmath>
#include <cstdio>

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

Colour32 CornerColour(const FbxMesh& mesh, int cp, int64_t pv) {
    const double* c = CornerValue(mesh.Element(FbxLayerKind::Colour), cp, pv);
    if (!c) return PackColour(0, 0, 0, 255);
    return PackColour(ColourByte(c[0]), ColourByte(c[1]), ColourByte(c[2]), ColourByte(c[3]));
}

Vec3 ToVec3(const double* v) { return {float(v[0]), float(v[1]), float(v[2])}; }

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
    Convert(fbxScene, scene);
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

void FBXImporter::Convert(FbxScene& fbxScene, Scene* scene) {
    walkState->triangulate = triangulate;
    walkState->rejectPolygons = rejectPolygons;
    walkState->viewName = viewName;
    try {
        if (walkState->triangulate) fbxScene.Triangulate();
    } catch (const FbxFormatError& error) {
        throw ImportException(error.what());
    }
    // The nodes are stored depth first, pre-order, which is the order of the walk.
    for (const FbxNode& node : fbxScene.nodes) {
        if (!node.hasAttribute) continue;
        std::string filter;
        const bool filtered = node.FindPropertyText("kelvorfilter", filter) && !walkState->viewName.empty();
        if (node.attributeType != FbxAttributeType::Mesh || !node.mesh) continue;
        if (filtered && filter != walkState->viewName) continue;
        ConvertNode(node, scene);
    }
}

void FBXImporter::ConvertNode(const FbxNode& node, Scene* scene) {
    std::string name = node.name;
    node.FindPropertyText("kelvorname", name);
    const FbxMesh& mesh = *node.mesh;

    std::vector<SceneMaterial*> materials;
    if (node.materials.empty()) {
        materials.push_back(scene->FindOrAddMaterial("Default"));
    } else {
        for (const FbxMaterial* source : node.materials) {
            SceneMaterial* material = scene->FindOrAddMaterial(source->name);
            material->r = material->g = material->b = 0.5f;
            if (!source->hasHLSL && !source->hasCGFX &&
                (source->materialClass == FbxMaterialClass::Phong || source->materialClass == FbxMaterialClass::Lambert)) {
                material->r = float(source->diffuseColor.x);
                material->g = float(source->diffuseColor.y);
                material->b = float(source->diffuseColor.z);
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
    size_t corners = 0;
    for (int p = 0; p < polygonCount; ++p) corners += size_t(mesh.PolygonSize(p));
    target->ReserveGeometry(corners, corners / 3);

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
            if (scene->hasUVs) target->uvs.push_back(CornerUV(mesh, cp, pv));
            if (scene->hasColours) target->colours.push_back(CornerColour(mesh, cp, pv));
            if (scene->hasNormals) {
                const double* n = CornerValue(normals, cp, pv);
                target->normals.push_back(n ? ToVec3(n) : Vec3{});
            }
            if (scene->hasTangents) {
                const double* t = CornerValue(tangents, cp, pv);
                const double* b = CornerValue(binormals, cp, pv);
                if (t && b) {
                    target->AddTangent(ToVec3(t), ToVec3(b));
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
