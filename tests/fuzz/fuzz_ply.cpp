// libFuzzer target: PLY data of any shape must import or be refused by ImportException, and
// reading its records in runs of a few bytes on two threads must give what one reading gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flatscene.h"
#include "geometry/scene.h"
#include "io/plyimporter.h"

using namespace Pallix::Bake;

namespace {

std::string Import(const uint8_t* data, size_t size, size_t chunkBytes, unsigned workers) {
    return ChunkedOutcome<PLYImporter, ImportException>(chunkBytes, workers, [&](PLYImporter& importer, Scene& scene) {
        importer.ImportData(reinterpret_cast<const char*>(data), size, "fuzz.ply", &scene);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole = Import(data, size, size + 1, 1);
    const size_t chunkBytes = size > 0 ? 1 + data[size / 2] % 16 : 1;
    if (Import(data, size, chunkBytes, 2) != whole) std::abort();
    return 0;
}
