// Load throughput of the OBJ and PLY importers on a generated mesh of about a million triangles,
// and the cost of the neighbour-extent pass that high-poly scenes go through after loading.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "bench.h"
#include "geometry/scene.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"

namespace {

using namespace Pallix::Bake;

constexpr int GridSide = 708;  // 2 x 707 x 707 = 999 698 triangles

float Height(int i, int j) { return 0.05f * std::sin(0.05f * float(i)) * std::cos(0.07f * float(j)); }

int VertexIndex(int i, int j) { return i * GridSide + j; }

void WriteObj(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "# generated height field\n#Vertex Count %d\n#Face Count %d\n", GridSide * GridSide,
                 2 * (GridSide - 1) * (GridSide - 1));
    for (int i = 0; i < GridSide; ++i)
        for (int j = 0; j < GridSide; ++j)
            std::fprintf(f, "v %.6f %.6f %.6f\n", double(i) / GridSide, double(j) / GridSide, double(Height(i, j)));
    for (int i = 0; i + 1 < GridSide; ++i)
        for (int j = 0; j + 1 < GridSide; ++j) {
            const int a = VertexIndex(i, j) + 1, b = VertexIndex(i + 1, j) + 1, c = VertexIndex(i + 1, j + 1) + 1,
                      d = VertexIndex(i, j + 1) + 1;
            std::fprintf(f, "f %d %d %d\nf %d %d %d\n", a, b, c, a, c, d);
        }
    std::fclose(f);
}

void WritePly(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    const int faces = 2 * (GridSide - 1) * (GridSide - 1);
    std::fprintf(f,
                 "ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
                 "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                 "element face %d\nproperty list uchar int vertex_indices\nend_header\n",
                 GridSide * GridSide, faces);
    for (int i = 0; i < GridSide; ++i)
        for (int j = 0; j < GridSide; ++j) {
            const float xyz[3] = {float(i) / GridSide, float(j) / GridSide, Height(i, j)};
            const unsigned char rgb[3] = {uint8_t(i), uint8_t(j), 128};
            std::fwrite(xyz, sizeof xyz, 1, f);
            std::fwrite(rgb, sizeof rgb, 1, f);
        }
    for (int i = 0; i + 1 < GridSide; ++i)
        for (int j = 0; j + 1 < GridSide; ++j) {
            const int32_t a = VertexIndex(i, j), b = VertexIndex(i + 1, j), c = VertexIndex(i + 1, j + 1),
                          d = VertexIndex(i, j + 1);
            const unsigned char three = 3;
            const int32_t first[3] = {a, b, c}, second[3] = {a, c, d};
            std::fwrite(&three, 1, 1, f);
            std::fwrite(first, sizeof first, 1, f);
            std::fwrite(&three, 1, 1, f);
            std::fwrite(second, sizeof second, 1, f);
        }
    std::fclose(f);
}

template <typename Importer>
void Measure(const char* label, const std::string& path, int repeats) {
    const double megabytes = double(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    double best = 1e30;
    int triangles = 0;
    for (int r = 0; r < repeats; ++r) {
        Scene scene(NeedNormals);
        Importer importer;
        std::fflush(stdout);
        const double start = KelvorBench::NowSeconds();
        importer.Import(path.c_str(), &scene);
        best = std::min(best, KelvorBench::NowSeconds() - start);
        triangles = scene.CountTriangles();
    }
    std::printf("\n%-4s %8.1f MB  %9d triangles  %.3f s  %7.1f MB/s  %6.2f M triangles/s\n", label, megabytes, triangles,
                best, megabytes / best, double(triangles) / best * 1e-6);
}

void NeighbourDirections(const std::string& path) {
    Scene scene(NeedNeighbourDirections);
    PLYImporter importer;
    importer.Import(path.c_str(), &scene);
    const double start = KelvorBench::NowSeconds();
    scene.ComputeNeighbourDirections();
    const double seconds = KelvorBench::NowSeconds() - start;
    std::printf("neighbour extents (weld + adjacency + pass) on %d triangles: %.3f s\n", scene.CountTriangles(), seconds);
}

void RunImport() {
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const std::string obj = (folder / ("kelvor_bench_" + tag + ".obj")).string();
    const std::string ply = (folder / ("kelvor_bench_" + tag + ".ply")).string();
    WriteObj(obj);
    WritePly(ply);
    Measure<OBJImporter>("OBJ", obj, 3);
    Measure<PLYImporter>("PLY", ply, 3);
    NeighbourDirections(ply);
    std::filesystem::remove(obj);
    std::filesystem::remove(ply);
}

}  // namespace

KELVOR_BENCH_SECTION("import", "OBJ and binary PLY load throughput on a 1M-triangle mesh", RunImport);
