#include "bake/mapbaker.h"

namespace Pallix::Bake {

namespace {

// Need flags of a scene (bit meanings shared with the scene passes).
constexpr int kNeedNormals = 0x2;
constexpr int kNeedSmoothedNormals = 0x4;
constexpr int kNeedUVsAndColours = 0x10;
constexpr int kNeedNeighbourDirections = 0x20;
constexpr int kNeedHardVertices = 0x40;
constexpr int kNeedHardEdges = 0x80;
constexpr int kNeedEdgeNormals = 0x100;

}  // namespace

MapBaker::MapBaker(BakeTimes* jobTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : map(mapSettings), job(bakeJob), times(jobTimes) {}

MapBaker::~MapBaker() = default;

int MapBaker::RenderTraced(HardwareBaker&, HardwareScene&) { return 0; }

void MapBaker::BakeTileDirect(const ReadbackSet&) {}

int MapBaker::GetTraceRequirements() const {
    int flags = 0;
    if (NeedsUVs() || NeedsColours()) flags |= kNeedUVsAndColours;
    if (NeedsNormals()) flags |= kNeedNormals;
    if (NeedsNeighbourDirections()) flags |= kNeedNeighbourDirections;
    return flags;
}

int MapBaker::GetLowPolyRequirements(int flags) const {
    int r = flags | kNeedUVsAndColours;
    // Without a high-poly mesh the low-poly scene is also the surface that is traced.
    if (!job->hasHighPoly) r |= GetTraceRequirements();
    switch (job->normalDirection) {
    case DirectionInterpolated: r |= kNeedNormals; break;
    case DirectionGeometric: r |= kNeedSmoothedNormals; break;
    case DirectionRounded:
        r |= kNeedNormals | kNeedSmoothedNormals | kNeedHardVertices | kNeedHardEdges | kNeedEdgeNormals;
        break;
    default: break;
    }
    if (NeedsHardEdges()) r |= kNeedHardVertices;
    if (r & (kNeedHardVertices | kNeedHardEdges)) r |= kNeedNormals;
    return r;
}

std::string MapBaker::GetOutputName(const std::string& suffix) const {
    if (job->explicitPath) return job->outputPath;
    std::string tile;
    if (job->tilingMode != 0) {
        const int column = state ? state->udimColumn : 0;
        const int row = state ? state->udimRow : 0;
        if (job->tileNaming == 1) {
            tile.append("_u").append(std::to_string(column + 1));
            tile.append("_v").append(std::to_string(row + 1));
        } else {
            tile.append(".").append(std::to_string(1001 + column + 10 * row));
        }
    }
    return job->outputPath + suffix + tile;
}

}  // namespace Pallix::Bake
