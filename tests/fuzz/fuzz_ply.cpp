// libFuzzer target: PLY data of any shape must import or be refused by ImportException, and
// reading its records in runs of a few bytes on two threads must give what one reading gives.
// Read again while its bytes change at every reading, it must give a whole mesh or a refusal.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flatscene.h"
#include "geometry/scene.h"
#include "io/chunkedinput.h"
#include "io/plyimporter.h"
#include "support/changingsource.h"

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

    // The body changes and the header stays, so that the records are read in earnest.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const size_t body = std::min(bytes.size(), bytes.find("end_header\n") + 11);
    const std::string other = bytes.substr(0, body) + KelvorTest::Rotated(bytes.substr(body), 1 + chunkBytes % 7);
    const KelvorTest::ChangingSource source({bytes, other}, [](uint64_t read) { return size_t(read % 2); });
    ExpectWholeOrRefused<PLYImporter, ImportException>(chunkBytes, 2, [&](PLYImporter& importer, Scene& scene) {
        const ChunkedInput input(source);
        importer.ImportInput(input, "fuzz.ply", &scene);
    });
    return 0;
}
