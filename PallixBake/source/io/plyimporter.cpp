#include "io/plyimporter.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <stdexcept>
#include <cstdio>
#include <string>

#include "geometry/scene.h"
#include "io/chunkedinput.h"
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

// The first record of an element a reading refuses, and why; records come in file order.
struct Refusal {
    int64_t record = INT64_MAX;
    std::string message;

    void Take(int64_t at, std::string text) {
        if (at >= record) return;
        record = at;
        message = std::move(text);
    }
};

enum class Visited { Taken, Refused, Unlike, Changed };

// Reads the records of the current element, a run per task on the workers, handing each to
// visit(run, record number, record, refusal): Taken, Refused (after taking the refusal), Unlike
// the record the plan assumed, or Changed from what an earlier reading found. Unlike records get
// the element planned again exactly, redo() called and the records read again. Returns the first
// refusal in file order; a change anywhere ends the import at once.
template <class Record, class Visit, class Redo>
Refusal ReadRecords(PlyReader& reader, ImportWorkers& workers, size_t chunkBytes, PlyElementPlan& plan, const Record& defaults,
                    const Visit& visit, const Redo& redo) {
    for (;;) {
        std::vector<Refusal> refusals(plan.runs.size());
        std::vector<uint8_t> unlike(plan.runs.size(), 0), unreadable(plan.runs.size(), 0), changed(plan.runs.size(), 0);
        workers.ForEachChunk(plan.runs.size(), [&](size_t r, ReadBuffer& buffer) {
            PlyRecordStorage storage;
            PlyRunReader records(reader, plan, plan.runs[r], buffer, storage);
            Record record = defaults;
            try {
                for (; records.Next(&record, sizeof record); record = defaults) {
                    const Visited visited = visit(r, records.Record() - 1, record, refusals[r]);
                    if (visited == Visited::Refused) return;
                    if (visited == Visited::Unlike) {
                        unlike[r] = 1;
                        return;
                    }
                    if (visited == Visited::Changed) {
                        changed[r] = 1;
                        return;
                    }
                }
            } catch (const ImportException& refusal) {
                refusals[r].Take(records.Record(), refusal.what());
                return;
            }
            unlike[r] = records.Mismatched();
            unreadable[r] = records.Unreadable();
            changed[r] = records.Changed();
        });
        if (std::find(changed.begin(), changed.end(), 1) != changed.end()) throw ImportException(ChangedWhileRead(reader.Name()));
        if (std::find(unlike.begin(), unlike.end(), 1) != unlike.end()) {
            if (plan.assumedRecordBytes < 0) throw std::logic_error("PLY records unlike an exact plan");
            ply_plan_element(reader, workers, chunkBytes, true, plan);
            redo();
            continue;
        }
        Refusal first;
        for (size_t r = 0; r < plan.runs.size() && first.record == INT64_MAX; ++r) {
            if (refusals[r].record != INT64_MAX) first = refusals[r];
            else if (unreadable[r]) first.Take(plan.runs[r].first, reader.Message("the file could not be read"));
        }
        if (first.record == INT64_MAX && plan.readable < reader.current->count) first.Take(plan.readable, plan.refusal);
        return first;
    }
}

// Elements the importer does not use are still read through, so that a malformed one is refused
// as it would be record by record.
void SkipRecords(PlyReader& reader, ImportWorkers& workers, size_t chunkBytes) {
    if (reader.fileType != PlyAscii) {
        ply_skip_element(reader);
        return;
    }
    PlyElementPlan plan;
    ply_plan_element(reader, workers, chunkBytes, false, plan);
    struct Nothing {
        char unused = 0;
    };
    const Refusal refusal = ReadRecords(
        reader, workers, chunkBytes, plan, Nothing{}, [](size_t, int64_t, const Nothing&, Refusal&) { return Visited::Taken; },
        [] {});
    if (refusal.record != INT64_MAX) throw ImportException(refusal.message);
}

