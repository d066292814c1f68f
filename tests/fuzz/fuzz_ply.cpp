// libFuzzer target: PLY data of any shape must import or be refused by ImportException.
#include <cstddef>
#include <cstdint>

#include "geometry/scene.h"
#include "io/plyimporter.h"

using namespace Pallix::Bake;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scene scene(NeedNormals | NeedUVsAndColours);
    try {
        PLYImporter importer;
        importer.ImportData(reinterpret_cast<const char*>(data), size, "fuzz.ply", &scene);
    } catch (const ImportException&) {
    }
    return 0;
}
