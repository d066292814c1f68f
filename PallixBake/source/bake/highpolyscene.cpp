#include <algorithm>
#include <cctype>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>

#include "bake/bakemanager.h"
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

// Bytes a high-poly load holds at its peak for each triangle of a file: the scene, the trace
// meshes and their grids together. kelvor_bench largemesh measures 171 to 173 for 10M-triangle
// OBJ and PLY files and for an FBX file of one mesh, and 297 for an FBX file of 50,000 instances,
// whose meshes are copied into the trace mesh rather than handed over to it. The figures here are
// a quarter above those.
constexpr uint64_t kBytesPerTriangle = 216;
constexpr uint64_t kBytesPerFbxTriangle = 372;
// Address space that each thread of a load reserves and hardly touches: its stack (8 MiB) and
// its allocator arena (64 MiB). The grid build runs a pool of one thread per processor beside
// the bake's pool; on 8 processors a KelvorCmd load takes 1.1 GB of address space more than its
// triangles account for, whatever their number.
constexpr uint64_t kThreadAddressSpace = uint64_t(72) << 20;

std::string Gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    return text;
}

uint64_t BytesFor(HighPolyFormat format, uint64_t triangles) {
    return triangles * (format == HighPolyFormat::Fbx ? kBytesPerFbxTriangle : kBytesPerTriangle);
}

// The size of a high-poly load so far, measured against the room there was when it began.
struct LoadBudget {
    MemoryRoom room;
    uint64_t threadReserve = 0;  // address space the load's threads reserve
    uint64_t triangles = 0;      // of the files read before the current one
    uint64_t bytes = 0;
    bool first = true;

    // Refuses the file before it is copied when it does not fit beside the files before it.
    void Check(const std::string& path, HighPolyFormat format, uint64_t fileTriangles) const {
        const uint64_t needed = bytes + BytesFor(format, fileTriangles);
        if (needed > room.memory) Refuse(path, fileTriangles, needed, room.memory, "memory");
        if (room.addressSpace != UINT64_MAX && needed + threadReserve > room.addressSpace)
            Refuse(path, fileTriangles, needed + threadReserve, room.addressSpace, "address space");
    }
    [[noreturn]] void Refuse(const std::string& path, uint64_t fileTriangles, uint64_t needed, uint64_t available,
                             const char* kind) const {
        throw ImportException("Not enough memory to load " + path + ": " +
                              (first ? "its " : "with the high-poly files before it, ") +
                              std::to_string(triangles + fileTriangles) + " triangles need about " + Gigabytes(needed) +
                              " of " + kind + ", and " + Gigabytes(available) + " are available");
    }
    void Add(HighPolyFormat format, uint64_t fileTriangles) {
        triangles += fileTriangles;
        bytes += BytesFor(format, fileTriangles);
        first = false;
    }
};

// OBJ and PLY files are read on as many threads as the bake's pool has.
void ImportHighPolyFile(const std::string& path, Scene* scene, unsigned threads, LoadBudget& budget) {
    const HighPolyFormat format = FormatOf(path);
    const uint64_t before = uint64_t(scene->CountTriangles());
    // Every importer has its size checked before it copies the file's triangles.
    auto read = [&](SceneImporter& importer) {
        importer.sizeCheck = [&](uint64_t triangles) { budget.Check(path, format, triangles); };
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
    budget.Add(format, uint64_t(scene->CountTriangles()) - before);
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
    budget.threadReserve = ((pool ? pool->WorkerCount() : 0) + std::max(1u, std::thread::hardware_concurrency())) *
                           kThreadAddressSpace;
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
