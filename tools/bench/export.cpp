// Image export: one 4096 x 4096 map written in every output format, through the writer the
// bake calls, with its seconds, the rate of the samples it stores and the size of the file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bake/mapbaker.h"
#include "bench.h"
#include "core/bakejob.h"
#include "core/image.h"
#include "core/threadpool.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

namespace {

constexpr int kSize = 4096;
constexpr int kRepeats = 3;

// A tangent-space normal map like a baked one: islands with gutters, a smooth surface with
// ridges and fine grain inside, and float noise in the low bits as a bake leaves it.
Image MakeNormalMap(int size) {
    Image image(size, size);
    const int cells = 6;
    const int cell = size / cells;
    uint32_t seed = 12345u;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const float u = float(x % cell) / float(cell), v = float(y % cell) / float(cell);
            if (u < 0.03f || u > 0.96f || v < 0.04f || v > 0.95f) continue;
            const float fx = float(x), fy = float(y);
            const float dx = 0.35f * std::sin(fx * 0.011f) * std::cos(fy * 0.017f) + 0.1f * std::sin(fx * 0.21f + fy * 0.05f);
            const float dy = 0.3f * std::cos(fx * 0.013f + fy * 0.002f) + 0.08f * std::sin(fy * 0.19f);
            const float grain = float(seed >> 8) * (1.0f / 16777216.0f) - 0.5f;
            const float nx = dx + 0.0005f * grain, ny = dy - 0.0005f * grain;
            const float nz = std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny));
            float* p = image.Pixel(x, y);
            p[0] = 0.5f * nx + 0.5f;
            p[1] = 0.5f * ny + 0.5f;
            p[2] = 0.5f * nz + 0.5f;
            p[3] = 1.0f;
        }
    }
    return image;
}

struct Format {
    const char* name;
    int code;
    const char* extension;
    int sampleBytes;
};

void RunExport() {
    const Image map = MakeNormalMap(kSize);
    const fs::path folder = fs::temp_directory_path() / ("kelvor_bench_export_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::printf("  %d x %d normal map, median of %d; MB/s counts the samples each file stores\n", kSize, kSize,
                kRepeats);
    const Format formats[] = {{"tiff16", FormatTiff16, ".tif", 2},
                              {"tiff8", FormatTiff8, ".tif", 1},
                              {"png16", FormatPng16, ".png", 2},
                              {"png8", FormatPng8, ".png", 1},
                              {"exr", FormatExr, ".exr", 2}};
    // The bake's pool, as the map bakers hand it to the writers.
    ThreadPool pool(std::max(1u, std::thread::hardware_concurrency()));
    const Image second = MakeNormalMap(kSize);
    auto median = [](auto write) {
        std::vector<double> seconds;
        for (int i = 0; i < kRepeats; ++i) {
            const double start = KelvorBench::NowSeconds();
            write();
            seconds.push_back(KelvorBench::NowSeconds() - start);
        }
        std::sort(seconds.begin(), seconds.end());
        return seconds[seconds.size() / 2];
    };
    for (const Format& format : formats) {
        const std::string name = (folder / format.name).string();
        const double one = median([&] { WriteImageFile(map, name, format.code, &pool); });
        const double samples = double(map.PixelCount()) * 4.0 * format.sampleBytes / 1e6;
        const double file = double(fs::file_size(name + format.extension)) / 1e6;
        // A normal map's object- and tangent-space files, written together as its baker writes them.
        const std::vector<std::pair<const Image*, std::string>> pair{{&map, name + "_a"}, {&second, name + "_b"}};
        const double two = median([&] { WriteImageFiles(pair, format.code, &pool); });
        std::printf("  %-7s %7.3f s  %8.1f MB/s  file %7.1f MB   two files %7.3f s\n", format.name, one,
                    samples / one, file, two);
    }
    fs::remove_all(folder);
}

}  // namespace

KELVOR_BENCH_SECTION("export", "a 4096 x 4096 normal map written in every output format", RunExport);
