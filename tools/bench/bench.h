#pragma once

#include <functional>
#include <string>
#include <vector>

// The benchmark program is one executable whose sections live in files of their own; each file
// registers its section with KELVOR_BENCH_SECTION. `kelvor_bench` runs every section,
// `kelvor_bench trace gpu` only the named ones, `kelvor_bench --list` lists them.
namespace KelvorBench {

using SectionFunction = std::function<void()>;

int RegisterSection(const char* name, const char* description, SectionFunction run);

// Seconds of the steady clock since an arbitrary origin.
double NowSeconds();

// A size field of /proc/self/status ("VmRSS", "VmHWM") in MiB; 0 when it cannot be read.
double ProcessStatusMiB(const char* field);

// Whether texel (x, y) of a UV sheet of 8 x 8 cells of the given size lies on an island:
// rectangles and discs with gutters between them, about two thirds covered, as a resolved map
// looks.
inline bool UvSheetCovered(int x, int y, int cell) {
    const int cx = x / cell, cy = y / cell;
    const float u = float(x % cell) / float(cell), v = float(y % cell) / float(cell);
    if ((cx + cy) % 3 == 0) {
        const float du = u - 0.5f, dv = v - 0.5f;
        return du * du + dv * dv < 0.2f;
    }
    return u > 0.04f && u < 0.93f && v > 0.06f && v < 0.95f - 0.1f * float(cx % 2);
}

}  // namespace KelvorBench

#define KELVOR_BENCH_CONCAT2(a, b) a##b
#define KELVOR_BENCH_CONCAT(a, b) KELVOR_BENCH_CONCAT2(a, b)
#define KELVOR_BENCH_SECTION(name, description, function) \
    static const int KELVOR_BENCH_CONCAT(kelvorBenchSection, __LINE__) = \
        KelvorBench::RegisterSection(name, description, function)
