#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bake/normalmapbaker.h"
#include "bake/softwarebaker.h"
#include "bench.h"

// The normal map's whole-image phase at large sizes: making and clearing its two images, and
// its post-processing at KelvorCmd's defaults (no blur, no dilation) and with blur and dilation.
namespace {

using namespace Pallix::Bake;

// The resident-set peak (VmHWM) counts again from now.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Islands of encoded normals with gutters between them, as a resolved normal map looks:
// rectangles and discs in an 8 x 8 layout, about two thirds covered.
void FillUvSheet(Image& image, float tilt) {
    const int size = image.width, cell = std::max(1, size / 8);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < size; ++x) {
            float* p = image.Pixel(x, y);
            if (!KelvorBench::UvSheetCovered(x, y, cell)) {
                p[0] = p[1] = p[2] = p[3] = 0.0f;
                continue;
            }
            const float nx = tilt * std::sin(float(x) * 0.01f), ny = tilt * std::cos(float(y) * 0.013f);
            const float nz = std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny));
            p[0] = (nx + 1.0f) * 0.5f;
            p[1] = (ny + 1.0f) * 0.5f;
            p[2] = (nz + 1.0f) * 0.5f;
            p[3] = 1.0f;
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Rig {
    BakeJob job;
    MapSettings* map = nullptr;
    RenderState state;
    SoftwareBaker software;

    explicit Rig(int size) {
        job.width = job.height = size;
        job.hasHighPoly = true;
        map = &job.AddMap();
        map->type = MapNormal;
        map->tangentSpace = TangentFbx;
        state.outputWidth = state.outputHeight = size;
        state.tileWidth = state.tileHeight = std::min(size / 8, 1024);
        state.tilesX = state.tilesY = size / state.tileWidth;
        state.threadCount = int(std::max(1u, std::thread::hardware_concurrency()));
        software.SetThreadCount(state.threadCount);
    }

    std::unique_ptr<NormalMapBaker> MakeBaker() {
        auto baker = std::make_unique<NormalMapBaker>(&job.times, &job, map);
        baker->state = &state;
        baker->software = &software;
        return baker;
    }
};

void RunSize(int size) {
    Rig rig(size);
    std::vector<double> create;
    for (int i = 0; i < 3; ++i) {
        const double start = KelvorBench::NowSeconds();
        auto baker = rig.MakeBaker();
        baker->Init();
        baker->BeginTiles();
        create.push_back(KelvorBench::NowSeconds() - start);
    }
    std::printf("  %5d x %-5d images made and cleared for the tiles %8.1f ms\n", size, size, Median(create) * 1e3);

    auto baker = rig.MakeBaker();
    baker->Init();
    baker->BeginTiles();
    struct Setting {
        const char* name;
        float blur;
        int dilation;
    };
    for (const Setting& setting : {Setting{"defaults (no blur, no dilation)", 0.0f, 0}, Setting{"blur 1, dilation 8", 1.0f, 8}}) {
        rig.map->SetBlur(setting.blur);
        rig.job.dilation = setting.dilation;
        std::vector<double> times;
        double extra = 0.0;
        for (int i = 0; i < 3; ++i) {
            FillUvSheet(baker->ObjectOutput(), 0.3f);
            FillUvSheet(baker->TangentOutput(), 0.2f);
            const double before = KelvorBench::ProcessStatusMiB("VmRSS");
            ResetPeak();
            const double start = KelvorBench::NowSeconds();
            baker->PostProcess();
            times.push_back(KelvorBench::NowSeconds() - start);
            extra = std::max(extra, KelvorBench::ProcessStatusMiB("VmHWM") - before);
        }
        std::printf("  %5d x %-5d post-process, %-32s %8.1f ms, %6.0f MiB above the two images\n", size, size,
                    setting.name, Median(times) * 1e3, extra);
    }
}

void Run() {
    std::printf("  median of 3, %u threads\n", std::max(1u, std::thread::hardware_concurrency()));
    for (int size : {2048, 4096, 8192}) RunSize(size);
    // One 16384 image alone (4 GiB), cleared as the map bakers clear theirs: two more and the
    // post-processing would not fit every machine.
    Rig rig(16384);
    std::vector<double> create;
    for (int i = 0; i < 3; ++i) {
        const double start = KelvorBench::NowSeconds();
        Image image(16384, 16384);
        image.Fill(0, 0, 0, 0, rig.software.GetPool());
        create.push_back(KelvorBench::NowSeconds() - start);
    }
    std::printf("  16384 x 16384 one image made and cleared on the pool %8.1f ms\n", Median(create) * 1e3);
}

}  // namespace

KELVOR_BENCH_SECTION("normalpost", "normal map images: making and clearing them, post-processing at 2048 to 8192",
                     Run);
