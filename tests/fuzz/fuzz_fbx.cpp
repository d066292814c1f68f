// Feeds arbitrary bytes to the FBX importer as a file: binary and ASCII FBX and OBJ are all
// recognised by content, so one target reaches every reader. A load must end in a Scene or an
// ImportException; anything else (a crash, a sanitizer report, a hang) is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "geometry/scene.h"
#include "io/fbximporter.h"

using namespace Pallix::Bake;

namespace {

std::string InputPath() {
    return (std::filesystem::temp_directory_path() / ("kelvor_fuzz_fbx_" + std::to_string(::getpid()) + ".bin")).string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The importer's messages would drown libFuzzer's.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = InputPath();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    Scene scene(NeedNormals | NeedTangents | NeedUVsAndColours);
    FBXImporter importer;
    importer.triangulate = size % 2 == 0;
    try {
        importer.Import(path.c_str(), &scene);
    } catch (const ImportException&) {
    }
    return 0;
}
