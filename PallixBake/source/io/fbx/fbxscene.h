#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/fbx/fbxdocument.h"
#include "io/fbx/fbxmatrix.h"

namespace Pallix::Bake {

// Node attribute types, numbered as the format's object model numbers them.
enum class FbxAttributeType {
    Unknown = 0,
    Null = 1,
    Skeleton = 3,
    Mesh = 4,
    Nurbs = 5,
    Camera = 7,
    Light = 10,
    NurbsCurve = 13,
    NurbsSurface = 16,
    Shape = 17,
    Line = 21,
};

enum class FbxMappingMode { None = 0, ByControlPoint = 1, ByPolygonVertex = 2, ByPolygon = 3, ByEdge = 4, AllSame = 5 };
enum class FbxReferenceMode { Direct = 0, Index = 1, IndexToDirect = 2 };
enum class FbxLayerKind { Normal, Tangent, Binormal, Colour, UV, Material };
constexpr int FbxLayerKindCount = 6;

enum class FbxMaterialClass { Other, Lambert, Phong };

// Properties of an object: "P" records by name, each with its type text and its values.
class FbxPropertyTable {
public:
    struct Property {
        std::string name;
        std::string type;
        std::vector<FbxValue> values;
    };

    const Property* Find(std::string_view name) const;
    // Takes an object's properties in file order; a later property of a name replaces an earlier one.
    void Assign(std::vector<Property> list);
    bool Empty() const { return properties.empty(); }

private:
    std::vector<Property> properties;  // sorted by name, one per name
};

// One layer element of a mesh: per-entry values (components doubles each) and an index array,
// addressed by the mapping and reference modes.
struct FbxLayerElement {
    int typedIndex = 0;
    FbxMappingMode mapping = FbxMappingMode::None;
    FbxReferenceMode reference = FbxReferenceMode::Direct;
    int components = 0;
    std::vector<double> direct;
    std::vector<int32_t> index;

    size_t DirectCount() const { return components ? direct.size() / size_t(components) : 0; }
    // Entry `at` of the direct array, or null when out of range.
    const double* DirectAt(int64_t at) const {
        return at >= 0 && uint64_t(at) < DirectCount() ? direct.data() + size_t(at) * size_t(components) : nullptr;
    }
    // Entry `at` of the index array, or -1 when out of range.
    int32_t IndexAt(int64_t at) const { return at >= 0 && uint64_t(at) < index.size() ? index[size_t(at)] : -1; }
    // The direct entry for element position `at` under this element's reference mode: direct
    // reads `at` itself, index to direct goes through the index array; null otherwise or when
    // out of range.
    const double* Resolve(int64_t at) const;
};

// A polygon mesh: control points and polygons whose corners index them. Every corner's
// control-point index is checked when the mesh is read.
class FbxMesh {
public:
    std::vector<double> controlPoints;    // x, y, z per control point
    std::vector<int32_t> polygonVertices; // control-point index per corner
    std::vector<uint32_t> polygonStarts;  // first corner of each polygon, then the corner count
    std::array<std::vector<FbxLayerElement>, FbxLayerKindCount> elements;  // by kind, in layer order

    size_t ControlPointCount() const { return controlPoints.size() / 3; }
    int PolygonCount() const { return polygonStarts.empty() ? 0 : int(polygonStarts.size() - 1); }
    int PolygonSize(int polygon) const { return int(polygonStarts[polygon + 1] - polygonStarts[polygon]); }
    int PolygonVertex(int polygon, int corner) const { return polygonVertices[polygonStarts[polygon] + corner]; }
    const double* ControlPoint(int index) const { return controlPoints.data() + size_t(index) * 3; }

    int ElementCount(FbxLayerKind kind) const { return int(elements[int(kind)].size()); }
    const FbxLayerElement* Element(FbxLayerKind kind, int i = 0) const {
        const auto& list = elements[int(kind)];
        return i >= 0 && size_t(i) < list.size() ? &list[size_t(i)] : nullptr;
    }
    // The UV-array index of a corner (pv counts the corners of the mesh) for the first UV
    // element mapped by polygon vertex; -1 when there is none.
    int TextureUVIndex(int64_t pv) const;

    // Replaces every polygon of more than three corners by triangles (a fan when it is convex,
    // ear clipping otherwise), carrying per-corner and per-polygon layer data along.
    void Triangulate(uint64_t& earClippingBudget);
};

struct FbxMaterial {
    std::string name;
    FbxMaterialClass materialClass = FbxMaterialClass::Other;
    bool hasHLSL = false;  // a shader implementation is attached
    bool hasCGFX = false;
    FbxVector3 diffuseColor{0.8, 0.8, 0.8};  // "DiffuseColor" as stored, not scaled by its factor
    std::string refusal;  // why the diffuse colour cannot be read; empty when it can
};

struct FbxNode {
    std::string name;
    int parent = -1;  // index in FbxScene::nodes, -1 for the root
    bool hasAttribute = false;
    FbxAttributeType attributeType = FbxAttributeType::Unknown;
    const FbxMesh* mesh = nullptr;
    std::vector<const FbxMaterial*> materials;  // in connection order, used or not

    FbxPropertyTable properties;
    const FbxPropertyTable* templateProperties = nullptr;

    // Global transform (static values, source pivots) and its decomposition, angles in degrees.
    FbxMatrix global;
    FbxVector3 globalT, globalR, globalS{1, 1, 1};
    FbxVector3 geometricT, geometricR, geometricS{1, 1, 1};
    // Why the node cannot be placed: a property of its transform, or of a node above it, that
    // does not hold the numbers it needs. Empty when it can; the importer refuses such a node.
    std::string refusal;

    // A property of the node (its own, else its template's) as text; false when it has none.
    bool FindPropertyText(std::string_view propertyName, std::string& text) const;
};

// The scene of one file: the node tree flattened depth first, pre-order, children in
// connection order (nodes[0] is the root), and the meshes and materials the nodes refer to.
class FbxScene {
public:
    std::vector<FbxNode> nodes;
    std::vector<std::unique_ptr<FbxMesh>> meshes;
    std::vector<std::unique_ptr<FbxMaterial>> materials;
    std::vector<std::unique_ptr<FbxPropertyTable>> templates;

    // Builds the scene from a parsed document; throws FbxFormatError for malformed content.
    void Build(FbxDocument& document);
    void Triangulate();
};

// Text of a property value as a string property gives it; numbers in decimal.
std::string FbxValueText(const FbxValue& value);

}  // namespace Pallix::Bake
