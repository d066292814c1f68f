#include "bake/bakemanager.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <exception>

#include <sys/stat.h>
#include <unistd.h>

#include "core/availablememory.h"
#include "core/bakeexception.h"
#include "events/eventreporter.h"
#include "gpu/offscreencontext.h"
#include "io/sceneimporter.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

std::string BakeCompleteLine(double elapsedSeconds, double exportSeconds) {
    const float elapsed = float(elapsedSeconds);
    std::string line;
    if (elapsed > 60.0f) {
        const int minutes = int(elapsed) / 60;
        const int seconds = int(elapsed) % 60;
        if (seconds > 9)
            line = " Bake complete: " + std::to_string(minutes) + ":" + std::to_string(seconds);
        else
            line = " Bake complete:  " + std::to_string(minutes) + ":0" + std::to_string(seconds);
    } else {
        line = " Bake complete: " + std::to_string(int(elapsed)) + " seconds";
    }
    return line + " (export " + std::to_string(int(exportSeconds)) + " seconds)";
}

BakeManager::BakeManager(EventReporter* eventReporter, const TraceGridSettings* grid)
    : reporter(eventReporter), gridSettings(grid) {
    // Before the bake's pool, the grid build's and the GPU's threads take their arenas.
    FitThreadReservationsToLimit();
    for (int axis = 0; axis < 3; ++axis) {
        sceneMin[axis] = FLT_MAX;
        sceneMax[axis] = -FLT_MAX;
    }
}

BakeManager::~BakeManager() {
    cancel = true;
    if (bakeThread.joinable()) bakeThread.join();
    envelopeMeshes.clear();
    ClearSceneCache();
}

void BakeManager::SetThreadCount(int threads) { state.threadCount = std::max(1, threads); }

void BakeManager::Log(const std::string& line) {
    if (listener) listener->OnLog(line);
}

void BakeManager::Init(int threads, int tileWidth, int tileHeight) {
    if (reporter) reporter->ReportInit(threads, tileWidth, tileHeight);
    cancel = false;
    failed = false;
    if (threads != lastThreads) {
        software.SetThreadCount(state.threadCount);
        lastThreads = threads;
    }
    if (tileWidth == lastTileWidth && tileHeight == lastTileHeight) return;
    if (!glReady) {
        hardware.Initialise();
        glReady = true;
        OffscreenContext::LockGuard lock(hardware.GetContext());
        const std::string renderer = hardware.GetRenderer();
        const std::string vendor = hardware.GetVendor();
        const std::string version = hardware.GetVersion();
        if (reporter) reporter->ReportOpenGLInfo(version, vendor, renderer);
    }
    lastTileWidth = tileWidth;
    lastTileHeight = tileHeight;
}

void BakeManager::Fail(const std::string& message) {
    if (listener) listener->OnError(message);
    failed = true;
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
}

