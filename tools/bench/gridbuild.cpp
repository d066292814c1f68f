#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

// The trace grid of a 1M-triangle high-poly mesh built as a bake builds it: the scene's meshes
// appended into a trace mesh, the root grid laid over the scene bounds and the cells binned and
// finished on every hardware thread.
namespace {

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

constexpr float kPi = 3.14159265f;

// A bumpy sphere of 2 x rings x segments triangles, welded, as an importer would leave it.
std::unique_ptr<Scene> BumpySphereScene(int rings, int segments) {
    auto scene = std::make_unique<Scene>();
    SceneMesh* mesh = scene->AddMesh("sphere");
    auto point = [](float theta, float phi) {
        const float r = 1.0f + 0.08f * std::sin(9.0f * theta) * std::sin(7.0f * phi) +
                        0.03f * std::sin(31.0f * theta + 2.0f) * std::cos(23.0f * phi);
        return Vec3{r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta)};
    };
    mesh->ReserveGeometry(size_t(rings + 1) * size_t(segments + 1), size_t(2) * size_t(rings) * size_t(segments));
    for (int i = 0; i <= rings; ++i)
        for (int j = 0; j <= segments; ++j)
            mesh->positions.push_back(point(kPi * float(i) / float(rings), 2.0f * kPi * float(j) / float(segments)));
    const uint32_t stride = uint32_t(segments + 1);
    for (uint32_t i = 0; i < uint32_t(rings); ++i) {
        for (uint32_t j = 0; j < uint32_t(segments); ++j) {
            const uint32_t a = i * stride + j, b = a + 1, c = a + stride, d = c + 1;
            mesh->indices.insert(mesh->indices.end(), {a, c, d, a, d, b});
        }
    }
    return scene;
}

struct Figures {
    double seconds = 0.0;
    long faults = 0;
};

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// The whole assembly, or the grid alone (Init and Build over the same triangles).
Figures Build(const Scene& scene, bool gridOnly, unsigned workers) {
    const TraceGridSettings settings;
    SWTraceMesh mesh;
    if (gridOnly) scene.meshes[0]->AppendTo(mesh);
    const long faults = MinorFaults();
    const double start = KelvorBench::NowSeconds();
    if (gridOnly) {
        const Pallix::Math::AABB3 box = scene.GetBounds();
        mesh.grid.Init(box, ChooseRootCellSize(settings, box, int(mesh.triangles.size())));
        mesh.Build(&settings, workers);
    } else {
        scene.BuildTraceMesh(&mesh, &settings, nullptr);
    }
    return {KelvorBench::NowSeconds() - start, MinorFaults() - faults};
}

// Each build runs in a child process of its own, as the first build of a bake does: the
// allocator has not grown for earlier ones yet.
Figures BuildInChild(const Scene& scene, bool gridOnly, unsigned workers) {
    int channel[2];
    if (pipe(channel) != 0) return Build(scene, gridOnly, workers);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const Figures figures = Build(scene, gridOnly, workers);
        const ssize_t written = write(channel[1], &figures, sizeof figures);
        _exit(written == ssize_t(sizeof figures) ? 0 : 1);
    }
    close(channel[1]);
    Figures figures;
    figures.seconds = -1.0;
    if (child > 0) {
        if (read(channel[0], &figures, sizeof figures) != ssize_t(sizeof figures)) figures.seconds = -1.0;
        waitpid(child, nullptr, 0);
    }
    close(channel[0]);
    return figures;
}

Figures Median(const Scene& scene, bool gridOnly, unsigned workers) {
    std::vector<Figures> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(BuildInChild(scene, gridOnly, workers));
    std::sort(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) { return a.seconds < b.seconds; });
    return runs[1];
}

void Run() {
    const auto scene = BumpySphereScene(708, 708);
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::printf("  bumpy sphere, %zu triangles, median of 3, each the first build of a process\n",
                scene->meshes[0]->TriangleCount());
    const Figures whole = Median(*scene, false, 0);
    const Figures grid = Median(*scene, true, 0);
    const Figures single = Median(*scene, true, 1);
    std::printf("  trace mesh assembly and grid, %u threads %7.3f s  (%ld page faults)\n", threads, whole.seconds,
                whole.faults);
    std::printf("  grid alone, %u threads                  %7.3f s  (%ld page faults)\n", threads, grid.seconds,
                grid.faults);
    std::printf("  grid alone, 1 thread                    %7.3f s  (%ld page faults)\n", single.seconds,
                single.faults);
}

}  // namespace

KELVOR_BENCH_SECTION("gridbuild", "trace grid of a 1M-triangle mesh built as a bake builds it", Run);
