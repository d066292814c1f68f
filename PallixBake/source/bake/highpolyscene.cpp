#include <algorithm>
#include <cctype>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "bake/bakemanager.h"
#include "bake/highpolyestimate.h"
#include "core/availablememory.h"
#include "core/bakeexception.h"
#include "core/importexception.h"
#include "geometry/scene.h"
#include "io/fbximporter.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

bool ContainsNoCase(const std::string& text, const char* needle) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find(needle) != std::string::npos;
}

int64_t SecondsSince1970() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

enum class HighPolyFormat { None, Fbx, Obj, Ply };

// The importer a high-poly file's name asks for; folders in the path have no say.
HighPolyFormat FormatOf(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (ContainsNoCase(name, ".fbx")) return HighPolyFormat::Fbx;
    if (ContainsNoCase(name, ".obj")) return HighPolyFormat::Obj;
    if (ContainsNoCase(name, ".ply")) return HighPolyFormat::Ply;
    return HighPolyFormat::None;
}

std::string Gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    return text;
}

HighPolyImporter ImporterOf(HighPolyFormat format) {
    return format == HighPolyFormat::Fbx ? HighPolyImporter::Fbx
           : format == HighPolyFormat::Ply ? HighPolyImporter::Ply
                                           : HighPolyImporter::Obj;
}

// The size of a high-poly load so far, measured against the room there was when it began. The
// address space the process had reserved by then (its threads' stacks and allocator arenas) is
// counted in what was used, so it is not asked for again.
struct LoadBudget {
    MemoryRoom room;
    bool normals = false;  // the scene keeps normals
    LoadEstimate before;   // of the files read before the current one
    bool first = true;

    // Refuses the file before it is copied when it does not fit beside the files before it.
    void Check(const std::string& path, HighPolyFormat format, const ImportSize& size) const {
        LoadEstimate needed = before;
        needed.Add(EstimateLoad(ImporterOf(format), size, normals));
        if (needed.Bytes() > room.memory) Refuse(path, needed, room.memory, "memory");
        if (needed.Bytes() > room.addressSpace) Refuse(path, needed, room.addressSpace, "address space");
    }
    [[noreturn]] void Refuse(const std::string& path, const LoadEstimate& needed, uint64_t available, const char* kind) const {
        const std::string what = needed.ByVertices() ? std::to_string(needed.vertices) + " vertices"
                                                     : std::to_string(needed.triangles) + " triangles";
        throw ImportException("Not enough memory to load " + path + ": " +
                              (first ? "its " : "with the high-poly files before it, ") + what + " need about " +
                              Gigabytes(needed.Bytes()) + " of " + kind + ", and " + Gigabytes(available) +
                              " are available");
    }
    void Add(HighPolyFormat format, const ImportSize& size) {
        before.Add(EstimateLoad(ImporterOf(format), size, normals));
        first = false;
    }
};

// OBJ and PLY files are read on as many threads as the bake's pool has.
void ImportHighPolyFile(const std::string& path, Scene* scene, unsigned threads, LoadBudget& budget) {
    const HighPolyFormat format = FormatOf(path);
    const uint64_t before = uint64_t(scene->CountTriangles());
    // Every importer has its size checked before it copies the file; the last size it told is
    // what the file added.
    ImportSize added;
    auto read = [&](SceneImporter& importer) {
        importer.sizeCheck = [&](const ImportSize& size) {
            budget.Check(path, format, size);
            added = size;
        };
        importer.Import(path.c_str(), scene);
    };
    try {
        switch (format) {
        case HighPolyFormat::Fbx: {
            FBXImporter importer;
            importer.viewName = "gameview";
            importer.triangulate = true;
            read(importer);
            break;
        }
        case HighPolyFormat::Obj: {
            OBJImporter importer;
            importer.workers = threads;
            read(importer);
            break;
        }
        case HighPolyFormat::Ply: {
            PLYImporter importer;
            importer.workers = threads;
            read(importer);
            break;
        }
        case HighPolyFormat::None: break;
        }
    } catch (const std::bad_alloc&) {
        throw ImportException("Not enough memory to load " + path);
    }
    added.triangles = std::max(added.triangles, uint64_t(scene->CountTriangles()) - before);
    budget.Add(format, added);
}

std::string FileList(const std::vector<std::string>& paths) {
    std::string list;
    for (const std::string& path : paths) list += (list.empty() ? "" : ", ") + path;
    return list;
}

}  // namespace

bool BakeManager::HasUsableTriangle(const Scene& scene) {
    for (const auto& mesh : scene.meshes) {
        const size_t vertices = mesh->positions.size();
        for (size_t i = 0; i + 2 < mesh->indices.size(); i += 3) {
            const uint32_t a = mesh->indices[i], b = mesh->indices[i + 1], c = mesh->indices[i + 2];
            if (a >= vertices || b >= vertices || c >= vertices) continue;
            const Math::Vec3 p0 = mesh->ToWorld(mesh->positions[a]);
            const Math::Vec3 n = Math::Cross(mesh->ToWorld(mesh->positions[b]) - p0, mesh->ToWorld(mesh->positions[c]) - p0);
            const float area = Math::Dot(n, n);
            if (area > 0.0f && std::isfinite(area) && Math::IsFinite(p0)) return true;
        }
    }
    return false;
}

BakeManager::FileStamp BakeManager::StampOf(const std::string& path) {
    std::error_code error;
    FileStamp stamp;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return stamp;
    const auto modified = std::filesystem::last_write_time(path, error);
    if (error) return stamp;
    stamp.size = int64_t(size);
    stamp.modified = int64_t(modified.time_since_epoch().count());
    return stamp;
}

