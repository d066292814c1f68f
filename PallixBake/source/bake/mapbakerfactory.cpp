#include "bake/alphamaskbaker.h"
#include "bake/aomapbaker.h"
#include "bake/mapbaker.h"
#include "bake/normalmapbaker.h"
#include "bake/thicknessbaker.h"

namespace Pallix::Bake {

std::unique_ptr<MapBaker> CreateMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map) {
    switch (map->type) {
    case MapNormal: return std::make_unique<NormalMapBaker>(times, job, map);
    case MapAmbientOcclusion: return std::make_unique<AOMapBaker>(times, job, map);
    case MapThickness: return std::make_unique<ThicknessBaker>(times, job, map);
    case MapAlphaMask: return std::make_unique<AlphaMaskBaker>(times, job, map);
    default: return nullptr;  // type 0 and unknown codes: the entry is skipped
    }
}

}  // namespace Pallix::Bake
