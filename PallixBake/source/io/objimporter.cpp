#include "io/objimporter.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/bakeexception.h"
#include "core/largeblock.h"
#include "geometry/scene.h"
#include "io/chunkedinput.h"
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

// Whether a colour block MMRRGGBB is eight hexadecimal digits.
bool IsHexBlock(std::string_view block) {
    for (const char c : block)
        if (HexDigit(c) < 0) return false;
    return true;
}

// The integer at `from` (counted from the start of the line), or 0 when there is none there.
int64_t IntegerAt(std::string_view line, size_t from) {
    std::string_view rest = line.substr(std::min(from, line.size()));
    int64_t value = 0;
    return ObjTokenizer::ParseInt(rest, value) ? value : 0;
}

enum class Statement { Other, Comment, Colours, Face, Position, TexCoord, Normal };

// Whether the keyword that starts a line ends at `at`, at a blank or at the line end.
bool KeywordEnds(std::string_view line, size_t at) { return line.size() == at || ObjTokenizer::IsBlank(line[at]); }

// What a line holds, judged by its first characters once its leading blanks are skipped;
// indented statements count as well, since a vertex passed over would shift every face index.
// Texture coordinates and normals are read whether or not the scene uses them, so that a file
// is refused for the same numbers whichever reader of the library reads it.
Statement Classify(std::string_view& line) {
    line = ObjTokenizer::SkipBlanks(line);
    if (line.empty()) return Statement::Other;
    switch (line[0]) {
        case '#': return line.substr(1, 4) == "MRGB" ? Statement::Colours : Statement::Comment;
        case 'f': return Statement::Face;
        case 'v':
            if (KeywordEnds(line, 1)) return Statement::Position;
            if (line.size() > 1 && line[1] == 't' && KeywordEnds(line, 2)) return Statement::TexCoord;
            if (line.size() > 1 && line[1] == 'n' && KeywordEnds(line, 2)) return Statement::Normal;
            return Statement::Other;
        default: return Statement::Other;  // groups, objects, materials and the like
    }
}

// Blocks of MMRRGGBB after "#MRGB "; a block cut short by the line end is dropped. When asked,
// bad is the first block that is not hexadecimal.
template <class Visit>
void ForEachColourBlock(std::string_view line, const Visit& visit, std::string_view* bad = nullptr) {
    for (size_t at = 6; at + 8 <= line.size(); at += 8) {
        const char first = line[at];
        if (first == '\n' || first == '\r' || first == ' ') break;
        if (bad && bad->empty() && !IsHexBlock(line.substr(at, 8))) *bad = line.substr(at, 8);
        visit(PackColour(HexByte(line[at + 2], line[at + 3]), HexByte(line[at + 4], line[at + 5]),
                         HexByte(line[at + 6], line[at + 7]), 255));
    }
}

// The corner tokens of a face line; a token glued to the 'f' ("f1") is not a corner.
std::string_view FaceCorners(std::string_view line) {
    std::string_view rest = line.substr(1);
    if (!rest.empty() && !ObjTokenizer::IsBlank(rest.front())) ObjTokenizer::NextToken(rest);
    return rest;
}

size_t FanTriangles(size_t corners) { return corners < 3 ? 0 : corners - 2; }

// What a header comment tells about the counts to come. Tool lines change how later comments
// are read, so the notes are replayed in file order once every chunk has been read.
struct HeaderNote {
    enum Kind { ZBrush, VertexCount, FaceCount, RealityCapture, Counts } kind = ZBrush;
    int64_t vertices = 0;
    int64_t faces = 0;
    bool withFaces = false;
};

bool ReadHeaderNote(std::string_view line, HeaderNote& note) {
    if (line.find("ZBrush") != std::string_view::npos) {
        note.kind = HeaderNote::ZBrush;
    } else if (line.find("#Vertex Count") != std::string_view::npos) {
        note.kind = HeaderNote::VertexCount;
        note.vertices = IntegerAt(line, 14);
    } else if (line.find("#Face Count") != std::string_view::npos) {
        note.kind = HeaderNote::FaceCount;
        note.faces = IntegerAt(line, 12);
    } else if (line.find("RealityCapture") != std::string_view::npos) {
        note.kind = HeaderNote::RealityCapture;
    } else if (line.find("vertices") != std::string_view::npos && line.find("faces") != std::string_view::npos) {
        // "# 100 vertices, 50 faces", heeded only after a RealityCapture line.
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        note.kind = HeaderNote::Counts;
        note.vertices = IntegerAt(line, space + 1);
        const size_t comma = line.find(',', space + 1);
        const size_t next = comma == std::string_view::npos ? comma : line.find(' ', comma + 1);
        note.withFaces = next != std::string_view::npos;
        if (note.withFaces) note.faces = IntegerAt(line, next + 1);
    } else {
        return false;
    }
    return true;
}

