#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Pallix::Bake {

// Map type codes (MapSettings::type). Any other code is treated like MapNone.
enum MapType : int32_t {
    MapNone = 0,
    MapNormal = 1,
    MapAmbientOcclusion = 2,
    MapMaterialId = 3,
    MapDisplacement = 4,
    MapVertexColour = 5,
    MapCurvature = 6,
    MapThickness = 7,
    MapWorldPosition = 8,
    MapHardEdgeMask = 9,
    MapAlphaMask = 10,
    MapDiagnostic = 11,
};

// Output format codes (BakeJob::outputFormat). Any other value writes nothing.
enum OutputFormat : int32_t {
    FormatTiff16 = 0,
    FormatTiff8 = 1,
    FormatPng8 = 2,
    FormatPng16 = 3,
    FormatExr = 4,
};

// Tangent-basis convention of the target application (MapSettings::tangentSpace).
enum TangentSpace : int32_t {
    TangentNone = 0,
    TangentFbx = 1,
    TangentMaya = 2,
    TangentUe4 = 3,
    TangentMikkt = 4,
    TangentUe3 = 5,
    TangentUe47 = 6,
    TangentUnity = 7,
    TangentSource = 8,
    TangentObject = 9,
};

// Name of a tangent space as it appears in normal-map file names ("" for none and object).
const char* TangentSpaceName(int tangentSpace);

// High-poly cache modes (BakeJob::cacheMode). Only CacheMemory keeps the trace meshes for the next
// job; CacheFiles is the interactive program's file caching and clears like CacheNone.
enum CacheMode : int32_t {
    CacheNone = 0,
    CacheFiles = 1,
    CacheMemory = 2,
};

// UV-tile region (BakeJob::tilingMode). Any other code bakes the single tile u 0, v 0.
enum TilingMode : int32_t {
    TilingOff = 0,
    TilingAuto = 1,    // from the low-poly UV bounds
    TilingManual = 2,  // tileMinU..tileMaxU, tileMinV..tileMaxV
};

// UV-tile names (BakeJob::tileNaming): ".1001" and on, or "_u1_v1" and on.
enum TileNaming : int32_t {
    TileNamingUdim = 0,
    TileNamingMudbox = 1,
};

// Axis a world-position map is reduced to (MapSettings::axis); any other code keeps all three.
enum PositionAxis : int32_t {
    AxisAll = 0,
    AxisX = 1,
    AxisY = 2,
    AxisZ = 3,
};

// Ray direction of every shader's query (BakeJob::normalDirection).
enum DirectionMode : int32_t {
    DirectionInterpolated = 0,
    DirectionGeometric = 1,
    DirectionRounded = 2,
};

// 100-nanosecond ticks of the steady clock.
int64_t NowTicks();
inline double TicksToSeconds(int64_t ticks) { return double(ticks) / 10000000.0; }

// The time fields of a job. Durations are seconds; each phase adds
// (NowTicks() - phaseStartTicks) / 1e7 to its field.
struct BakeTimes {
    double traceTime = 0.0;
    double processingTime = 0.0;
    double highPolyLoadTime = 0.0;
    double meshPrepTime = 0.0;
    double lowPolyLoadTime = 0.0;
    double initTime = 0.0;
    double gpuRenderTime = 0.0;
    double resolveTime = 0.0;
    double exportTime = 0.0;
    double gpuReadbackTime = 0.0;
    int64_t startTicks = 0;
    int64_t phaseStartTicks = 0;

    void StartPhase() { phaseStartTicks = NowTicks(); }
    // Seconds since the last StartPhase.
    double PhaseSeconds() const { return TicksToSeconds(NowTicks() - phaseStartTicks); }
    // Runs work as a phase and adds its seconds to total, also when it throws: a load that
    // fails took its time all the same.
    template <class Work>
    void TimePhase(double& total, Work&& work) {
        StartPhase();
        try {
            work();
        } catch (...) {
            total += PhaseSeconds();
            throw;
        }
        total += PhaseSeconds();
    }
};

// One requested map. Stored by value in BakeJob::maps.
struct MapSettings {
    int32_t tangentSpace = TangentFbx;
    int32_t type = MapNone;
    int32_t axis = AxisAll;
    int32_t supersampling = 1;
    float aoDistance = 10.0f;
    float spread = 1.5707951f;
    int32_t rayCount = 16;
    bool yFlip = false;
    bool layers = false;
    bool normalized = false;
    bool rebuildNormals = false;
    bool generateTangents = false;
    // Kept for the client; the engine neither reads nor writes them.
    double mapTimes[6] = {0, 0, 0, 0, 0, 0};
    float totalTime = 0.0f;
    // Statistics written by the engine.
    int32_t traceTris = 0;
    int32_t lowresTris = 0;
    int32_t cageTris = 0;
    int32_t traceHighwater = 0;
    int32_t cellCount = 0;
    float cellUsage = 0.0f;
    int32_t cellAvg = 0;
    bool done = false;
    float blur = 0.5f;

    void SetBlur(float radius) { blur = radius; }
};

// One bake request. The caller owns it; the engine reads it and writes back
// statistics, timings and done flags.
class BakeJob {
public:
    BakeJob();
    ~BakeJob() = default;

    // Appends a map with the AddMap defaults; the reference is valid until the next append.
    MapSettings& AddMap();
    void AddHighPolyPath(const char* path);
    void SetEnvelopePath(const char* path);
    double ElapsedSeconds() const;

    int32_t width = 1024;
    int32_t height = 1024;
    int32_t dilation = 1;
    int32_t cacheMode = CacheNone;
    int32_t tilingMode = TilingOff;
    int32_t tileMinU = 0;
    int32_t tileMaxU = 0;
    int32_t tileMinV = 0;
    int32_t tileMaxV = 0;
    int32_t tileNaming = TileNamingUdim;
    int32_t normalDirection = DirectionGeometric;
    float roundingDistance = 1.0f;
    bool hasHighPoly = false;
    std::string lowPolyPath;
    int32_t searchMode = 0;
    float searchDistance = 0.0f;
    bool matchNames = false;
    std::string outputPath;
    bool explicitPath = false;
    int32_t outputFormat = FormatTiff16;
    BakeTimes times;
    std::vector<std::string> highPolyPaths;
    std::vector<MapSettings> maps;
    std::string envelopePath;
};

}  // namespace Pallix::Bake
