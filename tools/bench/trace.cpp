#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "bench.h"
#include "core/threadpool.h"
#include "trace/swtracemesh.h"
#include "trace/tracekernels.h"

// Ray throughput of every kernel and grid build time on generated meshes.
namespace {

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

constexpr float kPi = 3.14159265f;

// A sphere of radius 1 with bumps of several frequencies, as rings x segments quads.
std::unique_ptr<SWTraceMesh> BumpySphere(int rings, int segments) {
    auto mesh = std::make_unique<SWTraceMesh>();
    auto point = [](float theta, float phi) {
        const float r = 1.0f + 0.08f * std::sin(9.0f * theta) * std::sin(7.0f * phi) +
                        0.03f * std::sin(31.0f * theta + 2.0f) * std::cos(23.0f * phi);
        return Vec3{r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta)};
    };
    mesh->positions.reserve(size_t(rings + 1) * size_t(segments + 1));
    for (int i = 0; i <= rings; ++i)
        for (int j = 0; j <= segments; ++j)
            mesh->positions.push_back(point(kPi * float(i) / float(rings), 2.0f * kPi * float(j) / float(segments)));
    mesh->triangles.reserve(size_t(2) * size_t(rings) * size_t(segments));
    const int stride = segments + 1;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const int a = i * stride + j, b = a + 1, c = a + stride, d = c + 1;
            mesh->AddTriangle(a, c, d, -1);
            mesh->AddTriangle(a, d, b, -1);
        }
    }
    return mesh;
}

double BuildGrid(SWTraceMesh& mesh, unsigned workers) {
    const double start = KelvorBench::NowSeconds();
    Pallix::Math::AABB3 bounds;
    for (const Vec3& p : mesh.positions) bounds.Expand(p);
    bounds.Pad(0.004f);
    const TraceGridSettings settings;
    mesh.grid.Init(bounds, ChooseRootCellSize(settings, bounds, int(mesh.triangles.size())));
    mesh.Build(&settings, workers);
    return KelvorBench::NowSeconds() - start;
}

struct RaySet {
    const char* name;
    std::vector<TraceRay> rays;
};

// One ray per texel of a 512 x 512 map, cast straight down from a plane above the mesh.
RaySet CoherentRays() {
    RaySet set{"coherent", {}};
    const int n = 512;
    set.rays.reserve(size_t(n) * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            set.rays.push_back(TraceRay::Make({-1.2f + 2.4f * (float(x) + 0.5f) / n, -1.2f + 2.4f * (float(y) + 0.5f) / n, 1.5f},
                                              {0, 0, -1}, 4.0f, 0));
    return set;
}

// Cosine-distributed directions from random points on the surface, limited to half the mesh's
// radius (the typical occlusion ray).
RaySet IncoherentRays(const SWTraceMesh& mesh, int count) {
    RaySet set{"incoherent", {}};
    uint64_t state = 0x853c49e6748fea9bull;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return float((state >> 40) & 0xFFFFFF) / 16777216.0f;
    };
    set.rays.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const MeshTriangle& t = mesh.triangles[size_t(next() * float(mesh.triangles.size())) % mesh.triangles.size()];
        float u = next(), v = next();
        if (u + v > 1.0f) {
            u = 1.0f - u;
            v = 1.0f - v;
        }
        const Vec3 a = mesh.positions[size_t(t.vertex0)], b = mesh.positions[size_t(t.vertex1)],
                   c = mesh.positions[size_t(t.vertex2)];
        const Vec3 n = Pallix::Math::NormalizeFast(Pallix::Math::Cross(b - a, c - a));
        const Vec3 p = a + (b - a) * u + (c - a) * v + n * 1e-4f;
        // Tangent frame around n, then a cosine-weighted direction.
        const Vec3 helper = std::fabs(n.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        const Vec3 s = Pallix::Math::NormalizeFast(Pallix::Math::Cross(n, helper));
        const Vec3 w = Pallix::Math::Cross(n, s);
        const float r = std::sqrt(next()), phi = 2.0f * kPi * next();
        const Vec3 d = s * (r * std::cos(phi)) + w * (r * std::sin(phi)) + n * std::sqrt(std::max(0.0f, 1.0f - r * r));
        set.rays.push_back(TraceRay::Make(p, d, 0.5f, 0));
    }
    return set;
}

// Millions of rays per second over the set, repeated until the timing is long enough.
template <class Trace>
double Throughput(ThreadPool& pool, const std::vector<TraceRay>& rays, Trace&& trace, long long* hits) {
    const size_t chunk = 2048;
    long long total = 0;
    int rounds = 0;
    double best = 0.0, elapsed = 0.0;
    // The best of several rounds: other work on the machine only ever slows a round down.
    do {
        const double start = KelvorBench::NowSeconds();
        std::atomic<long long> found{0};
        std::vector<std::future<void>> futures;
        for (size_t begin = 0; begin < rays.size(); begin += chunk) {
            futures.push_back(pool.Enqueue([&, begin] {
                long long local = 0;
                const size_t end = std::min(rays.size(), begin + chunk);
                for (size_t i = begin; i < end; ++i) local += trace(rays[i]) ? 1 : 0;
                found += local;
            }));
        }
        WaitAllAndRethrow(futures);
        total = found;
        ++rounds;
        const double seconds = KelvorBench::NowSeconds() - start;
        elapsed += seconds;
        best = std::max(best, double(rays.size()) / seconds * 1e-6);
    } while (rounds < 3 || elapsed < 0.3);
    *hits = total;
    return best;
}

