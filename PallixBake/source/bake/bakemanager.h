#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bake/mapbaker.h"
#include "bake/renderstate.h"
#include "bake/softwarebaker.h"
#include "core/bakeexception.h"
#include "core/bakejob.h"
#include "core/image.h"
#include "gpu/hardwarebaker.h"

namespace Pallix::Bake {

class EventReporter;
class Scene;
class SWTraceMesh;
struct TraceGridSettings;

// The line that ends each job: " Bake complete: " with whole seconds up to a minute, else minutes
// and seconds, then the whole seconds of export.
std::string BakeCompleteLine(double elapsedSeconds, double exportSeconds);

// The bake driver: runs a list of jobs, map by map, on the calling thread or on a thread of its
// own, and reports to one listener. Owns the CPU and GPU halves and the high-poly cache.
class BakeManager : public SoftwareBaker::IListener {
public:
    // A finished tile (in output pixels), or the whole image after post-processing.
    struct TileUpdate {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        Image* image = nullptr;
    };

    // The client's view of a bake. Calls arrive on the thread that bakes.
    class IBakeListener {
    public:
        virtual ~IBakeListener() = default;
        virtual void OnBakeStart() = 0;
        virtual void OnJobStart(BakeJob* job) = 0;
        virtual void OnMapStart(BakeJob* job, int mapIndex, Image* image) = 0;
        virtual void OnTilingStart(BakeJob* job, MapSettings* map, int udimColumn, int udimRow) = 0;
        virtual void OnTileDone(const TileUpdate* tile) = 0;
        virtual void OnProgress(float fraction) = 0;
        virtual void OnError(const std::string& message) = 0;
        virtual void OnLog(const std::string& line) = 0;
        virtual void OnTilingEnd(BakeJob* job, MapSettings* map, int udimColumn, int udimRow) = 0;
        virtual void OnMapDone(BakeJob* job, int mapIndex) = 0;
        virtual void OnJobEnd(BakeJob* job) = 0;
        virtual void OnBakeEnd(int jobCount) = 0;
        // Never sent by the manager; a client may send it to itself when a cancelled bake has wound down.
        virtual void OnBakeStopped() = 0;
    };

    // Neither pointer is owned; both must outlive the manager. No GL call is made here.
    BakeManager(EventReporter* reporter, const TraceGridSettings* grid);
    // Cancels and joins a running BakeAsync, then releases the cache, the GPU half and the pool.
    ~BakeManager() override;
    BakeManager(const BakeManager&) = delete;
    BakeManager& operator=(const BakeManager&) = delete;

    // Worker threads of the pool (at least 1), applied at the next Init whose count differs.
    void SetThreadCount(int threads);
    void SetListener(IBakeListener* bakeListener) { listener = bakeListener; }
    void ClearDirectMode() { directMode = false; }

    // Called before every bake: sends "init", sizes the pool and, on first use, builds the GL
    // programs and sends "info".
    void Init(int threads, int tileWidth, int tileHeight);
    // Bakes every job on the calling thread. An exception ends the whole run: its text goes to
    // OnError and standard output, and HasFailed() turns true. jobs replaces the stored list when given.
    void Bake(std::vector<BakeJob*>* jobs = nullptr);
    // Init on the calling thread, then Bake on a thread of the manager's own. Waits for the
    // previous bake's thread first.
    void BakeAsync(std::vector<BakeJob*>* jobs);
    // Stops the running bake at its next check; safe from any thread.
    void Cancel() { cancel = true; }
    // Hands a status line to the listener.
    void Log(const std::string& line);

    bool HasFailed() const { return failed; }
    bool IsCancelled() const { return cancel; }
    const RenderState& GetRenderState() const { return state; }

