#include "io/objimporter.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "io/objtokenizer.h"
#include "io/polygontriangulation.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

enum ToolKind : int { ToolNone = 0, ToolZBrush = 2, ToolRealityCapture = 3 };

// Shortest lines that add a position ("v 0 0 0\n") or a face ("f 1 2 3\n"): header counts can
// promise no more than the file can hold.
constexpr uint64_t ShortestLine = 8;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two characters read as a base-16 number, stopping at the first one that is no hex digit.
uint8_t HexByte(char high, char low) {
    const int h = HexDigit(high);
    if (h < 0) return 0;
    const int l = HexDigit(low);
    return uint8_t(l < 0 ? h : h * 16 + l);
}

// The normal index of a face corner "v/t/n" or "v//n" as written; 0 when it names none.
int64_t NormalIndex(std::string_view token) {
    const size_t first = token.find('/');
    const size_t second = first == std::string_view::npos ? first : token.find('/', first + 1);
    if (second == std::string_view::npos) return 0;
    std::string_view rest = token.substr(second + 1);
    int64_t index = 0;
    return ObjTokenizer::ParseInt(rest, index) ? index : 0;
}

// The integer at `from` (counted from the start of the line), or 0 when there is none there.
int64_t IntegerAt(std::string_view line, size_t from) {
    std::string_view rest = line.substr(std::min(from, line.size()));
    int64_t value = 0;
    return ObjTokenizer::ParseInt(rest, value) ? value : 0;
}

class ObjReader {
public:
    ObjReader(ObjTokenizer& input, const char* name, Scene* scene)
        : input_(input), name_(name ? name : ""), scene_(scene) {
        mesh_ = scene_->AddMesh("global");
        material_ = scene_->FindOrAddMaterial("unsupported");
    }

    void Run() {
        std::string_view line;
        while (input_.NextLine(line)) {
            // Indented statements count as well: a vertex passed over would shift every face index.
            line = ObjTokenizer::SkipBlanks(line);
            if (line.empty()) continue;
            switch (line[0]) {
                case '#':
                    if (line.substr(1, 4) == "MRGB") ReadColours(line);
                    else ReadHeaderComment(line);
                    break;
                case 'f':
                    ReadFace(line);
                    break;
                case 'v':
                    if (line.size() > 1 && line[1] == 't') ++uvCount_;
                    else if (line.size() > 1 && ObjTokenizer::IsBlank(line[1])) ReadPosition(line);
                    else if (line.size() > 2 && line[1] == 'n' && ObjTokenizer::IsBlank(line[2]) && scene_->hasNormals)
                        ReadNormal(line);
                    break;
                default:
                    break;  // groups, objects, materials and the like
            }
        }
        if (input_.ReadFailed()) Fail("the file could not be read to its end");

        std::printf("Number of verts %lu\n", static_cast<unsigned long>(positions_.size()));
        std::printf("Number of uv %lu\n", static_cast<unsigned long>(uvCount_));
        std::printf("Number of colours %lu\n", static_cast<unsigned long>(colours_.size()));
        std::printf("Number of colour lines %d\n", colourLines_);
        std::printf("Number of triangle indices %lu\n", static_cast<unsigned long>(scene_->CountTriangles()));
        // Only this file's mesh: meshes that earlier files added keep their own normals.
        std::printf("Building normals\n");
        if (scene_->hasNormals) mesh_->FillMissingNormals();
        std::printf("Done");
    }

private:
    [[noreturn]] void Fail(const std::string& problem) const {
        throw ImportException("Invalid OBJ file '" + name_ + "': " + problem);
    }
    [[noreturn]] void FailAtLine(const std::string& problem) const {
        Fail("line " + std::to_string(input_.LineNumber()) + ": " + problem);
    }

    // A count from a header comment, limited to what a file of this size can hold.
    size_t Hint(int64_t count) const {
        if (count <= 0) return 0;
        return size_t(std::min<uint64_t>(uint64_t(count), input_.InputSize() / ShortestLine + 1));
    }

    void ReadPosition(std::string_view line) {
        std::string_view rest = line.substr(2);
        double xyz[3];
        for (double& value : xyz)
            if (!ObjTokenizer::ParseDouble(rest, value)) FailAtLine("a vertex needs three coordinates");
        const Vec3 p{float(xyz[0]), float(xyz[1]), float(xyz[2])};
        // Infinite or NaN coordinates would break welding and every bound of the scene.
        if (!Math::IsFinite(p)) FailAtLine("vertex coordinate is not a finite number");
        positions_.push_back(p);
    }

    // A normal that cannot be read counts as none: its corners get built normals.
    void ReadNormal(std::string_view line) {
        std::string_view rest = line.substr(2);
        double xyz[3] = {0.0, 0.0, 0.0};
        for (double& value : xyz)
            if (!ObjTokenizer::ParseDouble(rest, value)) value = 0.0;
        const Vec3 n{float(xyz[0]), float(xyz[1]), float(xyz[2])};
        normals_.push_back(Math::IsFinite(n) ? n : Vec3{});
    }

