#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "bench.h"
#include "core/cpufeatures.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"
#include "trace/tracekernels.h"

// Giant triangles among small ones: a 500 x 500 quad sheet without and with 1, 17 and 200
// triangles two million units across under it, traced as a 1024 x 1024 bake traces its texels.
namespace {

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

std::unique_ptr<Scene> SheetScene(int giants) {
    auto scene = std::make_unique<Scene>();
    SceneMesh* mesh = scene->AddMesh("sheet");
    const int n = 500;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const float x = -1.0f + 2.0f * float(i) / n, y = -1.0f + 2.0f * float(j) / n;
            mesh->positions.push_back({x, y, 0.03f * std::sin(9.0f * x) * std::cos(7.0f * y)});
        }
    for (uint32_t j = 0; j < uint32_t(n); ++j)
        for (uint32_t i = 0; i < uint32_t(n); ++i) {
            const uint32_t a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            mesh->indices.insert(mesh->indices.end(), {a, b, d, a, d, c});
        }
    for (int k = 0; k < giants; ++k) {
        // Each a little lower and turned a little further than the one before.
        const uint32_t base = uint32_t(mesh->positions.size());
        const float turn = 0.15f * float(k), z = -0.5f - 0.01f * float(k);
        for (float angle : {0.0f, 2.0944f, 4.1888f})
            mesh->positions.push_back({1e6f * std::cos(angle + turn), 1e6f * std::sin(angle + turn), z});
        mesh->indices.insert(mesh->indices.end(), {base, base + 1, base + 2});
    }
    return scene;
}

struct Figures {
    double build = 0.0;
    double raysPerSecond = 0.0;
    long long rays = 0, hits = 0;
};

// Rays from a plane above the sheet, one per texel of a 1024 x 1024 map, straight down and as
// far as a bake's search reaches (the scene's extent); traced until all are done or a few
// seconds have passed.
Figures Measure(int giants, int kernel) {
    const auto scene = SheetScene(giants);
    SWTraceMesh mesh;
    const TraceGridSettings settings;
    double start = KelvorBench::NowSeconds();
    scene->BuildTraceMesh(&mesh, &settings, nullptr);
    Figures f;
    f.build = KelvorBench::NowSeconds() - start;
    const Pallix::Math::AABB3 box = mesh.GetBounds();
    const float reach = std::max({box.maxX - box.minX, box.maxY - box.minY, box.maxZ - box.minZ}) + 1.0f;

    const int size = 1024, rowsPerTask = 8;
    ThreadPool pool(std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<long long> rays{0}, hits{0};
    std::atomic<bool> late{false};
    start = KelvorBench::NowSeconds();
    std::vector<std::future<void>> futures;
    for (int first = 0; first < size; first += rowsPerTask) {
        futures.push_back(pool.Enqueue([&, first] {
            if (late) return;
            long long found = 0;
            for (int y = first; y < first + rowsPerTask; ++y)
                for (int x = 0; x < size; ++x) {
                    const Vec3 origin{-1.0f + 2.0f * (float(x) + 0.5f) / size, -1.0f + 2.0f * (float(y) + 0.5f) / size, 0.2f};
                    TraceHit hit;
                    hit.distance = reach;
                    found += mesh.grid.Intersect(TraceRay::Make(origin, {0, 0, -1}, reach, kernel), &hit) ? 1 : 0;
                }
            rays += rowsPerTask * size;
            hits += found;
            if (KelvorBench::NowSeconds() - start > 5.0) late = true;
        }));
    }
    WaitAllAndRethrow(futures);
    f.rays = rays;
    f.hits = hits;
    f.raysPerSecond = double(f.rays) / (KelvorBench::NowSeconds() - start);
    return f;
}

void Run() {
    TraceGridSettings grid;
    ChooseTraceKernel(CpuFeatures(), &grid, 0, 0);
    std::printf("  500 x 500 quad sheet, 1024 x 1024 rays straight down, kernel %d\n", grid.kernel);
    const Figures plain = Measure(0, grid.kernel);
    for (int giants : {0, 1, 17, 200}) {
        const Figures f = giants == 0 ? plain : Measure(giants, grid.kernel);
        std::printf("  %3d giant triangles  build %6.3f s, %8.3f M rays/s over %lld rays, %.1f%% hit, %.2fx the time\n",
                    giants, f.build, f.raysPerSecond * 1e-6, f.rays, f.rays ? 100.0 * double(f.hits) / double(f.rays) : 0.0,
                    plain.raysPerSecond / f.raysPerSecond);
    }
}

}  // namespace

KELVOR_BENCH_SECTION("giant", "a 500 x 500 sheet traced without and with giant triangles under it", Run);
