#pragma once

#include <cstdint>

namespace Pallix::Bake {

// CPU feature bits read through CPUID.
class CpuFeatures {
public:
    enum Bits : uint32_t {
        SSE = 0x1,
        SSE2 = 0x2,
        SSE3 = 0x4,
        SSSE3 = 0x8,
        SSE41 = 0x10,
        SSE42 = 0x20,
        POPCNT = 0x40,
        AVX = 0x80,
        F16C = 0x100,
        RDRAND = 0x200,
        LZCNT = 0x1000,
    };

    CpuFeatures();
    explicit CpuFeatures(uint32_t bits) : features(bits) {}
    void Detect();
    bool Has(uint32_t bit) const { return (features & bit) != 0; }

    uint32_t features = 0;
};

}  // namespace Pallix::Bake