void BakeManager::LoadHighPolyScene(BakeJob* job, int flags, bool discard, const std::vector<std::string>* groupNames) {
    if (!traceMeshes.empty() && !discard) {
        bool reuse = true;
        if (flags & ~cachedFlags) {
            cachedFlags = flags;
            reuse = false;
        }
        if (reuse) {
            if (groupNames)
                reuse = !groupNames->empty() && cachedGroupNames == *groupNames;
            else
                reuse = cachedGroupNames.empty();
        }
        // A file counts as unchanged only with the size and modification time it had when it
        // was loaded: a copy carrying an older date is a change too.
        if (reuse && cachedPaths.size() == job->highPolyPaths.size() && cachedStamps.size() == cachedPaths.size()) {
            for (size_t i = 0; i < cachedPaths.size() && reuse; ++i) {
                const FileStamp stamp = StampOf(cachedPaths[i]);
                reuse = cachedPaths[i] == job->highPolyPaths[i] && stamp.size >= 0 && stamp == cachedStamps[i];
            }
        } else {
            reuse = false;
        }
        if (reuse) return;
    }
    if (!traceMeshes.empty()) ClearSceneCache();
    // The cache key is written only once the load has succeeded: a failed load must never be
    // taken for a complete one by a later job.
    cachedPaths.clear();
    cachedStamps.clear();
    cachedFlags = flags;

    for (const std::string& path : job->highPolyPaths)
        if (FormatOf(path) == HighPolyFormat::None)
            throw ImportException("Unsupported high-poly file type '" + path + "': use an .fbx, .obj or .ply file");
    // Stamped before reading, so that a file changed during the load is loaded again next time.
    std::vector<FileStamp> stamps;
    for (const std::string& path : job->highPolyPaths) stamps.push_back(StampOf(path));

    // A cancel leaves the cache empty: nothing half-loaded is kept.
    Scene scene(flags);
    const ThreadPool* pool = software.GetPool();
    // Measured once the previous scene has gone, so that its memory counts as available.
    LoadBudget budget;
    budget.room = AvailableMemoryRoom();
    budget.normals = scene.hasNormals;
    for (const std::string& path : job->highPolyPaths) {
        if (cancel) return;
        ImportHighPolyFile(path, &scene, pool ? unsigned(pool->WorkerCount()) : 0u, budget);
    }
    if (!job->highPolyPaths.empty() && !HasUsableTriangle(scene))
        throw BakeException("The high-poly meshes have no usable triangles");
    WithinMemory("build the trace grid of " + FileList(job->highPolyPaths),
                 [&] { BuildHighPolyTrace(scene, flags, groupNames); });
    cacheTime = SecondsSince1970();
    cachedPaths = job->highPolyPaths;
    cachedStamps = std::move(stamps);
}

void BakeManager::BuildHighPolyTrace(Scene& scene, int flags, const std::vector<std::string>* groupNames) {
    traceTriangles = scene.CountTriangles();
    if (flags & NeedNeighbourDirections) scene.ComputeNeighbourDirections();

    const Math::AABB3 bounds = scene.GetBounds(software.GetPool());
    sceneMin[0] = bounds.minX;
    sceneMin[1] = bounds.minY;
    sceneMin[2] = bounds.minZ;
    sceneMax[0] = bounds.maxX;
    sceneMax[1] = bounds.maxY;
    sceneMax[2] = bounds.maxZ;
    // An empty scene keeps its inverted bounds, whose centre is the origin.
    scene.Translate(-bounds.Centre());
    highPolySurfaces = Math::AABB3{};
    for (const auto& mesh : scene.meshes) mesh->ExpandBounds(highPolySurfaces, software.GetPool());

    if (!directMode) {
        BuildTraceMeshes(scene, gridSettings, groupNames, traceMeshes, software.GetPool());
        if (groupNames) cachedGroupNames = *groupNames;
    }
}

void BakeManager::ClearSceneCache() {
    traceMeshes.clear();
    cachedGroupNames.clear();
    cachedPaths.clear();
    cachedStamps.clear();
}

std::vector<std::string> BakeManager::LowPolyMeshNames(BakeJob* job) {
    Scene scene(0);
    FBXImporter importer;
    importer.viewName = "mayaview";
    importer.Import(job->lowPolyPath.c_str(), &scene);
    std::vector<std::string> names;
    for (const auto& mesh : scene.meshes) names.push_back(mesh->name);
    return names;
}

int BakeManager::LoadEnvelopeScene(BakeJob* job, const std::vector<std::string>* groupNames) {
    Log("Building envelope scene");
    Scene scene(0);
    FBXImporter importer;
    importer.triangulate = true;
    importer.Import(job->envelopePath.c_str(), &scene);
    scene.Translate(Math::Vec3{-(sceneMin[0] + sceneMax[0]) * 0.5f, -(sceneMin[1] + sceneMax[1]) * 0.5f,
                               -(sceneMin[2] + sceneMax[2]) * 0.5f});
    // An envelope that no ray can hit is passed by every ray: the map would come out as without one.
    if (!HasUsableTriangle(scene)) throw BakeException("The envelope mesh has no usable triangles");
    const int triangles = scene.CountTriangles();
    Log("Converting envelope file");
    if (groupNames) {
        for (const std::string& name : *groupNames) {
            Log("Loading envelope file");
            auto mesh = std::make_unique<SWTraceMesh>();
            scene.BuildTraceMesh(mesh.get(), gridSettings, &name);
            envelopeMeshes.push_back(std::move(mesh));
        }
    } else {
        auto mesh = std::make_unique<SWTraceMesh>();
        scene.BuildTraceMesh(mesh.get(), gridSettings, nullptr);
        envelopeMeshes.push_back(std::move(mesh));
    }
    return triangles;
}

}  // namespace Pallix::Bake
