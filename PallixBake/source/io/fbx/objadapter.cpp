#include "io/fbx/objadapter.h"

#include <algorithm>
#include <climits>
#include <string>
#include <unordered_map>

#include "io/objtokenizer.h"

namespace Pallix::Bake {

namespace {

bool IsStatement(std::string_view keyword) {
    static constexpr std::string_view Keywords[] = {"v",      "vt",     "vn",   "vp",    "f",     "l",    "p",
                                                    "g",      "o",      "s",    "usemtl", "mtllib", "cstype", "curv",
                                                    "curv2",  "surf",   "deg",  "parm",  "end",   "lod"};
    for (std::string_view k : Keywords)
        if (keyword == k) return true;
    return false;
}

struct Corner {
    int32_t position;
    int32_t texCoord;  // -1 when the corner has none
    int32_t normal;
};

struct Group {
    std::string name;
    std::vector<Corner> corners;
    std::vector<uint32_t> polygonStarts;
    std::vector<int32_t> polygonMaterials;  // index into materials, -1 for none
    std::vector<int32_t> materials;         // numbers of the file's material names, in first use
    std::unordered_map<int32_t, int32_t> materialIndex;
};

class ObjReader {
public:
    ObjReader(std::string_view text, FbxScene& scene) : text(text), scene(scene) {}

    void Read() {
        ObjTokenizer lines(text.data(), text.size());
        std::string_view line;
        while (lines.NextLine(line)) {
            lineNumber = lines.LineNumber();
            std::string_view rest = line;
            const std::string_view keyword = ObjTokenizer::NextToken(rest);
            if (keyword == "v") {
                ReadNumbers(rest, ObjTokenizer::VectorKind::Position, positions);
            } else if (keyword == "vt") {
                ReadNumbers(rest, ObjTokenizer::VectorKind::TexCoord, texCoords);
            } else if (keyword == "vn") {
                ReadNumbers(rest, ObjTokenizer::VectorKind::Normal, normals);
            } else if (keyword == "f") {
                ReadFace(rest);
            } else if (keyword == "g" || keyword == "o") {
                SelectGroup(Trimmed(rest));
            } else if (keyword == "usemtl") {
                SelectMaterial(Trimmed(rest));
            }
        }
        Build();
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw FbxFormatError(what + " on line " + std::to_string(lineNumber));
    }

    static std::string_view Trimmed(std::string_view text) {
        text = ObjTokenizer::SkipBlanks(text);
        while (!text.empty() && ObjTokenizer::IsBlank(text.back())) text.remove_suffix(1);
        return text;
    }

    // The numbers of the line as the OBJ importer reads them: three, or two of a texture coordinate.
    void ReadNumbers(std::string_view rest, ObjTokenizer::VectorKind kind, std::vector<double>& out) {
        double values[3];
        if (!ObjTokenizer::ParseVector(rest, kind, values, problem)) Fail(problem);
        const size_t stored = kind == ObjTokenizer::VectorKind::TexCoord ? 2 : 3;
        out.insert(out.end(), values, values + stored);
        if (out.size() / stored > size_t(INT32_MAX)) Fail("too many vertices");
    }

    void SelectGroup(std::string_view name) {
        const std::string key = name.empty() ? "default" : std::string(name);
        const auto it = groupIndex.find(key);
        if (it != groupIndex.end()) {
            current = it->second;
            return;
        }
        current = int(groups.size());
        groupIndex.emplace(key, current);
        groups.push_back({});
        groups.back().name = key;
    }

    // Names are hashed once per usemtl line and then known by number, so neither faces nor groups
    // hash or copy a long name again.
    void SelectMaterial(std::string_view name) {
        if (name.empty()) {
            material = -1;
            return;
        }
        const auto [it, added] = materialNumber.try_emplace(std::string(name), int32_t(materialNames.size()));
        if (added) materialNames.push_back(it->first);
        material = it->second;
    }

    // An OBJ index: 1-based from the start, or negative from the end of the list so far.
    int32_t Resolve(int64_t index, size_t count, const char* what) const {
        const int64_t resolved = index > 0 ? index - 1 : int64_t(count) + index;
        if (index == 0 || resolved < 0 || uint64_t(resolved) >= count)
            Fail(std::string("face uses ") + what + " " + std::to_string(index) + " of " + std::to_string(count));
        return int32_t(resolved);
    }

    void ReadFace(std::string_view rest) {
        if (current < 0) SelectGroup("");
        Group& group = groups[size_t(current)];
        const size_t first = group.corners.size();
        for (std::string_view token = ObjTokenizer::NextToken(rest); !token.empty(); token = ObjTokenizer::NextToken(rest)) {
            ObjTokenizer::Corner corner;
            if (!ObjTokenizer::ParseCorner(token, corner)) {
                const std::string_view part = ObjTokenizer::NonNumberPart(token);
                Fail(part.empty() ? "bad face corner '" + std::string(token) + "'" : ObjTokenizer::NotANumber(part));
            }
            Corner c;
            c.position = Resolve(corner.position, positions.size() / 3, "vertex");
            c.texCoord = corner.texCoord ? Resolve(corner.texCoord, texCoords.size() / 2, "texture coordinate") : -1;
            c.normal = corner.normal ? Resolve(corner.normal, normals.size() / 3, "normal") : -1;
            group.corners.push_back(c);
        }
        if (group.corners.size() == first) return;
        if (group.corners.size() > size_t(INT32_MAX)) Fail("too many face corners");
        group.polygonStarts.push_back(uint32_t(first));
        int32_t materialSlot = -1;
        if (material >= 0) {
            const auto [it, added] = group.materialIndex.try_emplace(material, int32_t(group.materials.size()));
            if (added) group.materials.push_back(material);
            materialSlot = it->second;
        }
        group.polygonMaterials.push_back(materialSlot);
    }