// What the first pass counts in a chunk; summed over the chunks before one, where its entries go.
struct Counts {
    int64_t lines = 0;
    uint64_t positions = 0, normals = 0, colours = 0, uvs = 0, colourLines = 0, corners = 0, triangles = 0;

    void Add(const Counts& other) {
        lines += other.lines;
        positions += other.positions;
        normals += other.normals;
        colours += other.colours;
        uvs += other.uvs;
        colourLines += other.colourLines;
        corners += other.corners;
        triangles += other.triangles;
    }
};

// One piece of the file, a run of whole lines, and what each pass learnt from it.
struct Chunk {
    uint64_t begin = 0, end = 0;
    bool unreadable = false;
    Counts counts;
    Counts before;  // of the chunks before this one
    std::vector<HeaderNote> notes;
    // A later pass found other lines than the count pass: the file changed under the reader.
    bool changed = false;

    // The first lines the vertex pass and the face pass refuse: 1-based within the chunk, 0 for
    // none. The face pass stops at the vertex pass's line, so a bad face always comes first.
    // A face refused for a corner that is no number has a problem of its own; one refused for
    // an index outside the positions has none.
    int64_t vertexErrorLine = 0;
    std::string problem;
    int64_t faceErrorLine = 0;
    std::string faceProblem;
    int64_t ErrorLine() const { return faceErrorLine > 0 ? faceErrorLine : vertexErrorLine; }

    // Where the face pass stopped: what it wrote before the refused line, and the corners of a
    // refused face before its bad one.
    uint64_t cornersDone = 0, trianglesDone = 0, badFaceCorners = 0;
    // The last face begun: its first corner and triangle (within the chunk) and its corner count.
    bool anyFace = false;
    uint64_t lastFaceCorner = 0, lastFaceTriangle = 0, lastFaceCorners = 0;
    uint64_t clippingTests = 0;  // point tests of ear clipping
};

class ObjReader {
public:
    ObjReader(const ChunkedInput& input, const char* name, Scene* scene, unsigned workers, size_t chunkBytes)
        : input_(input), name_(name ? name : ""), scene_(scene), workers_(workers), chunkBytes_(chunkBytes) {
        mesh_ = scene_->AddMesh("global");
        material_ = scene_->FindOrAddMaterial("unsupported");
        withNormals_ = scene_->hasNormals;
    }

    void Run(const SceneImporter& importer) {
        Split();
        workers_.ForEachChunk(chunks_.size(), [this](size_t c, ReadBuffer& buffer) { Count(chunks_[c], buffer); });
        Sum();
        importer.CheckSize({total_.triangles, total_.positions + total_.normals, 1});
        ReplayHeaderNotes();
        ReadVertices();
        ReadFaces();
        Finish();
    }

private:
    [[noreturn]] void Fail(const std::string& problem) const {
        throw ImportException("Invalid OBJ file '" + name_ + "': " + problem);
    }
    [[noreturn]] void FailChanged() const { throw ImportException(ChangedWhileRead(name_)); }

    // A count from a header comment, limited to what a file of this size can hold.
    size_t Hint(int64_t count) const {
        if (count <= 0) return 0;
        return size_t(std::min<uint64_t>(uint64_t(count), input_.Size() / ShortestLine + 1));
    }

    std::string_view Text(Chunk& chunk, ReadBuffer& buffer) const {
        std::string_view text;
        if (!input_.View(chunk.begin, size_t(chunk.end - chunk.begin), buffer, text)) chunk.unreadable = true;
        return text;
    }

    void Split() {
        ReadBuffer buffer;
        std::string_view head;
        if (!input_.View(0, 3, buffer, head)) Fail("the file could not be read to its end");
        // A UTF-8 byte-order mark is no part of the first line.
        const uint64_t begin = head == "\xEF\xBB\xBF" ? 3 : 0;
        std::vector<uint64_t> starts;
        if (!LineChunkStarts(input_, begin, chunkBytes_, LineEnds::FeedOrReturn, starts))
            Fail("the file could not be read to its end");
        chunks_.resize(starts.size() - 1);
        for (size_t c = 0; c < chunks_.size(); ++c) {
            chunks_[c].begin = starts[c];
            chunks_[c].end = starts[c + 1];
        }
    }

