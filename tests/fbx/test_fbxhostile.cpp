#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizer = true;
#else
constexpr bool AddressSanitizer = false;
#endif

const Format Exported{Encoding::Binary, 7500, true};

std::string WriteTestFile(const std::string& name, const std::string& contents) {
    const std::string path = (TestDir() / name).string();
    WriteFile(path, contents);
    return path;
}

// The message of the ImportException that importing the file ends with; empty when it loads.
std::string RefusalOf(const std::string& path, const Options& options = {}) {
    testing::internal::CaptureStdout();
    std::string message;
    try {
        ImportFile(path, AllNeeds, options);
    } catch (const ImportException& e) {
        message = e.what();
    }
    testing::internal::GetCapturedStdout();
    return message;
}

// In a child process: limits the address space to `room` bytes more than it maps now, imports
// the file and exits with status 0 when the import ends as expected: loaded when `refusal` is
// empty, else refused with a message that contains it. Anything else, a std::bad_alloc
// included, fails.
[[noreturn]] void ImportWithinRoom(const std::string& path, size_t room, const std::string& refusal) {
    if (!std::freopen("/dev/null", "w", stdout)) std::_Exit(3);
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t used = 0;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) used = std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
    const rlimit limit{used + room, used + room};
    if (used == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
    Scene scene(AllNeeds);
    FBXImporter importer;
    try {
        importer.Import(path.c_str(), &scene);
    } catch (const ImportException& e) {
        std::fprintf(stderr, "refused: %s\n", e.what());
        std::_Exit(!refusal.empty() && std::strstr(e.what(), refusal.c_str()) ? 0 : 1);
    }
    std::fprintf(stderr, "loaded %zu meshes\n", scene.meshes.size());
    std::_Exit(refusal.empty() ? 0 : 2);
}

}  // namespace

TEST(FbxArrays, OnlyArraysThatAreReadAreInflated) {
    // Animation curves beside the mesh, as exporters write them: nothing here reads them, so
    // damage in their compressed bytes goes unnoticed, while the same damage in the mesh is not.
    const std::string stream = DamagedKeyStream();
    std::vector<Node> records = TriangleBesideCurve(Exported, stream);
    EXPECT_EQ(RefusalOf(WriteTestFile("curves.fbx", Write(records, Exported))), "");

    for (Node& object : records[3].children)
        if (object.name == "Geometry") object.children[0].values[0] = Value::Deflated('d', 2048, stream);
    EXPECT_NE(RefusalOf(WriteTestFile("mesh.fbx", Write(records, Exported))).find("corrupt compressed array"),
              std::string::npos);
}

TEST(FbxArrays, ACompressedArrayTakesMemoryForWhatItHoldsNotForWhatItClaims) {
    if (AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    // 600 KB of incompressible bytes under a count of 2^26 doubles (512 MiB): a claim within what
    // zlib could expand to, which the stream does not keep. Only what inflates is ever held.
    std::string noise(600000, '\0');
    std::mt19937 random(7);
    for (char& byte : noise) byte = char(random());
    const std::string stream = Deflate(noise);
    ASSERT_LT((uint64_t(1) << 29) / stream.size(), 1032u);
    SceneData data;
    AddTriangleModel(data, "tri");
    std::vector<Node> records = data.Records(Exported);
    for (Node& object : records[3].children)
        if (object.name == "Geometry") object.children[0].values[0] = Value::Deflated('d', uint32_t(1) << 26, stream);
    const std::string liar = WriteTestFile("liar.fbx", Write(records, Exported));
    EXPECT_EXIT(ImportWithinRoom(liar, size_t(256) << 20, "corrupt compressed array"), testing::ExitedWithCode(0), "");
}