void ReadVertices(PlyReader& reader, SceneMesh& mesh, bool withNormals, ImportWorkers& workers, size_t chunkBytes,
                  const SceneImporter& importer) {
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
    // The file's normals are read and checked even when the scene has no use for them, so that
    // whether the file is refused does not hang on the maps baked from it.
    const bool fileNormals = HasProperty(element, "nx") && HasProperty(element, "ny") && HasProperty(element, "nz");
    if (fileNormals) {
        ply_request_property(reader, Request("nx", PlyFloat32, offsetof(VertexRecord, nx)));
        ply_request_property(reader, Request("ny", PlyFloat32, offsetof(VertexRecord, ny)));
        ply_request_property(reader, Request("nz", PlyFloat32, offsetof(VertexRecord, nz)));
    }
    if (element.count == 0) return;
    for (const char* axis : {"x", "y", "z"})
        if (!HasProperty(element, axis)) reader.Fail(std::string("the vertex element has no property '") + axis + "'");

    PlyElementPlan plan;
    ply_plan_element(reader, workers, chunkBytes, false, plan);
    // Every record has its place: the mesh's vertices are the records in file order.
    const size_t base = mesh.positions.size();
    const size_t vertices = base + size_t(plan.readable);
    // The records a file of this size can hold, before any is copied.
    importer.CheckSize({mesh.TriangleCount(), vertices, 1});
    workers.ForEachChunk(3, [&](size_t array, ReadBuffer&) {
        if (array == 0) GrowForFilling(mesh.positions, vertices);
        else if (array == 1) GrowForFilling(mesh.colours, vertices);
        else if (withNormals) GrowForFilling(mesh.normals, vertices);
    });
    const VertexRecord defaults{0.0f, 0.0f, 0.0f, 255, 255, 255, 255, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    const Refusal refusal = ReadRecords(
        reader, workers, chunkBytes, plan, defaults,
        [&](size_t, int64_t i, const VertexRecord& vertex, Refusal& refused) {
            const Math::Vec3 p{vertex.x, vertex.y, vertex.z};
            // Infinite or NaN coordinates would break welding and every bound of the scene; such
            // a normal would count as none, and such a colour as black.
            const char* what = !Math::IsFinite(p)                                                      ? "a coordinate"
                               : fileNormals && !Math::IsFinite(Math::Vec3{vertex.nx, vertex.ny, vertex.nz}) ? "a normal"
                               : realColours && !Math::IsFinite(Math::Vec3{vertex.redF, vertex.greenF, vertex.blueF}) ? "a colour"
                                                                                                        : nullptr;
            if (what) {
                refused.Take(i, reader.Message("vertex " + std::to_string(i) + " has " + what + " that is not a finite number"));
                return Visited::Refused;
            }
            const size_t v = base + size_t(i);
            mesh.positions[v] = p;
            if (realColours)
                mesh.colours[v] = PackColour(ColourByte(vertex.redF), ColourByte(vertex.greenF), ColourByte(vertex.blueF), 255);
            else
                mesh.colours[v] = PackColour(vertex.red, vertex.green, vertex.blue, 255);
            // A zero normal counts as none and is built from the faces.
            if (withNormals) mesh.normals[v] = {vertex.nx, vertex.ny, vertex.nz};
            return Visited::Taken;
        },
        [] {});
    if (refusal.record != INT64_MAX) {
        // The mesh keeps the vertices before the refused one, as a reading record by record would.
        const size_t kept = base + size_t(refusal.record);
        mesh.positions.resize(kept);
        mesh.colours.resize(kept);
        if (withNormals) mesh.normals.resize(kept);
        throw ImportException(refusal.message);
    }
}

void ReadFaces(PlyReader& reader, SceneMesh& mesh, const SceneMaterial* material, ImportWorkers& workers, size_t chunkBytes,
               const SceneImporter& importer) {
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
    if (element.count == 0) return;

    PlyElementPlan plan;
    ply_plan_element(reader, workers, chunkBytes, false, plan);
    const size_t base = mesh.TriangleCount();
    const int64_t vertexCount = int64_t(mesh.positions.size());
    const FaceRecord defaults{0, nullptr};
    // Triangles before each run: from the first record's corners while every record is assumed
    // to be like it, else counted run by run.
    std::vector<size_t> firstTriangle;
    int assumedCorners = -1;
    auto countTriangles = [&] {
        firstTriangle.assign(plan.runs.size() + 1, 0);
        // A serial plan reads its records once, appending their triangles.
        if (plan.serial) return;
        if (plan.assumedRecordBytes >= 0) {
            PlyRecordStorage storage;
            ReadBuffer buffer;
            PlyRunReader first(reader, plan, plan.runs[0], buffer, storage);
            FaceRecord face = defaults;
            assumedCorners = first.Next(&face, sizeof face) ? face.count : -1;
            const size_t perFace = assumedCorners > 2 ? size_t(assumedCorners - 2) : 0;
            for (size_t r = 0; r < plan.runs.size(); ++r) firstTriangle[r + 1] = firstTriangle[r] + perFace * size_t(plan.runs[r].count);
            return;
        }
        std::vector<size_t> triangles(plan.runs.size(), 0);
        workers.ForEachChunk(plan.runs.size(), [&](size_t r, ReadBuffer& buffer) {
            PlyRecordStorage storage;
            PlyRunReader records(reader, plan, plan.runs[r], buffer, storage);
            FaceRecord face = defaults;
            try {
                for (; records.Next(&face, sizeof face); face = defaults) triangles[r] += face.count > 2 ? size_t(face.count - 2) : 0;
            } catch (const ImportException&) {
                // Refused again, and reported, by the reading that follows.
            }
        });
        for (size_t r = 0; r < plan.runs.size(); ++r) firstTriangle[r + 1] = firstTriangle[r] + triangles[r];
    };
    // Per run, apart from the others' in memory: triangles written, and where the face it read
    // last starts.
    struct alignas(64) Progress {
        size_t written = 0;
        size_t faceStart = 0;
    };
    std::vector<Progress> progress;
    auto prepare = [&] {
        countTriangles();
        importer.CheckSize({base + (plan.serial ? size_t(plan.readable) : firstTriangle.back()), mesh.positions.size(), 1});
        workers.ForEachChunk(2, [&](size_t array, ReadBuffer&) {
            if (array == 0) GrowForFilling(mesh.indices, 3 * (base + firstTriangle.back()));
            else GrowForFilling(mesh.triangleMaterials, base + firstTriangle.back());
        });
        progress.assign(plan.runs.size(), Progress{0, base});
    };
    prepare();
    const Refusal refusal = ReadRecords(
        reader, workers, chunkBytes, plan, defaults,
        [&](size_t r, int64_t f, const FaceRecord& face, Refusal& refused) {
            if (plan.assumedRecordBytes >= 0 && face.count != assumedCorners) return Visited::Unlike;
            // A run writes only the triangles its count gave it: more now means other faces.
            const size_t faceTriangles = size_t(std::max(face.count - 2, 0));
            if (!plan.serial && progress[r].written + faceTriangles > firstTriangle[r + 1] - firstTriangle[r]) return Visited::Changed;
            size_t t = base + firstTriangle[r] + progress[r].written;
            progress[r].faceStart = t;
            for (int k = 0; k < face.count; ++k)
                if (face.indices[k] < 0 || face.indices[k] >= vertexCount) {
                    refused.Take(f, reader.Message("face " + std::to_string(f) + " uses vertex " + std::to_string(face.indices[k]) +
                                                   " of " + std::to_string(vertexCount)));
                    return Visited::Refused;
                }
            if (plan.serial) {
                mesh.indices.resize(3 * (t + faceTriangles));
                mesh.triangleMaterials.resize(t + faceTriangles);
            }
            for (int k = 2; k < face.count; ++k, ++t) {
                mesh.indices[3 * t] = uint32_t(face.indices[0]);
                mesh.indices[3 * t + 1] = uint32_t(face.indices[k - 1]);
                mesh.indices[3 * t + 2] = uint32_t(face.indices[k]);
                mesh.triangleMaterials[t] = material->id;
            }
            progress[r].written = t - base - firstTriangle[r];
            return Visited::Taken;
        },
        prepare);
    // Runs read to their end, before any refusal, wrote every triangle counted in them.
    for (size_t r = 0; r < plan.runs.size() && !plan.serial; ++r)
        if (plan.runs[r].first + plan.runs[r].count <= refusal.record &&
            progress[r].written != firstTriangle[r + 1] - firstTriangle[r])
            throw ImportException(ChangedWhileRead(reader.Name()));
    // Every face record is begun as a polygon of the mesh; the state of the last one begun stays.
    size_t lastStart = base + firstTriangle.back();
    if (refusal.record == INT64_MAX) {
        lastStart = progress.back().faceStart;
    } else {
        for (size_t r = 0; r < plan.runs.size(); ++r)
            if (plan.runs[r].first <= refusal.record && refusal.record < plan.runs[r].first + plan.runs[r].count)
                lastStart = base + firstTriangle[r] + progress[r].written;
    }
    mesh.BeginPolygon(material);
    mesh.firstIndex = int(3 * lastStart);
    if (refusal.record != INT64_MAX) {
        mesh.indices.resize(3 * lastStart);
        mesh.triangleMaterials.resize(lastStart);
        throw ImportException(refusal.message);
    }
}

}  // namespace