    void Count(Chunk& chunk, ReadBuffer& buffer) const {
        LineCursor lines(Text(chunk, buffer));
        Counts counts;
        std::string_view line;
        while (lines.Next(line)) {
            ++counts.lines;
            switch (Classify(line)) {
                case Statement::Position: ++counts.positions; break;
                case Statement::Normal: ++counts.normals; break;
                case Statement::TexCoord: ++counts.uvs; break;
                case Statement::Colours:
                    ++counts.colourLines;
                    ForEachColourBlock(line, [&](Colour32) { ++counts.colours; });
                    break;
                case Statement::Face: {
                    std::string_view rest = FaceCorners(line);
                    size_t corners = 0;
                    while (!ObjTokenizer::NextToken(rest).empty()) ++corners;
                    counts.corners += corners;
                    counts.triangles += FanTriangles(corners);
                    break;
                }
                case Statement::Comment: {
                    HeaderNote note;
                    if (ReadHeaderNote(line, note)) chunk.notes.push_back(note);
                    break;
                }
                case Statement::Other: break;
            }
        }
        chunk.counts = counts;
    }

    void Sum() {
        for (Chunk& chunk : chunks_) {
            if (chunk.unreadable) Fail("the file could not be read to its end");
            chunk.before = total_;
            total_.Add(chunk.counts);
        }
    }

    // Header counts reserve what they promise, as they always did; the arrays are sized from
    // the real counts afterwards.
    void ReplayHeaderNotes() {
        int toolKind = ToolNone;
        for (const Chunk& chunk : chunks_)
            for (const HeaderNote& note : chunk.notes) {
                int64_t faceCount = -1;
                switch (note.kind) {
                    case HeaderNote::ZBrush: toolKind = ToolZBrush; break;
                    case HeaderNote::RealityCapture: toolKind = ToolRealityCapture; break;
                    case HeaderNote::VertexCount: break;
                    case HeaderNote::FaceCount: faceCount = note.faces; break;
                    case HeaderNote::Counts:
                        if (toolKind == ToolRealityCapture && note.withFaces) faceCount = note.faces;
                        break;
                }
                if (faceCount < 0) continue;
                const size_t faces = Hint(faceCount);
                mesh_->ReserveIndices(faces);
                mesh_->Reserve(3 * faces);
            }
    }

    void ReadVertices() {
        positions_ = AllocateLarge<Vec3>(total_.positions);
        if (withNormals_) normals_ = AllocateLarge<Vec3>(total_.normals);
        colours_ = AllocateLarge<Colour32>(total_.colours);
        workers_.ForEachChunk(chunks_.size(), [this](size_t c, ReadBuffer& buffer) { ParseVertices(chunks_[c], buffer); });
        for (const Chunk& chunk : chunks_) {
            if (chunk.changed) FailChanged();
            if (chunk.unreadable) Fail("the file could not be read to its end");
        }
    }

    void ParseVertices(Chunk& chunk, ReadBuffer& buffer) const {
        LineCursor lines(Text(chunk, buffer));
        // Each chunk writes only the places its counts gave it: a file rewritten since they
        // were taken may hold more entries now, and those must not reach the next chunk's.
        Vec3* position = positions_.get() + chunk.before.positions;
        Vec3* const positionsEnd = position + chunk.counts.positions;
        Vec3* normal = withNormals_ ? normals_.get() + chunk.before.normals : nullptr;
        Colour32* colour = colours_.get() + chunk.before.colours;
        Colour32* const coloursEnd = colour + chunk.counts.colours;
        uint64_t normalsRead = 0;
        std::string problem;
        std::string_view line;
        for (int64_t number = 1; lines.Next(line); ++number) {
            // Infinite or NaN coordinates would break welding and every bound of the scene, and
            // texture coordinates the rasterising of the low-poly mesh that shares this parse.
            double xyz[3];
            switch (Classify(line)) {
                case Statement::Position: {
                    if (position == positionsEnd) return Changed(chunk);
                    if (!ObjTokenizer::ParseVector(line.substr(1), ObjTokenizer::VectorKind::Position, xyz, problem))
                        return Refuse(chunk, number, problem);
                    *position++ = {float(xyz[0]), float(xyz[1]), float(xyz[2])};
                    break;
                }
                case Statement::Normal: {
                    if (++normalsRead > chunk.counts.normals) return Changed(chunk);
                    if (!ObjTokenizer::ParseVector(line.substr(2), ObjTokenizer::VectorKind::Normal, xyz, problem))
                        return Refuse(chunk, number, problem);
                    if (withNormals_) *normal++ = {float(xyz[0]), float(xyz[1]), float(xyz[2])};
                    break;
                }
                case Statement::TexCoord:
                    if (!ObjTokenizer::ParseVector(line.substr(2), ObjTokenizer::VectorKind::TexCoord, xyz, problem))
                        return Refuse(chunk, number, problem);
                    break;
                case Statement::Colours: {
                    bool room = true;
                    std::string_view bad;
                    ForEachColourBlock(line, [&](Colour32 c) {
                        room = room && colour != coloursEnd;
                        if (room) *colour++ = c;
                    }, &bad);
                    if (!room) return Changed(chunk);
                    if (!bad.empty()) return Refuse(chunk, number, "colour block " + ObjTokenizer::NotANumber(bad, "hexadecimal"));
                    break;
                }
                default: break;
            }
        }
        if (position != positionsEnd || normalsRead != chunk.counts.normals || colour != coloursEnd) Changed(chunk);
    }

