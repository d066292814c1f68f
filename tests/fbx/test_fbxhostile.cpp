#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using namespace FbxTest;

namespace {

const Format Exported{Encoding::Binary, 7500, true};

// A flat grid of side x side quads cut into triangles, with normals by control point, as a game
// exporter writes it; `layers` times over on the same control points.
MeshData TriangleGrid(int side, int layers = 1) {
    MeshData mesh;
    mesh.name = "grid";
    LayerElement normal;
    normal.mapping = "ByVertice";
    for (int y = 0; y <= side; ++y) {
        for (int x = 0; x <= side; ++x) {
            mesh.vertices.insert(mesh.vertices.end(), {double(x), double(y), 0.0});
            normal.direct.insert(normal.direct.end(), {0.0, 0.0, 1.0});
        }
    }
    for (int layer = 0; layer < layers; ++layer) {
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const int a = y * (side + 1) + x, c = a + side + 2;
                mesh.polygonVertexIndex.insert(mesh.polygonVertexIndex.end(), {a, a + 1, ~c, a, c, ~(a + side + 1)});
            }
        }
    }
    mesh.normals = {normal};
    return mesh;
}

// One mesh linked by `count` models side by side.
SceneData Instances(const MeshData& mesh, int count) {
    SceneData data;
    data.meshes.push_back(mesh);
    for (int i = 0; i < count; ++i) {
        ModelData& model = data.models.emplace_back();
        model.name = "copy" + std::to_string(i);
        model.mesh = 0;
        model.properties = {VectorProperty("Lcl Translation", 2.0 * i, 0, 0)};
    }
    return data;
}

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

TEST(FbxInstancing, ExpansionBeyondWhatASceneHoldsIsRefusedBeforeCopying) {
    // A million triangles (a grid of 2048 laid 489 times over), linked by 2150 models: over
    // 2^31 triangles from a file of a few hundred kilobytes.
    const MeshData layers = TriangleGrid(32, 489);
    const std::string path = WriteTestFile("layers.fbx", WriteScene(Instances(layers, 2150), Exported));
    auto scene = std::make_unique<Scene>(AllNeeds);
    FBXImporter importer;
    testing::internal::CaptureStdout();
    try {
        importer.Import(path.c_str(), scene.get());
        ADD_FAILURE() << "loaded";
    } catch (const ImportException& e) {
        EXPECT_EQ(std::string(e.what()), "Mesh file '" + path + "' expands to " + std::to_string(2048 * 489 * 2150ull) +
                                             " triangles in 2150 mesh nodes, more than a scene holds (2147483647)");
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(scene->meshes.empty());
}

TEST(FbxInstancing, ExpansionIsMeasuredAgainstTheMemoryLeft) {
    if (KelvorTest::AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    // 20,000 triangles linked by 100 models need about 420 MB in the Scene: more than the
    // 256 MB the child may take. Ten of them fit, and load.
    const MeshData grid = TriangleGrid(100);
    const size_t room = size_t(256) << 20;
    const std::string hundred = WriteTestFile("hundred.fbx", WriteScene(Instances(grid, 100), Exported));
    const std::string ten = WriteTestFile("ten.fbx", WriteScene(Instances(grid, 10), Exported));
    EXPECT_EXIT(ImportWithinRoom(hundred, room, "expands to 2000000 triangles in 100 mesh nodes (about 0.4 GB), more than the"),
                testing::ExitedWithCode(0), "");
    EXPECT_EXIT(ImportWithinRoom(ten, room, ""), testing::ExitedWithCode(0), "loaded 10 meshes");
}

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
    if (KelvorTest::AddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
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
