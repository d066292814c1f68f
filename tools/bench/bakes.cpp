#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "bake/bakemanager.h"
#include "bench.h"
#include "events/eventreporter.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

namespace {

constexpr int kSize = 2048;
constexpr int kRepeats = 3;

struct Run {
    double wall = 0.0;
    BakeTimes times;
    bool failed = true;
};

// One map of the bundled crate at 2048 x 2048, baked the way KelvorCmd bakes it: a job with
// the command line's defaults, a fresh manager on every hardware thread.
Run Bake(const fs::path& folder, int type, bool envelope) {
    EventReporter reporter("bench");
    CpuFeatures cpu;
    TraceGridSettings grid;
    Run run;
    if (!ChooseTraceKernel(cpu, &grid, 0, 0)) return run;
    const int threads = std::max(1, int(std::thread::hardware_concurrency()));
    BakeManager manager(&reporter, &grid);
    manager.SetThreadCount(threads);
    manager.ClearDirectMode();

    BakeJob job;
    MapSettings& map = job.AddMap();
    job.width = job.height = kSize;
    map.SetBlur(0.0f);
    map.tangentSpace = TangentFbx;
    job.outputFormat = FormatTiff16;
    map.type = type;
    map.aoDistance = 0.0f;
    map.spread = 160.0f * 3.1415927f / 180.0f;
    map.rayCount = 16;
    map.supersampling = 1;
    job.searchDistance = 0.0f;
    job.dilation = 0;
    job.normalDirection = DirectionGeometric;
    job.outputPath = (folder / "crate").string();
    job.AddHighPolyPath((folder / "crate_high.obj").c_str());
    job.hasHighPoly = true;
    if (envelope) job.SetEnvelopePath((folder / "crate_envelope.obj").c_str());
    job.lowPolyPath = (folder / "crate_low.obj").string();

    std::vector<BakeJob*> jobs{&job};
    // The importers' and the engine's status lines would bury the figures.
    std::fflush(stdout);
    const int savedOutput = ::dup(STDOUT_FILENO);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
    manager.Init(threads, 1024, 1024);
    const double start = KelvorBench::NowSeconds();
    manager.Bake(&jobs);
    run.wall = KelvorBench::NowSeconds() - start;
    std::fflush(stdout);
    if (savedOutput >= 0) ::dup2(savedOutput, STDOUT_FILENO);
    if (quiet >= 0) ::close(quiet);
    if (savedOutput >= 0) ::close(savedOutput);
    run.times = job.times;
    run.failed = manager.HasFailed();
    return run;
}

void Report(const char* name, const fs::path& folder, int type, bool envelope) {
    Run best;
    best.wall = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        const Run run = Bake(folder, type, envelope);
        if (run.failed) {
            std::printf("  %-28s failed\n", name);
            return;
        }
        if (run.wall < best.wall) best = run;
    }
    const BakeTimes& t = best.times;
    std::printf("  %-28s %7.3f s  (load %.3f, gpu %.3f, trace %.3f, processing %.3f, export %.3f)\n", name, best.wall,
                t.highPolyLoadTime + t.lowPolyLoadTime, t.gpuRenderTime + t.gpuReadbackTime, t.traceTime,
                t.resolveTime + t.processingTime, t.exportTime);
}

void BakeSection() {
    const fs::path programs = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path folder = fs::temp_directory_path() / ("kelvor_bench_bakes_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string command = (programs / "kelvor_samples").string() + " " + folder.string() + " > /dev/null";
    if (std::system(command.c_str()) != 0 || !fs::exists(folder / "crate_high.obj")) {
        std::printf("  could not write the sample meshes with %s\n", (programs / "kelvor_samples").c_str());
        fs::remove_all(folder);
        return;
    }
    std::printf("  crate sample, %d x %d, %u threads, best of %d (wall time of BakeManager::Bake)\n", kSize, kSize,
                std::max(1u, std::thread::hardware_concurrency()), kRepeats);
    Report("normal map", folder, MapNormal, false);
    Report("normal map with envelope", folder, MapNormal, true);
    Report("occlusion, 16 rays", folder, MapAmbientOcclusion, false);
    Report("thickness, 16 rays", folder, MapThickness, false);
    fs::remove_all(folder);
}

}  // namespace

KELVOR_BENCH_SECTION("bakes", "normal, occlusion and thickness bakes of the crate sample through the bake manager",
                     BakeSection);