    static void Changed(Chunk& chunk) { chunk.changed = true; }

    static void Refuse(Chunk& chunk, int64_t line, std::string problem) {
        chunk.vertexErrorLine = line;
        chunk.problem = std::move(problem);
    }

    // The faces of chunks up to the first refused line, each into its place in the mesh.
    void ReadFaces() {
        lastChunk_ = chunks_.size();
        for (size_t c = 0; c < chunks_.size() && lastChunk_ == chunks_.size(); ++c)
            if (chunks_[c].vertexErrorLine > 0) lastChunk_ = c + 1;
        const Chunk& last = chunks_[lastChunk_ - 1];
        const size_t corners = size_t(last.before.corners + last.counts.corners), triangles = size_t(last.before.triangles + last.counts.triangles);
        // Each array is grown by a worker of its own.
        workers_.ForEachChunk(5, [&](size_t array, ReadBuffer&) {
            switch (array) {
                case 0: GrowForFilling(mesh_->positions, corners); break;
                case 1: GrowForFilling(mesh_->colours, corners); break;
                case 2: if (withNormals_) GrowForFilling(mesh_->normals, corners); break;
                case 3: GrowForFilling(mesh_->indices, 3 * triangles); break;
                default: GrowForFilling(mesh_->triangleMaterials, triangles); break;
            }
        });

        workers_.ForEachChunk(lastChunk_, [this](size_t c, ReadBuffer& buffer) {
            uint64_t budget = EarClippingBudget;
            ParseFaces(chunks_[c], buffer, budget);
        });
        CheckFacePass();
        // Ear clipping shares one budget across the file: when the chunks together spent it,
        // the faces are read again in file order, so each polygon gets what was left for it.
        uint64_t tests = 0;
        for (size_t c = 0; c < lastChunk_; ++c) tests += chunks_[c].clippingTests;
        if (tests >= EarClippingBudget) {
            uint64_t budget = EarClippingBudget;
            ReadBuffer buffer;
            for (size_t c = 0; c < lastChunk_; ++c) {
                ParseFaces(chunks_[c], buffer, budget);
            }
            CheckFacePass();
        }
    }

    void CheckFacePass() const {
        for (size_t c = 0; c < lastChunk_; ++c) {
            if (chunks_[c].changed) FailChanged();
            if (chunks_[c].unreadable) Fail("the file could not be read to its end");
        }
    }