    void ReadColours(std::string_view line) {
        if (colours_.empty() && expectedVertices_ > 0) colours_.reserve(Hint(expectedVertices_));
        ++colourLines_;
        // Blocks of MMRRGGBB after "#MRGB "; a block cut short by the line end is dropped.
        for (size_t at = 6; at + 8 <= line.size(); at += 8) {
            const char first = line[at];
            if (first == '\n' || first == '\r' || first == ' ') break;
            colours_.push_back(PackColour(HexByte(line[at + 2], line[at + 3]), HexByte(line[at + 4], line[at + 5]),
                                          HexByte(line[at + 6], line[at + 7]), 255));
        }
    }

    void ReadHeaderComment(std::string_view line) {
        int64_t faceCount = 0;
        if (line.find("ZBrush") != std::string_view::npos) {
            toolKind_ = ToolZBrush;
            return;
        }
        if (line.find("#Vertex Count") != std::string_view::npos) {
            expectedVertices_ = IntegerAt(line, 14);
            positions_.reserve(Hint(expectedVertices_));
            return;
        }
        if (line.find("#Face Count") != std::string_view::npos) {
            faceCount = IntegerAt(line, 12);
        } else if (line.find("RealityCapture") != std::string_view::npos) {
            toolKind_ = ToolRealityCapture;
            return;
        } else if (toolKind_ == ToolRealityCapture && line.find("vertices") != std::string_view::npos &&
                   line.find("faces") != std::string_view::npos) {
            // "# 100 vertices, 50 faces"
            const size_t space = line.find(' ');
            if (space == std::string_view::npos) return;
            expectedVertices_ = IntegerAt(line, space + 1);
            positions_.reserve(Hint(expectedVertices_));
            const size_t comma = line.find(',', space + 1);
            if (comma == std::string_view::npos) return;
            const size_t next = line.find(' ', comma + 1);
            if (next == std::string_view::npos) return;
            faceCount = IntegerAt(line, next + 1);
        } else {
            return;
        }
        const size_t faces = Hint(faceCount);
        mesh_->ReserveIndices(faces);
        mesh_->Reserve(3 * faces);
    }

    void ReadFace(std::string_view line) {
        mesh_->BeginPolygon(material_);
        const size_t first = mesh_->positions.size();
        std::string_view rest = line.substr(1);
        // A token glued to the 'f' ("f1") is not a corner.
        if (!rest.empty() && !ObjTokenizer::IsBlank(rest.front())) ObjTokenizer::NextToken(rest);
        for (;;) {
            std::string_view token = ObjTokenizer::NextToken(rest);
            if (token.empty()) break;
            // "12/5/7" is corner 12 with normal 7. Relative (negative) and forward position
            // references are refused like any other index outside the positions; a normal index
            // outside the normals leaves the corner without one.
            const std::string_view corner = token;
            int64_t index = 0;
            if (!ObjTokenizer::ParseInt(token, index) || index < 1 || uint64_t(index) > positions_.size())
                throw BakeException("Invalid face in OBJ");
            const size_t i = size_t(index - 1);
            mesh_->positions.push_back(positions_[i]);
            mesh_->colours.push_back(i < colours_.size() ? colours_[i] : ColourWhite);
            if (scene_->hasNormals) {
                const int64_t n = NormalIndex(corner);
                mesh_->normals.push_back(n >= 1 && uint64_t(n) <= normals_.size() ? normals_[size_t(n - 1)] : Vec3{});
            }
        }
        const size_t corners = mesh_->positions.size() - first;
        if (corners <= 3) {
            for (size_t k = 0; k < corners; ++k) mesh_->AddCorner();
            return;
        }
        // Larger polygons are triangulated as FBX polygons are, so a concave one keeps its area.
        points_.resize(corners);
        for (size_t k = 0; k < corners; ++k) {
            const Vec3 p = mesh_->positions[first + k];
            points_[k] = {p.x, p.y, p.z};
        }
        triangles_.clear();
        TriangulatePolygon(points_, triangles_, earClippingBudget_);
        for (size_t t = 0; t < triangles_.size(); t += 3) {
            for (size_t k = 0; k < 3; ++k) mesh_->indices.push_back(uint32_t(first + size_t(triangles_[t + k])));
            mesh_->triangleMaterials.push_back(material_->id);
        }
    }

    ObjTokenizer& input_;
    std::string name_;
    Scene* scene_;
    SceneMesh* mesh_ = nullptr;
    SceneMaterial* material_ = nullptr;
    int toolKind_ = ToolNone;
    int64_t expectedVertices_ = -1;
    int colourLines_ = 0;
    std::vector<Vec3> positions_;
    std::vector<Vec3> normals_;
    size_t uvCount_ = 0;
    std::vector<Colour32> colours_;
    uint64_t earClippingBudget_ = EarClippingBudget;
    std::vector<PolygonPoint> points_;
    std::vector<int> triangles_;
};

}  // namespace

void OBJImporter::Import(const char* path, Scene* scene) {
    ObjTokenizer input(path);
    if (!input.IsOpen()) throw ImportException("Can not open OBJ file");
    Read(input, path, scene);
}

void OBJImporter::ImportText(const char* text, size_t size, const char* name, Scene* scene) {
    ObjTokenizer input(text, size);
    Read(input, name, scene);
}

void OBJImporter::Read(ObjTokenizer& input, const char* name, Scene* scene) {
    ObjReader reader(input, name, scene);
    reader.Run();
}

}  // namespace Pallix::Bake
