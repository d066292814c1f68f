#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bake/renderstate.h"
#include "core/bakejob.h"
#include "core/image.h"
#include "core/rendertargets.h"
#include "core/vecmath.h"

namespace Pallix::Bake {

class HardwareBaker;
class HardwareScene;
class SoftwareBaker;
class SWTraceMesh;
class ThreadPool;
class TraceShader;
struct TileRecord;
struct TraceGridSettings;

using TraceMeshList = std::vector<SWTraceMesh*>;

// Base of every map baker. The bake manager creates one per map entry of a job and drives it
// through these operations only (the map and tile loops).
class MapBaker {
public:
    MapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
    virtual ~MapBaker();
    MapBaker(const MapBaker&) = delete;
    MapBaker& operator=(const MapBaker&) = delete;

    virtual void Init() = 0;
    virtual Image* GetImage() = 0;
    virtual int GetImageCount() = 0;
    virtual std::string GetSuffix() const = 0;
    virtual int RenderTraced(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile);
    // Starts the texture-space pass of a tile of the current UV tile; returns the read-back set
    // number. The GPU renders one tile ahead of the one the render state names.
    virtual int Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) = 0;
    virtual void BeginTiles() {}
    virtual void EndTiles() {}
    virtual void BakeTileDirect(const ReadbackSet& readback);
    virtual void ProcessTile(const ReadbackSet& readback) = 0;
    virtual void PostProcess() = 0;
    virtual void PostProcessRange() {}
    virtual void FinishPostProcess() {}
    virtual bool NeedsRangePass() const { return false; }
    virtual void Export() = 0;
    virtual void SaveCache() = 0;
    virtual void LoadCache() = 0;
    virtual bool SupportsDirectMode() const { return false; }
    virtual bool UsesHighPoly() const { return job->hasHighPoly; }
    // Need flags for the high-poly scene and for the low-poly scene.
    virtual int GetTraceRequirements() const;
    virtual int GetLowPolyRequirements(int flags) const;
    virtual bool NeedsNormals() const { return false; }
    virtual bool NeedsColours() const { return false; }
    virtual bool NeedsUVs() const { return false; }
    virtual bool NeedsNeighbourDirections() const { return false; }
    virtual bool NeedsHardEdges() const { return false; }

    // Output file name without extension for the current UV tile.
    std::string GetOutputName(const std::string& suffix) const;
    std::string GetOutputName() const { return GetOutputName(GetSuffix()); }
    // "" without tiling, ".1001"-style UDIM names or "_u1_v1"-style Mudbox names.
    std::string GetTileName() const;
    // Writes an image in the job's output format; throws BakeException naming the file on failure.
    void WriteImage(const Image& image, const std::string& name) const;
    // Writes several images at once, as if one after another: of entries with the same name the
    // last is written. Every file is attempted, then the first failure in list order is thrown.
    void WriteImages(const std::vector<std::pair<const Image*, std::string>>& files) const;

    // The ray-query settings every concrete baker gives its shader: search mode and distance,
    // direction mode, rounding distance, kernel, trace meshes and envelope.
    void ConfigureTraceShader(TraceShader& shader) const;
    // A new shader of a concrete baker, configured as above.
    template <class Shader, class... Args>
    std::unique_ptr<Shader> MakeTraceShader(Args&&... args) const {
        auto shader = std::make_unique<Shader>(std::forward<Args>(args)...);
        ConfigureTraceShader(*shader);
        return shader;
    }

    // Runs the texture-space pass of a tile with a GPU program; returns the set number.
    int RenderTexturePass(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile, int program) const;
    // The fixed parameter block every baker hands the GPU pass.
    static const float passParameters[12];

    // Set by the manager: render state and software baker just before Init, the trace-mesh
    // lists just before the map is baked.
    const RenderState* state = nullptr;
    MapSettings* map = nullptr;
    BakeJob* job = nullptr;
    const TraceMeshList* traceMeshes = nullptr;
    const TraceMeshList* envelopeMeshes = nullptr;  // null without envelope
    SoftwareBaker* software = nullptr;
    const TraceGridSettings* gridSettings = nullptr;
    BakeTimes* times = nullptr;
    // Centre of the high-poly scene's padded bounds: every scene of the job was moved by minus it.
    // Set for world-position maps before Init.
    Math::Vec3 origin;

protected:
    // The software baker's workers, for whole-image passes; null before the manager sets it.
    ThreadPool* Pool() const;
};

// Where tile (column, row) of the current UV tile lies, for the GPU pass.
TileRecord TileOf(const RenderState& state, int column, int row);

// Writes an image in an output format (".tif", ".png" or ".exr" appended); an unknown format
// writes nothing. Throws BakeException naming the file when the writer fails. PNG compression
// runs on the pool when one is given (the caller must not be one of its workers).
void WriteImageFile(const Image& image, const std::string& name, int format, ThreadPool* pool = nullptr);
// The same for several files, written side by side on threads of their own.
void WriteImageFiles(const std::vector<std::pair<const Image*, std::string>>& files, int format,
                     ThreadPool* pool = nullptr);

// The baker of a map entry by its type code (type 3 with layers gives the layered baker);
// null for type 0 and unknown codes.
std::unique_ptr<MapBaker> CreateMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
// Whether CreateMapBaker makes a baker for a map of this type, without making one.
bool HasMapBaker(int type);

}  // namespace Pallix::Bake
