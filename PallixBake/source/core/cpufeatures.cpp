#include "core/cpufeatures.h"

#include <cpuid.h>

namespace Pallix::Bake {

namespace {

struct CpuidResult {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidResult Cpuid(unsigned leaf) {
    CpuidResult r;
    __cpuid(leaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

// The AVX registers are usable only when the operating system saves their state on a context
// switch: OSXSAVE set and XCR0 enabling both the SSE (bit 1) and AVX (bit 2) state.
bool OsSavesAvxState(const CpuidResult& leaf1) {
    if ((leaf1.ecx & (1u << 27)) == 0) return false;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0x6u) == 0x6u;
}

}  // namespace

CpuFeatures::CpuFeatures() { Detect(); }

void CpuFeatures::Detect() {
    features = 0;
    const unsigned highestBasic = Cpuid(0).eax;
    const unsigned highestExtended = Cpuid(0x80000000u).eax;
    if (highestBasic == 0) return;

    const CpuidResult leaf1 = Cpuid(1);
    if (leaf1.edx & (1u << 25)) features |= SSE;
    if (leaf1.edx & (1u << 26)) features |= SSE2;
    if (leaf1.ecx & (1u << 0)) features |= SSE3;
    if (leaf1.ecx & (1u << 9)) features |= SSSE3;
    if (leaf1.ecx & (1u << 19)) features |= SSE41;
    if (leaf1.ecx & (1u << 20)) features |= SSE42;
    if (leaf1.ecx & (1u << 23)) features |= POPCNT;
    if (leaf1.ecx & (1u << 29)) features |= F16C;
    if (leaf1.ecx & (1u << 30)) features |= RDRAND;
    if (highestExtended >= 0x80000001u) {
        if ((leaf1.ecx & (1u << 28)) && OsSavesAvxState(leaf1)) features |= AVX;
        if (Cpuid(0x80000001u).ecx & (1u << 5)) features |= LZCNT;
    }
}

}  // namespace Pallix::Bake