    void ParseFaces(Chunk& chunk, ReadBuffer& buffer, uint64_t& budget) const {
        LineCursor lines(Text(chunk, buffer));
        uint64_t positionsSoFar = chunk.before.positions, normalsSoFar = chunk.before.normals, coloursSoFar = chunk.before.colours;
        uint64_t corner = chunk.before.corners, triangle = chunk.before.triangles;
        // What the count pass found in this chunk bounds every entry this pass reads or writes.
        const Counts& counted = chunk.counts;
        const uint64_t positionsEnd = chunk.before.positions + counted.positions, normalsEnd = chunk.before.normals + counted.normals;
        const uint64_t coloursEnd = chunk.before.colours + counted.colours;
        const uint64_t cornersEnd = chunk.before.corners + counted.corners, trianglesEnd = chunk.before.triangles + counted.triangles;
        const int materialId = material_->id;
        std::vector<PolygonPoint> points;
        std::vector<int> fan;
        const uint64_t budgetBefore = budget;
        // Kept here and stored at the end: chunks side by side in memory are written by other threads.
        struct {
            uint64_t corner, triangle, corners;
        } lastFace{UINT64_MAX, 0, 0};
        auto store = [&] {
            chunk.anyFace = lastFace.corner != UINT64_MAX;
            chunk.lastFaceCorner = lastFace.corner - chunk.before.corners;
            chunk.lastFaceTriangle = lastFace.triangle - chunk.before.triangles;
            chunk.lastFaceCorners = lastFace.corners;
            chunk.cornersDone = corner - chunk.before.corners;
            chunk.trianglesDone = triangle - chunk.before.triangles;
            chunk.clippingTests = budgetBefore - budget;
        };
        auto changed = [&] {
            Changed(chunk);
            store();
        };
        chunk.faceErrorLine = 0;
        chunk.faceProblem.clear();
        std::string_view line;
        bool stopped = false;
        for (int64_t number = 1; lines.Next(line); ++number) {
            if (number == chunk.vertexErrorLine) {
                stopped = true;
                break;
            }
            switch (Classify(line)) {
                case Statement::Position:
                    if (++positionsSoFar > positionsEnd) return changed();
                    continue;
                case Statement::Normal:
                    if (++normalsSoFar > normalsEnd) return changed();
                    continue;
                case Statement::Colours:
                    ForEachColourBlock(line, [&](Colour32) { ++coloursSoFar; });
                    if (coloursSoFar > coloursEnd) return changed();
                    continue;
                case Statement::Face: break;
                default: continue;
            }
            lastFace = {corner, triangle, 0};
            const uint64_t first = corner;
            std::string_view rest = FaceCorners(line);
            for (std::string_view token = ObjTokenizer::NextToken(rest); !token.empty(); token = ObjTokenizer::NextToken(rest)) {
                // "12/5/7" is corner 12 with normal 7. Relative (negative) and forward position
                // references are refused like any other index outside the positions; a normal
                // index outside the normals leaves the corner without one. A part that is no
                // integer at all ("1x", "1,5") is refused for that.
                ObjTokenizer::Corner parsed;
                const bool read = ObjTokenizer::ParseCorner(token, parsed);
                if (!read || parsed.position < 1 || uint64_t(parsed.position) > positionsSoFar) {
                    const std::string_view part = read ? std::string_view() : ObjTokenizer::NonNumberPart(token);
                    if (!part.empty()) chunk.faceProblem = ObjTokenizer::NotANumber(part);
                    chunk.faceErrorLine = number;
                    chunk.badFaceCorners = corner - first;
                    corner = first;
                    store();
                    return;
                }
                if (corner == cornersEnd) {
                    corner = first;
                    return changed();
                }
                const size_t i = size_t(parsed.position - 1);
                mesh_->positions[corner] = positions_[i];
                mesh_->colours[corner] = i < coloursSoFar ? colours_[i] : ColourWhite;
                if (withNormals_) {
                    const int64_t n = parsed.normal;
                    mesh_->normals[corner] = n >= 1 && uint64_t(n) <= normalsSoFar ? normals_[size_t(n - 1)] : Vec3{};
                }
                ++corner;
            }
            const size_t corners = size_t(corner - first);
            lastFace.corners = corners;
            if (corners < 3) continue;
            if (triangle + FanTriangles(corners) > trianglesEnd) return changed();
            uint32_t* indices = mesh_->indices.data() + 3 * triangle;
            if (corners == 3) {
                indices[0] = uint32_t(first);
                indices[1] = uint32_t(first + 1);
                indices[2] = uint32_t(first + 2);
                mesh_->triangleMaterials[triangle++] = materialId;
                continue;
            }
            // Larger polygons are triangulated as FBX polygons are, so a concave one keeps its area.
            points.resize(corners);
            for (size_t k = 0; k < corners; ++k) {
                const Vec3 p = mesh_->positions[first + k];
                points[k] = {p.x, p.y, p.z};
            }
            fan.clear();
            TriangulatePolygon(points, fan, budget);
            for (size_t k = 0; k < fan.size(); ++k) indices[k] = uint32_t(first + size_t(fan[k]));
            for (size_t t = 0; t < fan.size() / 3; ++t) mesh_->triangleMaterials[triangle++] = materialId;
        }
        // A chunk read to its end holds exactly what was counted in it.
        if (!stopped && (positionsSoFar != positionsEnd || normalsSoFar != normalsEnd || coloursSoFar != coloursEnd ||
                         corner != cornersEnd || triangle != trianglesEnd))
            Changed(chunk);
        store();
    }

