// libFuzzer target: OBJ text of any shape must import or be refused by exception, never crash,
// and reading it in chunks of a few bytes on two threads must give what one reading gives. Read
// again while its bytes change at every reading, it must give a whole mesh or a refusal.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/bakeexception.h"
#include "flatscene.h"
#include "geometry/scene.h"
#include "io/chunkedinput.h"
#include "io/objimporter.h"
#include "support/changingsource.h"

using namespace Pallix::Bake;

namespace {

std::string Import(const uint8_t* data, size_t size, size_t chunkBytes, unsigned workers) {
    return ChunkedOutcome<OBJImporter, ImportException, BakeException>(
        chunkBytes, workers, [&](OBJImporter& importer, Scene& scene) {
            importer.ImportText(reinterpret_cast<const char*>(data), size, "fuzz.obj", &scene);
        });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The importer reports its counts on standard output for every input.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole = Import(data, size, size + 1, 1);
    const size_t chunkBytes = size > 0 ? 1 + data[size / 2] % 16 : 1;
    if (Import(data, size, chunkBytes, 2) != whole) std::abort();

    const std::string text(reinterpret_cast<const char*>(data), size);
    const KelvorTest::ChangingSource source({text, KelvorTest::Rotated(text, 1 + chunkBytes % 7)},
                                            [](uint64_t read) { return size_t(read % 2); });
    ExpectWholeOrRefused<OBJImporter, ImportException, BakeException>(chunkBytes, 2, [&](OBJImporter& importer, Scene& scene) {
        ChunkedInput input(source);
        importer.ImportInput(input, "fuzz.obj", &scene);
    });
    return 0;
}
