#pragma once

#include <cstdint>

#include "core/cpufeatures.h"

namespace Pallix::Bake {

// Closest-hit intersection kernel ids.
enum TraceKernel : int32_t {
    KernelPlueckerDoubleDefault = 0,  // same kernel as 5
    KernelMoellerFloat = 1,
    KernelMoellerDouble = 2,
    KernelMoellerSse = 3,
    KernelPlueckerFloat = 4,
    KernelPlueckerDouble = 5,
    KernelPlueckerSse = 6,
    KernelPlueckerAvx = 7,
};

// Kernel choice and the tuning values of the two-level ("hbv") trace grid.
struct TraceGridSettings {
    TraceGridSettings() = default;

    int32_t kernel = KernelPlueckerDouble;
    int32_t reserved0 = 0;  // written 1 by ChooseTraceKernel, read by nothing
    int32_t reserved1 = 0;  // written 0 by ChooseTraceKernel, read by nothing
    int32_t threshold = 20;
    float density = 0.75f;
    float densityPower = 0.33333334f;
    int32_t maxRootCells = 131072;
    float targetMin = 64.0f;
    float targetMax = 512.0f;
};

enum SimdMode : int { SimdAuto = 0, SimdScalar = 1, SimdSse = 2, SimdAvx = 3, SimdAvx2 = 4 };
enum TracePrecision : int { PrecisionDefault = 0, PrecisionSingle = 1, PrecisionDouble = 2 };

// Chooses the closest-hit kernel from the wishes and the CPU. On failure prints one line to
// standard output, leaves out untouched and returns false.
bool ChooseTraceKernel(const CpuFeatures& cpu, TraceGridSettings* out, int simd, int precision);

}  // namespace Pallix::Bake