    void OnProgress(const RenderState& renderState, int rows) override;

private:
    void ProcessJob(BakeJob* job);
    // The UDIM range across, and a row count no real layout comes near: automatic regions stay
    // within both, manual ones within as many UV tiles.
    static constexpr int kMaxAutoColumns = 10;
    static constexpr int kMaxAutoRows = 100;
    // Refuses a manual UV-tile region that cannot be baked: negative, inverted or oversized.
    static void CheckTileRegion(const BakeJob& job);
    static std::string RegionText(int minU, int maxU, int minV, int maxV);
    static std::string ExplicitPathMessage(int minU, int maxU, int minV, int maxV);
    void ThreadEntry();
    void Fail(const std::string& message);
    // Refuses the run at once, naming the folder, when some job's maps would go to a folder that
    // does not exist or cannot be written: nothing has been loaded yet.
    void CheckOutputFolders() const;
    // Runs one step of a bake; memory running out in it is refused as "Not enough memory to <what>".
    template <class Step>
    static auto WithinMemory(const std::string& what, Step&& step) -> decltype(step()) {
        try {
            return step();
        } catch (const std::bad_alloc&) {
            throw BakeException("Not enough memory to " + what);
        }
    }

    // Per-map work and the high-poly scene.
    void BakeMap(MapBaker* baker, BakeJob* job, MapSettings* map, int mapIndex);
    // The steps of BakeMap, in order.
    void RecordGridStatistics(MapSettings* map) const;
    void LayOutTiles(const BakeJob& job, const MapSettings& map);
    // Imports the low-poly file, centres and prepares it, and sets the scene extent.
    void LoadLowPolyScene(const BakeJob& job, MapSettings& map, const Math::Vec3& centre, Scene& lowPoly);
    void UploadLowPolyScene(const BakeJob& job, const Scene& lowPoly, HardwareScene& hardwareScene);
    void SetUVTileRegion(const BakeJob& job, const Scene& lowPoly);
    // Refuses a region in which no UV triangle covers a texel, saying why; udimCapped: the
    // region was cut back to the UDIM columns.
    void CheckRegionCoverage(const BakeJob& job, const Scene& lowPoly, int minU, int maxU, int minV, int maxV,
                             bool udimCapped) const;
    // Both passes over the region: bake, post-process and export (or cache) each UV tile.
    void BakeUVTiles(MapBaker* baker, BakeJob* job, MapSettings* map, HardwareScene& hardwareScene);
    void BakeTiles(BakeJob* job, MapSettings* map, MapBaker* baker, HardwareScene* scene);
    void LoadHighPolyScene(BakeJob* job, int flags, bool discard, const std::vector<std::string>* groupNames);
    // The passes over the loaded high-poly scene and the trace meshes built from it.
    void BuildHighPolyTrace(Scene& scene, int flags, const std::vector<std::string>* groupNames);
    // Size and modification time of a file when its scene was loaded; size -1 when unreadable.
    struct FileStamp {
        int64_t size = -1;
        int64_t modified = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp StampOf(const std::string& path);
    void ClearSceneCache();
    // Names of the low-poly file's meshes, in order, for name matching.
    std::vector<std::string> LowPolyMeshNames(BakeJob* job);
    // Builds envelopeMeshes from the job's envelope file; returns its triangle count.
    int LoadEnvelopeScene(BakeJob* job, const std::vector<std::string>* groupNames);
    // Whether a ray can hit the scene: some triangle has finite world-space corners spanning an area.
    static bool HasUsableTriangle(const Scene& scene);

    std::vector<BakeJob*>* jobs = nullptr;
    EventReporter* reporter;
    const TraceGridSettings* gridSettings;
    BakeTimes* currentTimes = nullptr;
    int lastThreads = 0;
    int lastTileWidth = 0;
    int lastTileHeight = 0;
    int progressBase = -1;
    RenderState state;
    SoftwareBaker software;
    HardwareBaker hardware;
    bool glReady = false;
    IBakeListener* listener = nullptr;
    std::thread bakeThread;
    std::atomic<bool> cancel{false};
    std::atomic<bool> failed{false};
    bool directMode = false;
    std::vector<std::unique_ptr<SWTraceMesh>> traceMeshes;
    std::vector<std::unique_ptr<SWTraceMesh>> envelopeMeshes;  // of the current job
    std::vector<std::string> cachedPaths;
    std::vector<FileStamp> cachedStamps;  // one per cached path
    std::vector<std::string> cachedGroupNames;
    int64_t cacheTime = 0;
    int cachedFlags = 0;
    int traceTriangles = 0;
    float sceneMin[3];
    float sceneMax[3];
    Math::AABB3 highPolySurfaces;  // the loaded scene's bounds after centring, without padding
};

}  // namespace Pallix::Bake
