#include <gtest/gtest.h>

#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;

namespace {

struct Choice {
    bool ok;
    int kernel;
    std::string printed;
};

Choice Choose(uint32_t features, int simd, int precision) {
    TraceGridSettings settings;
    settings.kernel = -1;
    testing::internal::CaptureStdout();
    const bool ok = ChooseTraceKernel(CpuFeatures(features), &settings, simd, precision);
    return {ok, settings.kernel, testing::internal::GetCapturedStdout()};
}

constexpr uint32_t kSse2 = CpuFeatures::SSE | CpuFeatures::SSE2;
constexpr uint32_t kAvx = kSse2 | CpuFeatures::AVX;

}  // namespace

TEST(KernelChoice, AutoPicksTheWidestSinglePrecisionKernel) {
    EXPECT_EQ(Choose(kAvx, SimdAuto, PrecisionDefault).kernel, KernelPlueckerAvx);
    EXPECT_EQ(Choose(kSse2, SimdAuto, PrecisionSingle).kernel, KernelPlueckerSse);
    EXPECT_EQ(Choose(0, SimdAuto, PrecisionDefault).kernel, KernelPlueckerFloat);
    const Choice dbl = Choose(kAvx, SimdAuto, PrecisionDouble);
    EXPECT_TRUE(dbl.ok);
    EXPECT_EQ(dbl.kernel, KernelPlueckerDouble);
    EXPECT_EQ(dbl.printed, "");
}

TEST(KernelChoice, ExplicitRequestsAndTheirFailures) {
    EXPECT_EQ(Choose(kAvx, SimdScalar, PrecisionDefault).kernel, KernelPlueckerFloat);
    EXPECT_EQ(Choose(kAvx, SimdScalar, PrecisionDouble).kernel, KernelPlueckerDouble);
    EXPECT_EQ(Choose(kAvx, 9, PrecisionSingle).kernel, KernelPlueckerDoubleDefault);

    Choice c = Choose(kAvx, SimdSse, PrecisionDouble);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.kernel, -1);  // untouched
    EXPECT_EQ(c.printed, "SSE not supported for double precision\n");

    c = Choose(0, SimdSse, PrecisionSingle);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.printed, "CPU does not support SSE\n");

    // The feature test comes before the precision test.
    c = Choose(kSse2, SimdAvx, PrecisionDouble);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.printed, "CPU does not support AVX\n");

    c = Choose(kAvx, SimdAvx2, PrecisionDouble);
    EXPECT_EQ(c.printed, "AVX not supported for double precision\n");
    EXPECT_EQ(Choose(kAvx, SimdAvx, PrecisionSingle).kernel, KernelPlueckerAvx);
}

TEST(KernelChoice, ProbeReportsSseOnThisMachine) {
    // Every x86-64 processor has SSE2; AVX implies the OS saves its state.
    CpuFeatures cpu;
    EXPECT_TRUE(cpu.Has(CpuFeatures::SSE2));
}
