#include "bake/mapbaker.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "bake/imagewriters.h"
#include "bake/softwarebaker.h"
#include "bake/traceshader.h"
#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "gpu/hardwarebaker.h"

namespace Pallix::Bake {

MapBaker::MapBaker(BakeTimes* bakeTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : map(mapSettings), job(bakeJob), times(bakeTimes) {}

MapBaker::~MapBaker() = default;

int MapBaker::RenderTraced(HardwareBaker&, HardwareScene&, const TileRecord&) { return 0; }

ThreadPool* MapBaker::Pool() const { return software ? software->GetPool() : nullptr; }

void MapBaker::BakeTileDirect(const ReadbackSet&) {}

int MapBaker::GetTraceRequirements() const {
    int flags = 0;
    if (NeedsUVs() || NeedsColours()) flags |= NeedUVsAndColours;
    if (NeedsNormals()) flags |= NeedNormals;
    if (NeedsNeighbourDirections()) flags |= NeedNeighbourDirections;
    return flags;
}

int MapBaker::GetLowPolyRequirements(int flags) const {
    int needs = flags | NeedUVsAndColours;
    // Without a high-poly mesh the low-poly surface is the one that is sampled.
    if (!job->hasHighPoly) needs |= GetTraceRequirements();
    switch (job->normalDirection) {
    case DirectionInterpolated: needs |= NeedNormals; break;
    case DirectionGeometric: needs |= NeedSmoothNormals; break;
    case DirectionRounded:
        needs |= NeedNormals | NeedSmoothNormals | NeedHardVertices | NeedHardEdges | NeedEdgeNormals;
        break;
    default: break;
    }
    if (NeedsHardEdges()) needs |= NeedHardVertices;
    if (needs & (NeedHardVertices | NeedHardEdges)) needs |= NeedNormals;
    return needs;
}

std::string MapBaker::GetTileName() const {
    std::string name;
    if (job->tilingMode == TilingOff) return name;
    if (job->tileNaming == TileNamingMudbox) {
        name.append("_u").append(std::to_string(int64_t(state->udimColumn) + 1));
        name.append("_v").append(std::to_string(int64_t(state->udimRow) + 1));
    } else {
        name.append(".").append(std::to_string(1001 + int64_t(state->udimColumn) + 10 * int64_t(state->udimRow)));
    }
    return name;
}

std::string MapBaker::GetOutputName(const std::string& suffix) const {
    if (job->explicitPath) return job->outputPath;
    return job->outputPath + suffix + GetTileName();
}

void MapBaker::WriteImage(const Image& image, const std::string& name) const {
    WriteImageFile(image, name, job->outputFormat, software ? software->GetPool() : nullptr);
}

void MapBaker::WriteImages(const std::vector<std::pair<const Image*, std::string>>& files) const {
    WriteImageFiles(files, job->outputFormat, software ? software->GetPool() : nullptr);
}

void WriteImageFile(const Image& image, const std::string& name, int format, ThreadPool* pool) {
    bool written = true;
    const char* extension = "";
    std::string error;
    try {
        switch (format) {
        case FormatTiff16: extension = ".tif"; written = WriteTiff16(image, name, &error); break;
        case FormatTiff8: extension = ".tif"; written = WriteTiff8(image, name, &error); break;
        case FormatPng8: extension = ".png"; written = WritePng8(image, name, &error, pool); break;
        case FormatPng16: extension = ".png"; written = WritePng16(image, name, &error, pool); break;
        case FormatExr: extension = ".exr"; written = WriteExr(image, name, &error); break;
        default: return;  // an unknown format writes nothing
        }
    } catch (const std::bad_alloc&) {
        throw BakeException("Not enough memory to write \"" + name + extension + "\"");
    }
    if (!written) {
        std::string message = "Could not write image file \"" + name + extension + "\"";
        if (!error.empty()) message += ": " + error;
        throw BakeException(message);
    }
}

void WriteImageFiles(const std::vector<std::pair<const Image*, std::string>>& files, int format, ThreadPool* pool) {
    // Files are independent; a few at a time keeps a many-layer map from starting a thread per layer.
    constexpr size_t kMostAtOnce = 4;
    // Files written one after another leave the last image of a name; side by side only that
    // one may be written.
    std::vector<size_t> order;
    for (size_t i = 0; i < files.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < files.size() && !later; ++j) later = files[j].second == files[i].second;
        if (!later) order.push_back(i);
    }
    std::vector<std::exception_ptr> failures(order.size());
    std::atomic<size_t> next{0};
    auto writeFiles = [&] {
        for (size_t k = next++; k < order.size(); k = next++) {
            try {
                WriteImageFile(*files[order[k]].first, files[order[k]].second, format, pool);
            } catch (...) {
                failures[k] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < std::min(order.size(), kMostAtOnce); ++i) {
        try {
            threads.emplace_back(writeFiles);
        } catch (const std::system_error&) {
            break;  // the threads there are, this one included, write the rest
        }
    }
    writeFiles();
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}


const float MapBaker::passParameters[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};

TileRecord TileOf(const RenderState& state, int column, int row) {
    TileRecord tile;
    tile.tileWidth = state.tileWidth;
    tile.tileHeight = state.tileHeight;
    tile.column = column;
    tile.row = row;
    tile.columns = state.tilesX;
    tile.rows = state.tilesY;
    tile.udimColumn = state.udimColumn;
    tile.udimRow = state.udimRow;
    tile.samplesWide = state.outputWidth * state.supersampling;
    tile.samplesHigh = state.outputHeight * state.supersampling;
    return tile;
}

int MapBaker::RenderTexturePass(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile,
                                int program) const {
    ConversionResolver resolver(passParameters, &tile);
    return hardware.Render(tile, scene, program, &resolver);
}

void MapBaker::ConfigureTraceShader(TraceShader& shader) const {
    const float extent = state->sceneExtent;
    const float distance = job->searchDistance > 0.0f ? job->searchDistance : extent;
    shader.twoSided = job->searchMode;
    shader.maxDistance = distance < extent ? distance : extent;
    shader.directionMode = job->normalDirection;
    shader.hardEdgeDistance = job->roundingDistance;
    shader.kernel = gridSettings ? gridSettings->kernel : KernelPlueckerDouble;
    shader.traceMeshes = traceMeshes;
    shader.envelopeMeshes = envelopeMeshes;
    shader.hasHighPoly = job->hasHighPoly;
}

}  // namespace Pallix::Bake
