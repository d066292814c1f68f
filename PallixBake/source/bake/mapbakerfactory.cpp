#include "bake/alphamaskbaker.h"
#include "bake/mapbaker.h"

namespace Pallix::Bake {

std::unique_ptr<MapBaker> CreateMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map) {
    switch (map->type) {
    case MapAlphaMask: return std::make_unique<AlphaMaskBaker>(times, job, map);
    default: return nullptr;  // type 0 and unknown codes: the entry is skipped
    }
}

}  // namespace Pallix::Bake
