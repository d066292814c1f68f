// libFuzzer target: OBJ text of any shape must import or be refused by exception, never crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "io/objimporter.h"

using namespace Pallix::Bake;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The importer reports its counts on standard output for every input.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scene scene(NeedNormals | NeedUVsAndColours);
    try {
        OBJImporter importer;
        importer.ImportText(reinterpret_cast<const char*>(data), size, "fuzz.obj", &scene);
    } catch (const ImportException&) {
    } catch (const BakeException&) {
    }
    return 0;
}
