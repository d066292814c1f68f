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

}  // namespace KelvorBench

#define KELVOR_BENCH_CONCAT2(a, b) a##b
#define KELVOR_BENCH_CONCAT(a, b) KELVOR_BENCH_CONCAT2(a, b)
#define KELVOR_BENCH_SECTION(name, description, function) \
    static const int KELVOR_BENCH_CONCAT(kelvorBenchSection, __LINE__) = \
        KelvorBench::RegisterSection(name, description, function)
