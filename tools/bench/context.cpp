#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench.h"
#include "core/image.h"
#include "geometry/scene.h"
#include "gpu/hardwarebaker.h"
#include "gpu/offscreencontext.h"

// Start of the GPU half of a bake: the offscreen context with its framebuffer, buffers and
// programs, then the first pass of a small and of a full-size tile.
namespace {

using namespace Pallix::Bake;

struct Start {
    double initialise = 0.0, smallTile = 0.0, largeTile = 0.0, resident = 0.0;
};

double FirstPass(HardwareBaker& baker, HardwareScene& scene, int size, int split) {
    TileRecord tile;
    tile.tileWidth = tile.tileHeight = size;
    tile.columns = tile.rows = split;
    ConversionResolver resolver(nullptr, &tile);
    ReadbackSet images = MakeReadbackSet(size, size);
    const double start = KelvorBench::NowSeconds();
    const int set = baker.Render(tile, scene, 0, &resolver);
    HardwareBaker::MappedReadback mapping(baker, set, images);
    return KelvorBench::NowSeconds() - start;
}

Start StartOnce() {
    Start s;
    const double before = KelvorBench::ProcessStatusMiB("VmRSS");
    const double start = KelvorBench::NowSeconds();
    HardwareBaker baker;
    baker.Initialise();
    s.initialise = KelvorBench::NowSeconds() - start;
    s.resident = KelvorBench::ProcessStatusMiB("VmRSS") - before;
    OffscreenContext::LockGuard lock(baker.GetContext());
    Scene low;
    SceneMesh* mesh = low.AddMesh("quad");
    mesh->positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    mesh->normals.assign(4, {0, 0, 1});
    mesh->uvs = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    mesh->indices = {0, 1, 2, 0, 2, 3};
    HardwareScene scene(&baker.GetContext());
    mesh->CreateVertexBuffer(*scene.AddMesh());
    s.smallTile = FirstPass(baker, scene, 128, 8);
    s.largeTile = FirstPass(baker, scene, 1024, 1);
    return s;
}

void Run() {
    std::vector<Start> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(StartOnce());
    std::sort(runs.begin(), runs.end(), [](const Start& a, const Start& b) { return a.initialise < b.initialise; });
    const Start& s = runs[1];
    std::printf("  context, framebuffer and programs %7.3f s (%.0f MiB resident), median of 3\n", s.initialise,
                s.resident);
    std::printf("  then the first 128 x 128 tile %7.1f ms, the first 1024 x 1024 tile %7.1f ms\n", s.smallTile * 1e3,
                s.largeTile * 1e3);
}

}  // namespace

KELVOR_BENCH_SECTION("context", "offscreen context start and the first passes of a 128 and a 1024 tile", Run);
