#include "bake/mapbaker.h"

namespace Pallix::Bake {

// No concrete baker is part of this build yet: every type code gives no baker, and the manager
// skips the entry as it does for type 0.
std::unique_ptr<MapBaker> CreateMapBaker(BakeTimes*, BakeJob*, MapSettings*) { return nullptr; }

}  // namespace Pallix::Bake