void RunMesh(const char* name, int rings, int segments) {
    auto mesh = BumpySphere(rings, segments);
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    // Build once on one worker for the comparison, then the timed build on all of them.
    auto single = BumpySphere(rings, segments);
    const double singleBuild = BuildGrid(*single, 1);
    single.reset();
    const double build = BuildGrid(*mesh, threads);
    const TraceGridStatistics stats = ComputeGridStatistics(mesh->grid);
    std::printf("%s: %zu triangles, %d root cells (mean %d, most %d, usage %.2f)\n", name, mesh->triangles.size(),
                stats.cellCount, stats.meanCount, stats.highWater, stats.usage);
    std::printf("  grid build: %.3f s with %u threads, %.3f s with 1 thread\n", build, threads, singleBuild);

    const RaySet sets[] = {CoherentRays(), IncoherentRays(*mesh, 262144)};
    ThreadPool one(1), all(threads);
    for (const RaySet& set : sets) {
        std::printf("  %s rays (%zu):\n", set.name, set.rays.size());
        std::printf("    %-28s %12s %12s %8s %7s\n", "query", "1 thread", "all threads", "scaling", "hits");
        double single[8] = {};
        for (int kernel = 1; kernel <= 7; ++kernel) {
            if (kernel == KernelPlueckerAvx && !KernelAvxAvailable()) continue;
            auto closest = [&](const TraceRay& r) {
                TraceRay ray = r;
                ray.kernel = kernel;
                TraceHit hit;
                hit.distance = ray.maxDistance;
                return mesh->grid.Intersect(ray, &hit);
            };
            long long hits = 0;
            const double m1 = Throughput(one, set.rays, closest, &hits);
            const double mn = Throughput(all, set.rays, closest, &hits);
            single[kernel] = m1;
            std::printf("    closest hit, kernel %d        %8.2f M/s %8.2f M/s %7.2fx %6.1f%%\n", kernel, m1, mn, mn / m1,
                        100.0 * double(hits) / double(set.rays.size()));
        }
        if (single[KernelPlueckerAvx] > 0.0)
            std::printf("    AVX kernel 7 against the scalar float kernels, 1 thread: %.2fx kernel 4, %.2fx kernel 1\n",
                        single[KernelPlueckerAvx] / single[KernelPlueckerFloat],
                        single[KernelPlueckerAvx] / single[KernelMoellerFloat]);
        auto any = [&](const TraceRay& r) { return mesh->grid.Occluded(r); };
        long long hits = 0;
        const double m1 = Throughput(one, set.rays, any, &hits);
        const double mn = Throughput(all, set.rays, any, &hits);
        std::printf("    any hit (SSE kernel)          %8.2f M/s %8.2f M/s %7.2fx %6.1f%%\n", m1, mn, mn / m1,
                    100.0 * double(hits) / double(set.rays.size()));
    }
}

// The kernels alone, without the walk: one leaf of four packets (16 small triangles) against
// rays that cross it, so the figures show what each kernel costs per call.
void RunKernelsAlone() {
    SWGridCellCluster leaf;
    leaf.triangleCount = 16;
    std::vector<TrianglePacket> storage(size_t(leaf.PacketsNeeded()));
    leaf.Allocate(storage.data());
    uint32_t state = 1;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / 16777216.0f;
    };
    for (int i = 0; i < 16; ++i)
        leaf.Append({next(), next(), next()}, {0.2f * next(), 0.2f * next(), 0.01f}, {0.01f, 0.2f * next(), 0.2f * next()}, i);
    leaf.PadAndComputeNormals();
    std::vector<TraceRay> rays;
    for (int i = 0; i < 4096; ++i)
        rays.push_back(TraceRay::Make({next(), next(), -1.0f}, {0.2f * next() - 0.1f, 0.2f * next() - 0.1f, 1.0f}, 10.0f, 0));

    std::printf("packet kernels alone (a leaf of 4 packets, 1 thread):\n");
    for (int kernel = 1; kernel <= 7; ++kernel) {
        if (kernel == KernelPlueckerAvx && !KernelAvxAvailable()) continue;
        double best = 1e30;
        long long hits = 0;
        for (int round = 0; round < 20; ++round) {
            const double start = KelvorBench::NowSeconds();
            hits = 0;
            for (const TraceRay& ray : rays) {
                double distance = ray.maxDistance;
                float u = 0.0f, v = 0.0f;
                hits += IntersectPackets(kernel, leaf.packets, leaf.packetCount, ray, &distance, &u, &v) >= 0;
            }
            best = std::min(best, (KelvorBench::NowSeconds() - start) / double(rays.size()) * 1e9);
        }
        std::printf("  kernel %d: %6.1f ns per leaf, %4.1f%% hit\n", kernel, best, 100.0 * double(hits) / double(rays.size()));
    }
}

void RunTraceBenchmark() {
    RunKernelsAlone();
    RunMesh("100k mesh", 224, 224);
    RunMesh("1M mesh", 708, 708);
}

}  // namespace

KELVOR_BENCH_SECTION("trace", "trace grid build and closest-hit / any-hit rays per second per kernel", RunTraceBenchmark);
