// A whole normal-map bake of a generated 1M-triangle bumped sphere, run the way KelvorCmd runs
// it, phase by phase. Set KELVOR_BENCH_16K=1 to add the 16384 x 16384 bake.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "bake/bakemanager.h"
#include "bench.h"
#include "bumpedsphere.h"
#include "events/eventreporter.h"
#include "geometry/scene.h"
#include "io/plyimporter.h"
#include "trace/swtracemesh.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;
namespace BumpedSphere = KelvorBench::BumpedSphere;

namespace {

constexpr int kRepeats = 3;

struct Phases {
    double load = 0, grid = 0, context = 0, gpu = 0, trace = 0, post = 0, exportTime = 0, total = 0;
    bool failed = true;
};

// Standard output and error off while the engine and the importers talk, so the table stays
// readable; a failed bake still shows as failed.
class Quiet {
public:
    Quiet() {
        std::fflush(stdout);
        std::fflush(stderr);
        const int null = ::open("/dev/null", O_WRONLY);
        for (int i = 0; i < 2; ++i) {
            saved[i] = ::dup(i + 1);
            if (null >= 0) ::dup2(null, i + 1);
        }
        if (null >= 0) ::close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int i = 0; i < 2; ++i) {
            if (saved[i] < 0) continue;
            ::dup2(saved[i], i + 1);
            ::close(saved[i]);
        }
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int saved[2] = {-1, -1};
};

// The grid build of the bake on its own: the same scene, need flags and settings.
double GridBuildSeconds(const fs::path& high, const TraceGridSettings& grid) {
    BakeJob job;
    job.AddMap().type = MapNormal;
    const int flags = CreateMapBaker(&job.times, &job, &job.maps[0])->GetTraceRequirements();
    Scene scene(flags);
    {
        Quiet quiet;
        PLYImporter().Import(high.c_str(), &scene);
    }
    scene.Translate(-scene.GetBounds().Centre());
    SWTraceMesh mesh;
    const double start = KelvorBench::NowSeconds();
    scene.BuildTraceMesh(&mesh, &grid, nullptr);
    return KelvorBench::NowSeconds() - start;
}

Phases Bake(const fs::path& folder, int size, int format) {
    Phases phases;
    EventReporter reporter("bench");
    CpuFeatures cpu;
    TraceGridSettings grid;
    if (!ChooseTraceKernel(cpu, &grid, 0, 0)) return phases;
    phases.grid = GridBuildSeconds(folder / "sphere_high.ply", grid);

    const int threads = std::max(1, int(std::thread::hardware_concurrency()));
    BakeManager manager(&reporter, &grid);
    manager.SetThreadCount(threads);
    manager.ClearDirectMode();
    BakeJob job;
    MapSettings& map = job.AddMap();
    job.width = job.height = size;
    map.SetBlur(0.0f);
    map.tangentSpace = TangentFbx;
    map.type = MapNormal;
    map.spread = 160.0f * 3.1415927f / 180.0f;
    job.outputFormat = format;
    job.dilation = 0;
    job.searchDistance = 0.0f;
    job.normalDirection = DirectionGeometric;
    job.outputPath = (folder / "sphere").string();
    job.AddHighPolyPath((folder / "sphere_high.ply").c_str());
    job.hasHighPoly = true;
    job.lowPolyPath = (folder / "sphere_low.obj").string();
    std::vector<BakeJob*> jobs{&job};
    {
        Quiet quiet;
        const double start = KelvorBench::NowSeconds();
        manager.Init(threads, 1024, 1024);
        phases.context = KelvorBench::NowSeconds() - start;
        manager.Bake(&jobs);
    }
    const BakeTimes& t = job.times;
    phases.total = job.ElapsedSeconds();
    phases.load = t.highPolyLoadTime + t.lowPolyLoadTime + t.meshPrepTime - phases.grid;
    phases.gpu = t.gpuRenderTime + t.gpuReadbackTime;
    phases.trace = t.traceTime;
    phases.post = t.resolveTime + t.processingTime;
    phases.exportTime = t.exportTime;
    phases.failed = manager.HasFailed();
    return phases;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Report(const fs::path& folder, int size, int format, const char* formatName) {
    std::vector<Phases> runs;
    for (int i = 0; i < kRepeats; ++i) {
        runs.push_back(Bake(folder, size, format));
        if (runs.back().failed) {
            std::printf("  %5d %-6s failed\n", size, formatName);
            return;
        }
    }
    auto median = [&](double Phases::*field) {
        std::vector<double> values;
        for (const Phases& run : runs) values.push_back(run.*field);
        return Median(values);
    };
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("  %5d %-6s %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %8.2f  %6.2f\n", size, formatName,
                median(&Phases::load), median(&Phases::grid), median(&Phases::context), median(&Phases::gpu),
                median(&Phases::trace), median(&Phases::post), median(&Phases::exportTime), median(&Phases::total),
                double(usage.ru_maxrss) / (1024.0 * 1024.0));
    std::fflush(stdout);
}

void RunEndToEnd() {
    const fs::path folder = fs::temp_directory_path() / ("kelvor_bench_endtoend_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    // 998 000 triangles.
    BumpedSphere::WriteHighPolyPly(folder / "sphere_high.ply", BumpedSphere::Layout{1000, 500}, false);
    BumpedSphere::WriteSmoothSphereObj(folder / "sphere_low.obj", 1.0);
    std::printf("  normal map (object- and tangent-space files), %u threads, seconds, median of %d;\n"
                "  grid is the build alone, load the rest of the mesh loading; peak is the process's so far\n",
                std::max(1u, std::thread::hardware_concurrency()), kRepeats);
    std::printf("  %5s %-6s %7s %7s %7s %7s %7s %7s %7s %8s  %6s\n", "size", "format", "load", "grid", "context", "gpu",
                "trace", "post", "export", "total", "peakGB");
    Report(folder, 1024, FormatPng16, "png16");
    Report(folder, 4096, FormatPng16, "png16");
    Report(folder, 4096, FormatExr, "exr");
    Report(folder, 4096, FormatTiff16, "tiff16");
    const char* huge = std::getenv("KELVOR_BENCH_16K");
    if (huge && std::string(huge) == "1") Report(folder, 16384, FormatPng16, "png16");
    fs::remove_all(folder);
}

}  // namespace

KELVOR_BENCH_SECTION("endtoend", "phases of a normal-map bake of a generated 1M-triangle sphere", RunEndToEnd);