void PLYImporter::Import(const char* path, Scene* scene) {
    const ChunkedInput input(path);
    if (!input.IsOpen()) throw ImportException(std::string("Can not open PLY file '") + (path ? path : "") + "'");
    CheckWholeInput(input, path);
    ImportInput(input, path, scene);
}

void PLYImporter::ImportData(const char* data, size_t size, const char* name, Scene* scene) {
    const ChunkedInput input(data, data ? size : 0);
    ImportInput(input, name, scene);
}

void PLYImporter::ImportInput(const ChunkedInput& input, const char* name, Scene* scene) {
    try {
        std::unique_ptr<PlyReader> reader = ply_open_header(input, name);
        Read(*reader, scene);
    } catch (const std::exception&) {
        // Whatever a rewritten file made the reading find, the change is what went wrong.
        if (input.Changed()) throw ImportException(ChangedWhileRead(name ? name : ""));
        throw;
    }
    // Records of the same shape rewritten between the passes leave no trace in the counts.
    if (input.Changed()) throw ImportException(ChangedWhileRead(name ? name : ""));
}

void PLYImporter::Read(PlyReader& reader, Scene* scene) {
    SceneMesh* mesh = scene->AddMesh("object");
    const SceneMaterial* material = scene->FindOrAddMaterial("unsupported");
    // Elements after the last vertex or face element need not be read at all; the ones before
    // are passed over record by record.
    int last = -1;
    for (size_t i = 0; i < reader.elements.size(); ++i)
        if (reader.elements[i].name == "vertex" || reader.elements[i].name == "face") last = int(i);
    ImportWorkers workers(this->workers);
    for (int i = 0; i <= last; ++i) {
        ply_select_element(reader, i);
        const std::string& name = reader.current->name;
        if (name == "vertex") ReadVertices(reader, *mesh, scene->hasNormals, workers, chunkBytes, *this);
        else if (name == "face") ReadFaces(reader, *mesh, material, workers, chunkBytes, *this);
        else SkipRecords(reader, workers, chunkBytes);
    }
    // A point cloud would bake blank maps and report success.
    if (mesh->TriangleCount() == 0) reader.Fail("it has no faces");
    // Only this file's mesh: meshes that earlier files added keep their own normals.
    if (scene->hasNormals) mesh->FillMissingNormals();
}

}  // namespace Pallix::Bake
