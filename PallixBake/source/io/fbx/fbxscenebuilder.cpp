#include <algorithm>
#include <cctype>
#include <cmath>
#include <climits>
#include <initializer_list>
#include <unordered_map>
#include <unordered_set>

#include "io/fbx/fbxscene.h"

namespace Pallix::Bake {

namespace {

// How a node inherits its parent's scaling (the "InheritType" property).
enum InheritType : int64_t {
    InheritRrSs = 0,  // parent scaling applied after the child's rotation
    InheritRSrs = 1,  // parent scaling before the child's rotation
    InheritRrs = 2,   // the parent's own scaling does not reach the child
};

struct ObjectRecord {
    FbxElement* element = nullptr;
    std::string_view type;  // the record name: Model, Geometry, Material, ...
    std::string_view subclass;
    int mesh = -1;      // index in FbxScene::meshes once built
    int material = -1;  // index in FbxScene::materials once built
};

struct Connection {
    bool objectToObject = true;
    int64_t child = 0;
    int64_t parent = 0;
    std::string_view property;
};

struct LayerLayout {
    const char* record;
    const char* directName;
    const char* indexName;
    int components;
};

// In FbxLayerKind order.
constexpr LayerLayout LayerLayouts[FbxLayerKindCount] = {
    {"LayerElementNormal", "Normals", "NormalsIndex", 3},
    {"LayerElementTangent", "Tangents", "TangentsIndex", 3},
    {"LayerElementBinormal", "Binormals", "BinormalsIndex", 3},
    {"LayerElementColor", "Colors", "ColorIndex", 4},
    {"LayerElementUV", "UV", "UVIndex", 2},
    {"LayerElementMaterial", nullptr, "Materials", 0},
};

// Object names are stored as "Name\0\1Class" in binary files and "Class::Name" in ASCII ones.
std::string ObjectName(std::string_view stored) {
    const size_t binary = stored.find(std::string_view("\0\1", 2));
    if (binary != std::string_view::npos) return std::string(stored.substr(0, binary));
    const size_t ascii = stored.find("::");
    if (ascii != std::string_view::npos) return std::string(stored.substr(ascii + 2));
    return std::string(stored);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view ChildText(const FbxElement& element, std::string_view name) {
    const FbxElement* child = element.Find(name);
    return child && !child->values.empty() ? child->values[0].AsText() : std::string_view();
}

void ReadProperties(FbxElement* properties, FbxPropertyTable& table) {
    if (!properties) return;
    std::vector<FbxPropertyTable::Property> list;
    for (FbxElement& p : properties->children) {
        if (p.name != "P" || p.values.empty() || !p.values[0].IsText()) continue;
        FbxPropertyTable::Property& property = list.emplace_back();
        property.name = std::string(p.values[0].AsText());
        if (p.values.size() > 1) property.type = std::string(p.values[1].AsText());
        for (size_t i = 4; i < p.values.size(); ++i) {
            // No property value is read as an array, and a packed one points into the file's
            // bytes, which the scene outlives: it keeps only its kind.
            if (std::holds_alternative<FbxPackedArray>(p.values[i].data)) p.values[i] = FbxValue(std::vector<uint8_t>());
            property.values.push_back(std::move(p.values[i]));
        }
    }
    table.Assign(std::move(list));
}

const FbxPropertyTable::Property* FindProperty(const FbxPropertyTable& own, const FbxPropertyTable* fallback,
                                               std::string_view name) {
    const FbxPropertyTable::Property* property = own.Find(name);
    return property || !fallback ? property : fallback->Find(name);
}

// What keeps a property from giving `count` finite numbers, its first values; empty when nothing.
// A word there ("inf", "nan", "." in an ASCII file) or a value beyond a double would otherwise
// be taken as 0.
std::string NumbersProblem(const FbxPropertyTable::Property& property, size_t count, const std::string& owner) {
    const std::string what = "property '" + property.name + "' of " + owner;
    if (property.values.size() < count) return what + " needs " + std::to_string(count) + (count == 1 ? " number" : " numbers");
    for (size_t i = 0; i < count; ++i) {
        const FbxValue& value = property.values[i];
        if (value.IsText()) return what + " holds '" + std::string(value.AsText()) + "' where a number is needed";
        if (!value.IsNumber()) return what + " holds no number";
        if (!std::isfinite(value.AsReal())) return what + " is not a finite number";
    }
    return {};
}

// Reads a property of three numbers into out; false when there is none or it cannot give them,
// with the first such reason kept in problem.
bool ReadVector(const FbxPropertyTable::Property* property, FbxVector3& out, const std::string& owner,
                std::string& problem) {
    if (!property) return false;
    const std::string wrong = NumbersProblem(*property, 3, owner);
    if (!wrong.empty()) {
        if (problem.empty()) problem = wrong;
        return false;
    }
    out = {property->values[0].AsReal(), property->values[1].AsReal(), property->values[2].AsReal()};
    return true;
}

// The owner named in a problem of a property found in an object's own table or its template's.
std::string Owner(const FbxPropertyTable& own, std::string_view name, const std::string& object) {
    return own.Find(name) ? object : "the template of " + object;
}

FbxMappingMode MappingMode(std::string_view text) {
    if (text == "ByVertice" || text == "ByVertex" || text == "ByControlPoint") return FbxMappingMode::ByControlPoint;
    if (text == "ByPolygonVertex") return FbxMappingMode::ByPolygonVertex;
    if (text == "ByPolygon") return FbxMappingMode::ByPolygon;
    if (text == "ByEdge") return FbxMappingMode::ByEdge;
    if (text == "AllSame") return FbxMappingMode::AllSame;
    return FbxMappingMode::None;
}

FbxReferenceMode ReferenceMode(std::string_view text) {
    if (text == "IndexToDirect") return FbxReferenceMode::IndexToDirect;
    if (text == "Index") return FbxReferenceMode::Index;
    return FbxReferenceMode::Direct;
}

FbxAttributeType AttributeType(std::string_view type, std::string_view subclass) {
    if (type == "Geometry") {
        if (subclass == "Mesh") return FbxAttributeType::Mesh;
        if (subclass == "NurbsCurve") return FbxAttributeType::NurbsCurve;
        if (subclass == "NurbsSurface") return FbxAttributeType::NurbsSurface;
        if (subclass == "Nurb" || subclass == "Nurbs") return FbxAttributeType::Nurbs;
        if (subclass == "Line") return FbxAttributeType::Line;
        if (subclass == "Shape") return FbxAttributeType::Shape;
        return FbxAttributeType::Unknown;
    }
    if (subclass == "Null") return FbxAttributeType::Null;
    if (subclass == "LimbNode" || subclass == "Limb" || subclass == "Root") return FbxAttributeType::Skeleton;
    if (subclass == "Camera") return FbxAttributeType::Camera;
    if (subclass == "Light") return FbxAttributeType::Light;
    return FbxAttributeType::Unknown;
}

class FbxSceneBuilder {
public:
    FbxSceneBuilder(FbxDocument& document, FbxScene& scene) : document(document), scene(scene) {}

    void Build() {
        ReadTemplates();
        ReadObjects();
        ReadConnections();
        BuildNodeTree();
        EvaluateTransforms();
    }

private:
    // The templates of one object type: the first of each class name, and the type's first.
    struct TypeTemplates {
        const FbxPropertyTable* first = nullptr;
        std::unordered_map<std::string_view, const FbxPropertyTable*> byName;
    };

    void ReadTemplates() {
        FbxElement* definitions = document.root.Find("Definitions");
        if (!definitions) return;
        for (FbxElement& type : definitions->children) {
            if (type.name != "ObjectType" || type.values.empty()) continue;
            for (FbxElement& child : type.children) {
                if (child.name != "PropertyTemplate" || child.values.empty()) continue;
                auto table = std::make_unique<FbxPropertyTable>();
                ReadProperties(child.Find("Properties70"), *table);
                TypeTemplates& ofType = templates[type.values[0].AsText()];
                if (!ofType.first) ofType.first = table.get();
                ofType.byName.emplace(child.values[0].AsText(), table.get());
                scene.templates.push_back(std::move(table));
            }
        }
    }

    // The template for an object type: the first of the preferred class names that the file
    // defines, else the type's first template.
    const FbxPropertyTable* FindTemplate(std::string_view objectType,
                                         std::initializer_list<std::string_view> preferred) const {
        const auto type = templates.find(objectType);
        if (type == templates.end()) return nullptr;
        for (std::string_view name : preferred) {
            const auto it = type->second.byName.find(name);
            if (it != type->second.byName.end()) return it->second;
        }
        return type->second.first;
    }

    void ReadObjects() {
        FbxElement* objectList = document.root.Find("Objects");
        if (!objectList) return;
        for (FbxElement& element : objectList->children) {
            if (element.values.empty() || !element.values[0].IsNumber()) continue;
            const int64_t id = element.values[0].AsInteger();
            ObjectRecord record;
            record.element = &element;
            record.type = element.name;
            if (element.values.size() > 2) record.subclass = element.values[2].AsText();
            objects.emplace(id, record);  // the first object of an id wins
        }
    }

    void ReadConnections() {
        const FbxElement* list = document.root.Find("Connections");
        if (!list) return;
        for (const FbxElement& c : list->children) {
            if (c.name != "C") continue;
            if (c.values.size() < 3 || !c.values[1].IsNumber() || !c.values[2].IsNumber())
                throw FbxFormatError("connection without two object ids");
            Connection connection;
            const std::string_view kind = c.values[0].AsText();
            connection.objectToObject = kind == "OO";
            connection.child = c.values[1].AsInteger();
            connection.parent = c.values[2].AsInteger();
            if (c.values.size() > 3) connection.property = c.values[3].AsText();
            if (kind != "OO" && kind != "OP") continue;
            connections.push_back(connection);
        }
        for (const Connection& c : connections) sources[c.parent].push_back(&c);
    }

    ObjectRecord* Object(int64_t id) {
        const auto it = objects.find(id);
        return it == objects.end() ? nullptr : &it->second;
    }

    const std::vector<const Connection*>& SourcesOf(int64_t id) const {
        static const std::vector<const Connection*> none;
        const auto it = sources.find(id);
        return it == sources.end() ? none : it->second;
    }

    void BuildNodeTree() {
        // A model hangs below the first model (or the root, id 0) it is connected to.
        std::unordered_map<int64_t, std::vector<int64_t>> children;
        std::unordered_set<int64_t> placed;
        for (const Connection& c : connections) {
            if (!c.objectToObject || c.child == c.parent || c.child == 0) continue;
            const ObjectRecord* child = Object(c.child);
            if (!child || child->type != "Model") continue;
            if (c.parent != 0) {
                const ObjectRecord* parent = Object(c.parent);
                if (!parent || parent->type != "Model") continue;
            }
            if (!placed.insert(c.child).second) continue;
            children[c.parent].push_back(c.child);
        }

        FbxNode& root = scene.nodes.emplace_back();
        root.name = "RootNode";
        // Depth first, pre-order, children in connection order, with an explicit stack so deep
        // hierarchies cannot exhaust the call stack.
        struct Pending {
            int64_t id;
            int parent;
        };
        std::vector<Pending> stack;
        const auto pushChildren = [&](int64_t id, int nodeIndex) {
            const auto it = children.find(id);
            if (it == children.end()) return;
            for (auto c = it->second.rbegin(); c != it->second.rend(); ++c) stack.push_back({*c, nodeIndex});
        };
        pushChildren(0, 0);
        std::unordered_set<int64_t> visited;
        while (!stack.empty()) {
            const Pending pending = stack.back();
            stack.pop_back();
            if (!visited.insert(pending.id).second) continue;
            const int index = int(scene.nodes.size());
            scene.nodes.emplace_back();
            ReadModel(pending.id, scene.nodes.back());
            scene.nodes.back().parent = pending.parent;
            pushChildren(pending.id, index);
        }
    }

    void ReadModel(int64_t id, FbxNode& node) {
        ObjectRecord& record = *Object(id);
        FbxElement& element = *record.element;
        node.name = element.values.size() > 1 ? ObjectName(element.values[1].AsText()) : std::string();
        ReadProperties(element.Find("Properties70"), node.properties);
        node.templateProperties = FindTemplate("Model", {"FbxNode"});

        for (const Connection* c : SourcesOf(id)) {
            if (!c->objectToObject) continue;
            ObjectRecord* source = Object(c->child);
            if (!source) continue;
            if (!node.hasAttribute && (source->type == "Geometry" || source->type == "NodeAttribute")) {
                node.hasAttribute = true;
                node.attributeType = AttributeType(source->type, source->subclass);
                if (node.attributeType == FbxAttributeType::Mesh) node.mesh = MeshOf(*source);
            } else if (source->type == "Material") {
                node.materials.push_back(MaterialOf(c->child, *source));
            }
        }
    }

    const FbxMesh* MeshOf(ObjectRecord& record) {
        if (record.mesh < 0) {
            auto mesh = std::make_unique<FbxMesh>();
            ReadMesh(*record.element, *mesh);
            record.mesh = int(scene.meshes.size());
            scene.meshes.push_back(std::move(mesh));
        }
        return scene.meshes[size_t(record.mesh)].get();
    }

    static void ReadMesh(FbxElement& geometry, FbxMesh& mesh) {
        const std::string name = geometry.values.size() > 1 ? ObjectName(geometry.values[1].AsText()) : std::string();
        const std::string where = " in mesh '" + name + "'";
        if (FbxElement* vertices = geometry.Find("Vertices")) {
            if (!ElementReals(*vertices, mesh.controlPoints)) throw FbxFormatError("vertices are not numbers" + where);
            if (mesh.controlPoints.size() % 3 != 0)
                throw FbxFormatError("vertex array length is not a multiple of 3" + where);
        }
        std::vector<int32_t> raw;
        size_t bad = 0;
        if (FbxElement* indices = geometry.Find("PolygonVertexIndex")) {
            if (!ElementInt32s(*indices, raw, bad))
                throw FbxFormatError("PolygonVertexIndex entry " + std::to_string(bad) + " is not a valid index" + where);
        }
        if (raw.size() > size_t(INT32_MAX)) throw FbxFormatError("too many polygon corners" + where);
        // A negative entry closes its polygon and stores the control point as its complement.
        const size_t controlPoints = mesh.ControlPointCount();
        mesh.polygonVertices.resize(raw.size());
        mesh.polygonStarts.clear();
        bool open = false;
        for (size_t i = 0; i < raw.size(); ++i) {
            const int32_t v = raw[i];
            const int32_t cp = v < 0 ? ~v : v;
            if (size_t(cp) >= controlPoints)
                throw FbxFormatError("polygon corner " + std::to_string(i) + " uses control point " +
                                     std::to_string(cp) + " of " + std::to_string(controlPoints) + where);
            if (!open) mesh.polygonStarts.push_back(uint32_t(i));
            open = v >= 0;
            mesh.polygonVertices[i] = cp;
        }
        // An unterminated last polygon still counts as one.
        mesh.polygonStarts.push_back(uint32_t(raw.size()));
        if (mesh.polygonStarts.size() == 1) mesh.polygonStarts.clear();

        for (FbxElement& child : geometry.children) {
            for (int kind = 0; kind < FbxLayerKindCount; ++kind) {
                const LayerLayout& layout = LayerLayouts[kind];
                if (child.name != layout.record) continue;
                FbxLayerElement element;
                element.typedIndex = child.values.empty() ? 0 : int(std::clamp<int64_t>(child.values[0].AsInteger(), INT32_MIN, INT32_MAX));
                element.mapping = MappingMode(ChildText(child, "MappingInformationType"));
                element.reference = ReferenceMode(ChildText(child, "ReferenceInformationType"));
                element.components = layout.components;
                if (layout.directName) {
                    if (FbxElement* direct = child.Find(layout.directName)) {
                        if (!ElementReals(*direct, element.direct))
                            throw FbxFormatError(std::string(layout.directName) + " are not numbers" + where);
                        if (element.direct.size() % size_t(layout.components) != 0)
                            throw FbxFormatError(std::string(layout.directName) + " array length is not a multiple of " +
                                                 std::to_string(layout.components) + where);
                    }
                }
                if (FbxElement* index = child.Find(layout.indexName)) {
                    if (!ElementInt32s(*index, element.index, bad))
                        throw FbxFormatError(std::string(layout.indexName) + " entry " + std::to_string(bad) +
                                             " is not a valid index" + where);
                }
                mesh.elements[size_t(kind)].push_back(std::move(element));
            }
        }
        for (auto& list : mesh.elements)
            std::stable_sort(list.begin(), list.end(), [](const FbxLayerElement& a, const FbxLayerElement& b) {
                return a.typedIndex < b.typedIndex;
            });
    }

    const FbxMaterial* MaterialOf(int64_t id, ObjectRecord& record) {
        if (record.material < 0) {
            auto material = std::make_unique<FbxMaterial>();
            FbxElement& element = *record.element;
            material->name = element.values.size() > 1 ? ObjectName(element.values[1].AsText()) : std::string();
            const std::string_view model = ChildText(element, "ShadingModel");
            const FbxPropertyTable* tmpl = nullptr;
            if (EqualsNoCase(model, "phong")) {
                material->materialClass = FbxMaterialClass::Phong;
                tmpl = FindTemplate("Material", {"FbxSurfacePhong", "FbxSurfaceLambert"});
            } else if (EqualsNoCase(model, "lambert")) {
                material->materialClass = FbxMaterialClass::Lambert;
                tmpl = FindTemplate("Material", {"FbxSurfaceLambert"});
            } else {
                tmpl = FindTemplate("Material", {"FbxSurfaceMaterial"});
            }
            FbxPropertyTable properties;
            ReadProperties(element.Find("Properties70"), properties);
            const std::string owner = "material '" + material->name + "'";
            if (const auto* own = properties.Find("DiffuseColor"))
                ReadVector(own, material->diffuseColor, owner, material->refusal);
            else if (tmpl)
                ReadVector(tmpl->Find("DiffuseColor"), material->diffuseColor, "the template of " + owner, material->refusal);
            // A shader implementation hangs on the material's implementation property, or is an
            // implementation object that names its shading language.
            for (const Connection* c : SourcesOf(id)) {
                const ObjectRecord* source = Object(c->child);
                if (!source) continue;
                std::string_view language = c->property;
                if (c->objectToObject) {
                    if (source->type != "Implementation") continue;
                    const FbxElement* props = source->element->Find("Properties70");
                    if (props) {
                        for (const FbxElement& p : props->children)
                            if (p.name == "P" && p.values.size() > 4 && p.values[0].AsText() == "ShaderLanguage")
                                language = p.values[4].AsText();
                    }
                    if (language == "HLSL") language = "ImplementationHLSL";
                    if (language == "CGFX") language = "ImplementationCGFX";
                }
                if (language == "ImplementationHLSL") material->hasHLSL = true;
                if (language == "ImplementationCGFX") material->hasCGFX = true;
            }
            record.material = int(scene.materials.size());
            scene.materials.push_back(std::move(material));
        }
        return scene.materials[size_t(record.material)].get();
    }

    void EvaluateTransforms() {
        std::vector<FbxVector3> localScaling(scene.nodes.size(), FbxVector3{1, 1, 1});
        for (size_t i = 1; i < scene.nodes.size(); ++i) {
            FbxNode& node = scene.nodes[i];
            // A node below one whose transform cannot be read cannot be placed either.
            node.refusal = scene.nodes[size_t(node.parent)].refusal;
            const std::string model = "model '" + node.name + "'";
            const auto vector = [&](std::string_view name, FbxVector3 fallback) {
                FbxVector3 v = fallback;
                ReadVector(FindProperty(node.properties, node.templateProperties, name), v, Owner(node.properties, name, model),
                           node.refusal);
                return v;
            };
            const auto integer = [&](std::string_view name) -> int64_t {
                const auto* p = FindProperty(node.properties, node.templateProperties, name);
                if (!p) return 0;
                const std::string wrong = NumbersProblem(*p, 1, Owner(node.properties, name, model));
                if (!wrong.empty() && node.refusal.empty()) node.refusal = wrong;
                return wrong.empty() ? p->values[0].AsInteger() : 0;
            };
            const FbxVector3 zero, one{1, 1, 1};
            const FbxVector3 t = vector("Lcl Translation", zero), r = vector("Lcl Rotation", zero);
            const FbxVector3 s = vector("Lcl Scaling", one);
            const FbxVector3 rotationOffset = vector("RotationOffset", zero), rotationPivot = vector("RotationPivot", zero);
            const FbxVector3 scalingOffset = vector("ScalingOffset", zero), scalingPivot = vector("ScalingPivot", zero);
            // Pre- and post-rotation and the rotation order count only while rotation is active.
            const bool rotationActive = integer("RotationActive") != 0;
            const FbxVector3 preRotation = rotationActive ? vector("PreRotation", zero) : zero;
            const FbxVector3 postRotation = rotationActive ? vector("PostRotation", zero) : zero;
            const int64_t orderValue = rotationActive ? integer("RotationOrder") : 0;
            const FbxRotationOrder order =
                orderValue >= 0 && orderValue <= 6 ? FbxRotationOrder(orderValue) : FbxRotationOrder::XYZ;
            const int64_t inheritType = integer("InheritType");
            localScaling[i] = s;

            const FbxMatrix localRotation = FbxMatrix::Rotation(preRotation) * FbxMatrix::Rotation(r, order) *
                                            FbxMatrix::Rotation(postRotation).Inverse();
            const FbxMatrix scaling = FbxMatrix::Scaling(s);
            const FbxMatrix local = FbxMatrix::Translation(t) * FbxMatrix::Translation(rotationOffset) *
                                    FbxMatrix::Translation(rotationPivot) * localRotation *
                                    FbxMatrix::Translation({-rotationPivot.x, -rotationPivot.y, -rotationPivot.z}) *
                                    FbxMatrix::Translation(scalingOffset) * FbxMatrix::Translation(scalingPivot) *
                                    scaling *
                                    FbxMatrix::Translation({-scalingPivot.x, -scalingPivot.y, -scalingPivot.z});

            const FbxMatrix& parentGlobal = scene.nodes[size_t(node.parent)].global;
            const FbxMatrix parentRotation = FbxMatrix::Rotation(parentGlobal.GetR());
            const FbxMatrix parentLinear = parentGlobal.Linear();
            const FbxMatrix parentScaling = parentRotation.Inverse() * parentLinear;
            FbxMatrix linear;
            if (inheritType == InheritRSrs) {
                // Parent scaling before the child's rotation: the plain matrix product.
                linear = parentLinear * localRotation * scaling;
            } else if (inheritType == InheritRrs) {
                // The parent's own scaling does not reach the child.
                const FbxVector3 ps = localScaling[size_t(node.parent)];
                const auto inverse = [](double v) { return v != 0.0 ? 1.0 / v : 0.0; };
                const FbxMatrix withoutParentLocal =
                    parentScaling * FbxMatrix::Scaling({inverse(ps.x), inverse(ps.y), inverse(ps.z)});
                linear = parentRotation * localRotation * withoutParentLocal * scaling;
            } else {
                // Parent scaling applied after the child's rotation, in its axes.
                linear = parentRotation * localRotation * parentScaling * scaling;
            }
            const FbxVector3 translation = parentGlobal.TransformPoint(local.GetT());
            node.global = linear;
            node.global.m[0][3] = translation.x;
            node.global.m[1][3] = translation.y;
            node.global.m[2][3] = translation.z;
            node.globalT = node.global.GetT();
            node.globalR = node.global.GetR();
            node.globalS = node.global.GetS();
            node.geometricT = vector("GeometricTranslation", zero);
            node.geometricR = vector("GeometricRotation", zero);
            node.geometricS = vector("GeometricScaling", one);
        }
    }

    FbxDocument& document;
    FbxScene& scene;
    std::unordered_map<std::string_view, TypeTemplates> templates;
    std::unordered_map<int64_t, ObjectRecord> objects;
    std::vector<Connection> connections;
    std::unordered_map<int64_t, std::vector<const Connection*>> sources;
};

}  // namespace

void FbxScene::Build(FbxDocument& document) { FbxSceneBuilder(document, *this).Build(); }

}  // namespace Pallix::Bake
