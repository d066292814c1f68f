#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench.h"
#include "core/image.h"
#include "geometry/scene.h"
#include "gpu/hardwarebaker.h"
#include "gpu/offscreencontext.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

// A rippled sheet of about 100k triangles filling UV space, stored per corner like an import.
void BuildSheet(Scene& scene, int quadsPerSide) {
    SceneMesh* mesh = scene.AddMesh("sheet");
    auto corner = [&](int i, int j) {
        const float u = float(i) / float(quadsPerSide), v = float(j) / float(quadsPerSide);
        mesh->uvs.push_back({u, v});
        mesh->positions.push_back({u * 10.0f, v * 10.0f, 0.3f * std::sin(u * 20.0f) * std::cos(v * 17.0f)});
        mesh->normals.push_back({0.0f, 0.0f, 1.0f});
        mesh->tangents.push_back({1.0f, 0.0f, 0.0f, 1.0f});
        mesh->bitangents.push_back({0.0f, 1.0f, 0.0f});
        mesh->indices.push_back(uint32_t(mesh->indices.size()));
    };
    for (int j = 0; j < quadsPerSide; ++j)
        for (int i = 0; i < quadsPerSide; ++i) {
            corner(i, j), corner(i + 1, j), corner(i + 1, j + 1);
            corner(i, j), corner(i + 1, j + 1), corner(i, j + 1);
        }
}

struct TileTimes {
    double render = 0.0;
    double readback = 0.0;
};

// One pass per tile, then the mapping and a read of every row, as the CPU pass would touch it.
TileTimes TimeTiles(HardwareBaker& baker, HardwareScene& scene, int tileSize, int split, int passes) {
    TileTimes times;
    double checksum = 0.0;
    ReadbackSet images = MakeReadbackSet(tileSize, tileSize);
    for (int pass = 0; pass < passes; ++pass)
        for (int column = 0; column < split; ++column)
            for (int row = 0; row < split; ++row) {
                TileRecord tile;
                tile.tileWidth = tile.tileHeight = tileSize;
                tile.columns = tile.rows = split;
                tile.column = column;
                tile.row = row;
                ConversionResolver resolver(nullptr, &tile);
                const double start = KelvorBench::NowSeconds();
                const int set = baker.Render(tile, scene, 0, &resolver);
                const double rendered = KelvorBench::NowSeconds();
                {
                    HardwareBaker::MappedReadback mapping(baker, set, images);
                    for (const Image& image : images)
                        for (int y = 0; y < tileSize; ++y) checksum += image.Pixel(y, y)[3];
                }
                const double done = KelvorBench::NowSeconds();
                times.render += rendered - start;
                times.readback += done - rendered;
            }
    const double tiles = double(passes) * split * split;
    times.render /= tiles;
    times.readback /= tiles;
    if (checksum < 0.0) std::printf("impossible checksum\n");
    return times;
}

void RunGpu() {
    Scene scene;
    BuildSheet(scene, 224);
    const int triangles = scene.CountTriangles();

    const double start = KelvorBench::NowSeconds();
    HardwareBaker baker;
    baker.Initialise();
    const double initialised = KelvorBench::NowSeconds();
    OffscreenContext::LockGuard lock(baker.GetContext());
    std::printf("renderer: %s, %s\n", baker.GetRenderer().c_str(), baker.GetVersion().c_str());
    HardwareScene hardware(&baker.GetContext());
    scene.meshes[0]->CreateVertexBuffer(*hardware.AddMesh());
    const double uploaded = KelvorBench::NowSeconds();
    std::printf("context and programs: %.3f s; upload of %d triangles: %.3f s\n", initialised - start, triangles,
                uploaded - initialised);

    TimeTiles(baker, hardware, 1024, 1, 1);  // first draw compiles the driver's pipeline
    const TileTimes whole = TimeTiles(baker, hardware, 1024, 1, 10);
    // The pass includes the copy into the pixel-pack buffers; the read-back is mapping and reading.
    std::printf("1024 x 1024 tile, %d triangles: pass %.1f ms + mapped read %.1f ms = %.1f ms per tile\n",
                triangles, whole.render * 1e3, whole.readback * 1e3, (whole.render + whole.readback) * 1e3);
    const TileTimes split = TimeTiles(baker, hardware, 128, 8, 1);
    std::printf("128 x 128 tiles of an 8 x 8 split: pass %.2f ms + mapped read %.2f ms = %.2f ms per tile\n",
                split.render * 1e3, split.readback * 1e3, (split.render + split.readback) * 1e3);
}

}  // namespace

KELVOR_BENCH_SECTION("gpu", "texture-space render and read-back per tile on the offscreen context", RunGpu);
