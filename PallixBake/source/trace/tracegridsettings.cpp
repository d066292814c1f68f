#include "trace/tracegridsettings.h"

#include <cstdio>

namespace Pallix::Bake {

bool ChooseTraceKernel(const CpuFeatures& cpu, TraceGridSettings* out, int simd, int precision) {
    if (precision == PrecisionDefault) precision = PrecisionSingle;

    enum Rule { Scalar, Sse, Avx, Other } rule = Other;
    switch (simd) {
    case SimdAuto:
        if (precision == PrecisionDouble) {
            rule = Scalar;  // double precision is only offered by the scalar Pluecker kernel (5)
            break;
        }
        rule = cpu.Has(CpuFeatures::AVX) ? Avx : (cpu.Has(CpuFeatures::SSE2) ? Sse : Scalar);
        break;
    case SimdScalar: rule = Scalar; break;
    case SimdSse: rule = Sse; break;
    case SimdAvx:
    case SimdAvx2: rule = Avx; break;
    default: rule = Other; break;
    }

    int kernel = KernelPlueckerDoubleDefault;
    switch (rule) {
    case Scalar: kernel = precision == PrecisionSingle ? KernelPlueckerFloat : KernelPlueckerDouble; break;
    case Sse:
        if (!cpu.Has(CpuFeatures::SSE2)) {
            std::printf("CPU does not support SSE\n");
            return false;
        }
        if (precision != PrecisionSingle) {
            std::printf("SSE not supported for double precision\n");
            return false;
        }
        kernel = KernelPlueckerSse;
        break;
    case Avx:
        if (!cpu.Has(CpuFeatures::AVX)) {
            std::printf("CPU does not support AVX\n");
            return false;
        }
        if (precision != PrecisionSingle) {
            std::printf("AVX not supported for double precision\n");
            return false;
        }
        kernel = KernelPlueckerAvx;
        break;
    case Other: kernel = KernelPlueckerDoubleDefault; break;
    }
    out->kernel = kernel;
    out->reserved0 = 1;
    out->reserved1 = 0;
    return true;
}

}  // namespace Pallix::Bake
