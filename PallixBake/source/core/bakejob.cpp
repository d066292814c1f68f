#include "core/bakejob.h"

#include <chrono>

namespace Pallix::Bake {

int64_t NowTicks() {
    using namespace std::chrono;
    return duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(steady_clock::now().time_since_epoch())
        .count();
}

const char* TangentSpaceName(int tangentSpace) {
    switch (tangentSpace) {
    case TangentFbx: return "fbx";
    case TangentMaya: return "maya";
    case TangentUe4: return "ue4";
    case TangentMikkt: return "mikkt";
    case TangentUe3: return "ue3";
    case TangentUe47: return "ue47";
    case TangentUnity: return "unity";
    case TangentSource: return "source";
    default: return "";
    }
}

BakeJob::BakeJob() { times.startTicks = NowTicks(); }

MapSettings& BakeJob::AddMap() {
    MapSettings& map = maps.emplace_back();
    map.tangentSpace = TangentFbx;
    map.axis = AxisAll;
    map.aoDistance = 10.0f;
    map.spread = 1.5707951f;
    map.rayCount = 16;
    map.yFlip = map.layers = map.normalized = map.rebuildNormals = map.generateTangents = false;
    map.done = false;
    map.blur = 0.5f;
    return map;
}

void BakeJob::AddHighPolyPath(const char* path) { highPolyPaths.emplace_back(path ? path : ""); }

void BakeJob::SetEnvelopePath(const char* path) { envelopePath = path ? path : ""; }

double BakeJob::ElapsedSeconds() const { return TicksToSeconds(NowTicks() - times.startTicks); }

}  // namespace Pallix::Bake