void BakeManager::Bake(std::vector<BakeJob*>* jobList) {
    // Held for the whole run and released on every path, exceptions included.
    OffscreenContext::LockGuard lock(hardware.GetContext());
    if (jobList) jobs = jobList;
    try {
        failed = false;
        if (listener) listener->OnBakeStart();
        CheckOutputFolders();
        int done = 0;
        if (jobs) {
            for (BakeJob* job : *jobs) {
                // After a cancel the remaining jobs are neither loaded nor started.
                if (job && !cancel) WithinMemory("bake " + job->outputPath, [&] { ProcessJob(job); });
                ++done;
            }
        }
        if (listener) listener->OnBakeEnd(done);
    } catch (const BakeException& e) {
        Fail(e.what());
    } catch (const ImportException& e) {
        Fail(e.what());
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}

void BakeManager::BakeAsync(std::vector<BakeJob*>* jobList) {
    // A new bake starts only after the previous one has returned; assigning over a running
    // thread would end the process.
    if (bakeThread.joinable()) bakeThread.join();
    cancel = false;
    jobs = jobList;
    Init(state.threadCount, state.tileWidth, state.tileHeight);
    bakeThread = std::thread(&BakeManager::ThreadEntry, this);
}

void BakeManager::ThreadEntry() {
    // Bake handles everything inside its run; what escapes it (the context lock) must not
    // reach the thread's edge, where it would end the process.
    try {
        Bake();
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}

void BakeManager::ProcessJob(BakeJob* job) {
    if (listener) listener->OnJobStart(job);
    Log("Initializing");
    job->times.StartPhase();
    const bool keepCache = job->cacheMode == CacheMemory;

    // One baker per map entry; a null entry keeps the positions of the later ones.
    std::vector<std::unique_ptr<MapBaker>> bakers;
    bakers.reserve(job->maps.size());
    int flags = 0;
    for (MapSettings& map : job->maps) {
        bakers.push_back(CreateMapBaker(&job->times, job, &map));
        if (bakers.back()) flags |= bakers.back()->GetTraceRequirements();
    }
    job->times.initTime += job->times.PhaseSeconds();

    CheckTileRegion(*job);

    Log("Loading high poly scene");
    std::vector<std::string> groupNames;
    job->times.TimePhase(job->times.highPolyLoadTime, [&] {
        if (job->matchNames) {
            groupNames = WithinMemory("load the low-poly mesh " + job->lowPolyPath, [&] { return LowPolyMeshNames(job); });
            LoadHighPolyScene(job, flags, !keepCache, &groupNames);
        } else {
            LoadHighPolyScene(job, flags, !keepCache, nullptr);
        }
    });

    // The envelope is read every job, cached high-poly scene or not: its time counts with the
    // low-poly mesh it is made for, so the high-poly time still shows what the cache saves.
    envelopeMeshes.clear();
    int envelopeTriangles = 0;
    if (!job->envelopePath.empty() && !cancel)
        job->times.TimePhase(job->times.lowPolyLoadTime, [&] {
            envelopeTriangles = WithinMemory("load the envelope " + job->envelopePath, [&] {
                return LoadEnvelopeScene(job, job->matchNames ? &groupNames : nullptr);
            });
        });

    TraceMeshList traceList;
    for (const auto& mesh : traceMeshes) traceList.push_back(mesh.get());
    TraceMeshList envelopeList;
    for (const auto& mesh : envelopeMeshes) envelopeList.push_back(mesh.get());

    for (size_t i = 0; i < bakers.size() && !cancel; ++i) {
        MapBaker* baker = bakers[i].get();
        if (!baker) continue;
        MapSettings* map = &job->maps[i];
        map->cageTris = envelopeTriangles;
        baker->traceMeshes = &traceList;
        baker->envelopeMeshes = job->envelopePath.empty() ? nullptr : &envelopeList;
        baker->gridSettings = gridSettings;
        currentTimes = &job->times;
        BakeMap(baker, job, map, int(i));
    }

    if (listener) listener->OnJobEnd(job);
    bakers.clear();
    envelopeMeshes.clear();
    if (!keepCache) ClearSceneCache();
    Log(BakeCompleteLine(job->ElapsedSeconds(), job->times.exportTime));
}

namespace {

// The folder the files of an output path go to; the working folder for a bare name.
std::string FolderOf(const std::string& outputPath) {
    const size_t slash = outputPath.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : outputPath.substr(0, slash);
}

}  // namespace

void BakeManager::CheckOutputFolders() const {
    if (!jobs) return;
    for (BakeJob* job : *jobs) {
        if (!job) continue;
        bool writes = false;
        for (const MapSettings& map : job->maps) writes = writes || HasMapBaker(map.type);
        if (!writes) continue;
        const std::string folder = FolderOf(job->outputPath);
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0) {
            if (errno == ENOENT) throw BakeException("The output folder '" + folder + "' does not exist");
            throw BakeException("The output folder '" + folder + "' cannot be reached: " + std::strerror(errno));
        }
        if (!S_ISDIR(info.st_mode)) throw BakeException("The output folder '" + folder + "' is not a folder");
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            throw BakeException("The output folder '" + folder + "' cannot be written: " + std::strerror(errno));
    }
}

void BakeManager::CheckTileRegion(const BakeJob& job) {
    if (job.tilingMode != TilingManual) return;
    if (job.tileMinU < 0 || job.tileMaxU < 0 || job.tileMinV < 0 || job.tileMaxV < 0)
        throw BakeException("The UV-tile region " + RegionText(job.tileMinU, job.tileMaxU, job.tileMinV, job.tileMaxV) +
                            " has a negative tile number; the smallest is 0");
    if (job.tileMinU > job.tileMaxU || job.tileMinV > job.tileMaxV)
        throw BakeException("The UV-tile region " + RegionText(job.tileMinU, job.tileMaxU, job.tileMinV, job.tileMaxV) +
                            " has a minimum above its maximum");
    // UDIM names end at the tenth column, where the region loop stops too.
    auto column = [&](int u) { return int64_t(job.tileNaming == TileNamingUdim ? std::min(u, 9) : u); };
    const int64_t columns = column(job.tileMaxU) - column(job.tileMinU) + 1;
    const int64_t rows = int64_t(job.tileMaxV) - job.tileMinV + 1;
    constexpr int64_t kMaxTiles = int64_t(kMaxAutoColumns) * kMaxAutoRows;
    if (columns * rows > kMaxTiles)
        throw BakeException("The UV-tile region " + RegionText(job.tileMinU, job.tileMaxU, job.tileMinV, job.tileMaxV) +
                            " has more than " + std::to_string(kMaxTiles) + " UV tiles");
}

std::string BakeManager::RegionText(int minU, int maxU, int minV, int maxV) {
    return "u " + std::to_string(minU) + " to " + std::to_string(maxU) + ", v " + std::to_string(minV) + " to " +
           std::to_string(maxV);
}

std::string BakeManager::ExplicitPathMessage(int minU, int maxU, int minV, int maxV) {
    return "An explicit output path holds one image, but the UV-tile region " + RegionText(minU, maxU, minV, maxV) +
           " has several UV tiles";
}

void BakeManager::OnProgress(const RenderState& renderState, int rows) {
    if (rows <= progressBase) return;
    std::printf("Resolvable lines: %d\n", (rows - progressBase) / std::max(1, renderState.supersampling));
}

}  // namespace Pallix::Bake
