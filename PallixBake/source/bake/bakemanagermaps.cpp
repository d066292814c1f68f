#include "bake/bakeexception.h"
#include "bake/bakemanager.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

// The map and tile loops and the high-poly scene are not part of this build: a job that reaches
// them ends the bake with this message instead of reporting maps it did not make.
namespace {
const char* const kNoMapBaking = "Map baking is not available in this build";
}

void BakeManager::BakeMap(MapBaker*, BakeJob*, MapSettings*, int) { throw BakeException(kNoMapBaking); }

void BakeManager::BakeTiles(BakeJob*, MapSettings*, MapBaker*, HardwareScene*) {
    throw BakeException(kNoMapBaking);
}

void BakeManager::LoadHighPolyScene(BakeJob*, int, bool, const std::vector<std::string>*) {
    throw BakeException(kNoMapBaking);
}

std::vector<std::string> BakeManager::LowPolyMeshNames(BakeJob*) { throw BakeException(kNoMapBaking); }

int BakeManager::LoadEnvelopeScene(BakeJob*, const std::vector<std::string>*) { throw BakeException(kNoMapBaking); }

void BakeManager::ClearSceneCache() {
    traceMeshes.clear();
    cachedGroupNames.clear();
}

}  // namespace Pallix::Bake