    // The first refusal in file order ends the import; the mesh keeps what came before it, as
    // a reading line by line would have left it.
    void Finish() {
        const Chunk* failed = nullptr;
        for (size_t c = 0; c < lastChunk_ && !failed; ++c)
            if (chunks_[c].ErrorLine() > 0) failed = &chunks_[c];
        const Chunk* lastFace = failed && failed->faceErrorLine > 0 ? failed : nullptr;
        for (size_t c = failed ? size_t(failed - chunks_.data()) + 1 : lastChunk_; c-- > 0 && !lastFace;)
            if (chunks_[c].anyFace) lastFace = &chunks_[c];
        if (lastFace) {
            const bool refused = lastFace == failed && failed->faceErrorLine > 0;
            const uint64_t faceCorners = refused ? 0 : lastFace->lastFaceCorners;
            mesh_->firstVertex = int(lastFace->before.corners + (refused ? lastFace->cornersDone : lastFace->lastFaceCorner));
            mesh_->firstIndex = int(3 * (lastFace->before.triangles + (refused ? lastFace->trianglesDone : lastFace->lastFaceTriangle)));
            mesh_->cornerCount = mesh_->fanCount = faceCorners <= 3 ? int(faceCorners) : 0;
            mesh_->material = material_->id;
        }
        if (failed) {
            const size_t corners = size_t(failed->before.corners + failed->cornersDone + failed->badFaceCorners);
            const size_t triangles = size_t(failed->before.triangles + failed->trianglesDone);
            mesh_->positions.resize(corners);
            mesh_->colours.resize(corners);
            if (withNormals_) mesh_->normals.resize(corners);
            mesh_->indices.resize(3 * triangles);
            mesh_->triangleMaterials.resize(triangles);
            if (failed->faceErrorLine > 0 && failed->faceProblem.empty()) throw BakeException("Invalid face in OBJ");
            Fail("line " + std::to_string(failed->before.lines + failed->ErrorLine()) + ": " +
                 (failed->faceErrorLine > 0 ? failed->faceProblem : failed->problem));
        }
        if (input_.ReadFailed()) Fail("the file could not be read to its end");
        // Lines of the same shape rewritten between the passes leave no trace in the counts.
        if (input_.Changed()) FailChanged();

        std::printf("Number of verts %lu\n", static_cast<unsigned long>(total_.positions));
        std::printf("Number of uv %lu\n", static_cast<unsigned long>(total_.uvs));
        std::printf("Number of colours %lu\n", static_cast<unsigned long>(total_.colours));
        std::printf("Number of colour lines %d\n", int(total_.colourLines));
        std::printf("Number of triangle indices %lu\n", static_cast<unsigned long>(scene_->CountTriangles()));
        // Only this file's mesh: meshes that earlier files added keep their own normals.
        std::printf("Building normals\n");
        if (withNormals_) mesh_->FillMissingNormals();
        std::printf("Done");
    }

    const ChunkedInput& input_;
    std::string name_;
    Scene* scene_;
    ImportWorkers workers_;
    size_t chunkBytes_;
    SceneMesh* mesh_ = nullptr;
    SceneMaterial* material_ = nullptr;
    bool withNormals_ = false;
    std::vector<Chunk> chunks_;
    size_t lastChunk_ = 0;  // chunks whose faces are read
    Counts total_;
    // The file's own lists, in file order; faces copy from them into the mesh's corners.
    LargeArray<Vec3> positions_;
    LargeArray<Vec3> normals_;
    LargeArray<Colour32> colours_;
};

}  // namespace

void OBJImporter::Import(const char* path, Scene* scene) {
    ChunkedInput input(path);
    if (!input.IsOpen()) throw ImportException("Can not open OBJ file");
    CheckWholeInput(input, path);
    ImportInput(input, path, scene);
}

void OBJImporter::ImportText(const char* text, size_t size, const char* name, Scene* scene) {
    ChunkedInput input(text, size);
    ImportInput(input, name, scene);
}

void OBJImporter::ImportInput(const ChunkedInput& input, const char* name, Scene* scene) {
    ObjReader reader(input, name, scene, workers, chunkBytes);
    try {
        reader.Run(*this);
    } catch (const std::exception&) {
        // Whatever a rewritten file made the reading find, the change is what went wrong.
        if (input.Changed()) throw ImportException(ChangedWhileRead(name ? name : ""));
        throw;
    }
}

}  // namespace Pallix::Bake
