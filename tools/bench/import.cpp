// Load throughput of the OBJ and PLY importers on a generated bumped sphere with file normals
// (a million triangles, or KELVOR_BENCH_IMPORT_MILLIONS millions) on one thread and on every
// hardware thread, and the cost of the neighbour-extent pass that high-poly scenes go through
// after loading.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench.h"
#include "geometry/scene.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"

namespace {

using namespace Pallix::Bake;

// Rings of latitude between 80 degrees south and north, each of `segments` vertices: 2 x rings x
// segments triangles, none of them degenerate.
struct Sphere {
    int rings = 0, segments = 0;

    explicit Sphere(double millions) {
        segments = std::max(8, int(std::lround(std::sqrt(millions * 1e6))));
        rings = std::max(2, int(std::lround(millions * 1e6 / (2.0 * segments))));
    }
    int VertexCount() const { return (rings + 1) * segments; }
    int TriangleCount() const { return 2 * rings * segments; }
    int Index(int ring, int segment) const { return ring * segments + segment % segments; }

    void Vertex(int ring, int segment, float p[3], float n[3]) const {
        const double pi = 3.14159265358979;
        const double theta = (-80.0 + 160.0 * ring / rings) * pi / 180.0, phi = 2.0 * pi * segment / segments;
        const double r = 1.0 + 0.02 * std::sin(13.0 * theta) * std::cos(17.0 * phi);
        const double d[3] = {std::cos(theta) * std::cos(phi), std::cos(theta) * std::sin(phi), std::sin(theta)};
        for (int k = 0; k < 3; ++k) {
            p[k] = float(r * d[k]);
            n[k] = float(d[k]);
        }
    }

    template <class Face>
    void Faces(const Face& face) const {
        for (int i = 0; i < rings; ++i)
            for (int j = 0; j < segments; ++j) {
                const int a = Index(i, j), b = Index(i, j + 1), c = Index(i + 1, j + 1), d = Index(i + 1, j);
                face(a, b, c);
                face(a, c, d);
            }
    }
};

void WriteObj(const std::string& path, const Sphere& sphere) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "# bumped sphere\n");
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i <= sphere.rings; ++i)
            for (int j = 0; j < sphere.segments; ++j) {
                float p[3], n[3];
                sphere.Vertex(i, j, p, n);
                const float* v = pass == 0 ? p : n;
                std::fprintf(f, "%s %.6f %.6f %.6f\n", pass == 0 ? "v" : "vn", double(v[0]), double(v[1]), double(v[2]));
            }
    sphere.Faces([f](int a, int b, int c) { std::fprintf(f, "f %d//%d %d//%d %d//%d\n", a + 1, a + 1, b + 1, b + 1, c + 1, c + 1); });
    std::fclose(f);
}

void WritePly(const std::string& path, const Sphere& sphere) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f,
                 "ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
                 "property float z\nproperty float nx\nproperty float ny\nproperty float nz\n"
                 "element face %d\nproperty list uchar int vertex_indices\nend_header\n",
                 sphere.VertexCount(), sphere.TriangleCount());
    for (int i = 0; i <= sphere.rings; ++i)
        for (int j = 0; j < sphere.segments; ++j) {
            float pn[6];
            sphere.Vertex(i, j, pn, pn + 3);
            std::fwrite(pn, sizeof pn, 1, f);
        }
    sphere.Faces([f](int a, int b, int c) {
        unsigned char record[13] = {3};
        const int32_t corners[3] = {a, b, c};
        std::copy_n(reinterpret_cast<const unsigned char*>(corners), sizeof corners, record + 1);
        std::fwrite(record, sizeof record, 1, f);
    });
    std::fclose(f);
}

template <typename Importer>
void Measure(const char* label, const std::string& path, unsigned threads, int repeats) {
    const double megabytes = double(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    double best = 1e30;
    int triangles = 0;
    for (int r = 0; r < repeats; ++r) {
        Scene scene(NeedNormals);
        Importer importer;
        importer.workers = threads;
        std::fflush(stdout);
        const double start = KelvorBench::NowSeconds();
        importer.Import(path.c_str(), &scene);
        best = std::min(best, KelvorBench::NowSeconds() - start);
        triangles = scene.CountTriangles();
    }
    std::printf("\n%-4s %8.1f MB  %9d triangles  %u thread%s  %.3f s  %7.1f MB/s  %6.2f M triangles/s\n", label, megabytes,
                triangles, threads, threads == 1 ? " " : "s", best, megabytes / best, double(triangles) / best * 1e-6);
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
    const char* millions = std::getenv("KELVOR_BENCH_IMPORT_MILLIONS");
    const Sphere sphere(millions ? std::max(0.01, std::atof(millions)) : 1.0);
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const std::string obj = (folder / ("kelvor_bench_" + tag + ".obj")).string();
    const std::string ply = (folder / ("kelvor_bench_" + tag + ".ply")).string();
    WriteObj(obj, sphere);
    WritePly(ply, sphere);
    const unsigned all = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned threads : {1u, all}) Measure<OBJImporter>("OBJ", obj, threads, 3);
    for (unsigned threads : {1u, all}) Measure<PLYImporter>("PLY", ply, threads, 3);
    NeighbourDirections(ply);
    std::filesystem::remove(obj);
    std::filesystem::remove(ply);
}

}  // namespace

KELVOR_BENCH_SECTION("import", "OBJ and binary PLY load throughput on a bumped sphere with normals, 1 and all threads",
                     RunImport);