    const FbxMaterial* MaterialObject(int32_t number) {
        const FbxMaterial*& object = materialObjects[size_t(number)];
        if (object) return object;
        auto created = std::make_unique<FbxMaterial>();
        created->name = materialNames[size_t(number)];
        created->materialClass = FbxMaterialClass::Other;  // a name only: the library file is not read
        object = created.get();
        scene.materials.push_back(std::move(created));
        return object;
    }

    // Gathers the entries of `source` (width values each) that the corners use, in first use,
    // and the per-corner index into them.
    static void PerCorner(const std::vector<Corner>& corners, int32_t Corner::*member, const std::vector<double>& source,
                          int width, FbxLayerElement& element, std::vector<int32_t>& remap) {
        element.mapping = FbxMappingMode::ByPolygonVertex;
        element.reference = FbxReferenceMode::IndexToDirect;
        element.components = width;
        element.index.reserve(corners.size());
        std::vector<int32_t> touched;
        for (const Corner& corner : corners) {
            const int32_t i = corner.*member;
            if (i < 0) {
                element.index.push_back(-1);
                continue;
            }
            if (remap[size_t(i)] < 0) {
                remap[size_t(i)] = int32_t(element.DirectCount());
                touched.push_back(i);
                element.direct.insert(element.direct.end(), source.begin() + size_t(i) * size_t(width),
                                      source.begin() + size_t(i + 1) * size_t(width));
            }
            element.index.push_back(remap[size_t(i)]);
        }
        for (int32_t i : touched) remap[size_t(i)] = -1;
    }

    void Build() {
        FbxNode& root = scene.nodes.emplace_back();
        root.name = "RootNode";
        std::vector<int32_t> positionRemap(positions.size() / 3, -1);
        std::vector<int32_t> texCoordRemap(texCoords.size() / 2, -1);
        std::vector<int32_t> normalRemap(normals.size() / 3, -1);
        materialObjects.assign(materialNames.size(), nullptr);
        for (Group& group : groups) {
            if (group.polygonStarts.empty()) continue;
            auto mesh = std::make_unique<FbxMesh>();
            mesh->polygonStarts = group.polygonStarts;
            mesh->polygonStarts.push_back(uint32_t(group.corners.size()));
            mesh->polygonVertices.reserve(group.corners.size());
            std::vector<int32_t> touched;
            bool anyTexCoord = false, anyNormal = false;
            for (const Corner& corner : group.corners) {
                int32_t& slot = positionRemap[size_t(corner.position)];
                if (slot < 0) {
                    slot = int32_t(mesh->ControlPointCount());
                    touched.push_back(corner.position);
                    const double* p = positions.data() + size_t(corner.position) * 3;
                    mesh->controlPoints.insert(mesh->controlPoints.end(), p, p + 3);
                }
                mesh->polygonVertices.push_back(slot);
                anyTexCoord |= corner.texCoord >= 0;
                anyNormal |= corner.normal >= 0;
            }
            for (int32_t i : touched) positionRemap[size_t(i)] = -1;
            if (anyNormal) {
                FbxLayerElement element;
                PerCorner(group.corners, &Corner::normal, normals, 3, element, normalRemap);
                mesh->elements[int(FbxLayerKind::Normal)].push_back(std::move(element));
            }
            if (anyTexCoord) {
                FbxLayerElement element;
                PerCorner(group.corners, &Corner::texCoord, texCoords, 2, element, texCoordRemap);
                mesh->elements[int(FbxLayerKind::UV)].push_back(std::move(element));
            }
            FbxNode& node = scene.nodes.emplace_back();
            node.name = group.name;
            node.parent = 0;
            node.hasAttribute = true;
            node.attributeType = FbxAttributeType::Mesh;
            if (!group.materials.empty()) {
                FbxLayerElement element;
                element.mapping = FbxMappingMode::ByPolygon;
                element.reference = FbxReferenceMode::IndexToDirect;
                element.index = std::move(group.polygonMaterials);
                mesh->elements[int(FbxLayerKind::Material)].push_back(std::move(element));
                for (const int32_t number : group.materials) node.materials.push_back(MaterialObject(number));
            }
            node.mesh = mesh.get();
            scene.meshes.push_back(std::move(mesh));
        }
    }

    std::string_view text;
    FbxScene& scene;
    int64_t lineNumber = 0;
    std::string problem;
    std::vector<double> positions, texCoords, normals;
    std::vector<Group> groups;
    std::unordered_map<std::string, int> groupIndex;
    int current = -1;
    int32_t material = -1;  // number of the usemtl name in force, -1 for none
    std::vector<std::string> materialNames;
    std::unordered_map<std::string, int32_t> materialNumber;
    std::vector<const FbxMaterial*> materialObjects;  // by number, made in first use by a group
};

}  // namespace

bool ObjAdapter::Recognise(std::string_view text) {
    // The first statement decides; comment and blank lines before it are skipped.
    ObjTokenizer lines(text.data(), std::min(text.size(), RecogniseBytes));
    std::string_view line;
    while (lines.NextLine(line)) {
        std::string_view rest = line;
        const std::string_view keyword = ObjTokenizer::NextToken(rest);
        if (keyword.empty() || keyword[0] == '#') continue;
        return IsStatement(keyword);
    }
    return false;
}

void ObjAdapter::Read(std::string_view text, FbxScene& scene) { ObjReader(text, scene).Read(); }

}  // namespace Pallix::Bake
