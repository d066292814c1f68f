#pragma once

#include <cstdint>
#include <immintrin.h>
#include <limits>

#include "core/vecmath.h"

// The one lane type of the SIMD code: Lanes<4> lives in an SSE register, Lanes<8> in an AVX
// register. The trace kernels and the image passes are written once over it where their maths
// is the same. Every operation maps to the instruction it names, so a template instantiated at
// both widths does the same arithmetic in every lane.
//
// The library is built for SSE2: functions on eight lanes carry PALLIX_AVX and may only be
// reached from PALLIX_AVX code that runs after the CPU probe found AVX. The generic helpers are
// always inlined, so that they take the instruction set of the function they are used in (the
// eight-lane operations cannot be forced inline into them, only into AVX code).
#define PALLIX_AVX __attribute__((target("avx")))
#define PALLIX_LANES_INLINE inline __attribute__((always_inline))

namespace Pallix::Simd {

template <int N>
struct Lanes;

template <>
struct Lanes<4> {
    __m128 v;

    static PALLIX_LANES_INLINE Lanes Zero() { return {_mm_setzero_ps()}; }
    static PALLIX_LANES_INLINE Lanes Broadcast(float x) { return {_mm_set1_ps(x)}; }
    // p 16-byte aligned.
    static PALLIX_LANES_INLINE Lanes Load(const float* p) { return {_mm_load_ps(p)}; }
    static PALLIX_LANES_INLINE Lanes LoadUnaligned(const float* p) { return {_mm_loadu_ps(p)}; }
    // One aligned group of four floats per quarter of the register.
    static PALLIX_LANES_INLINE Lanes LoadQuads(const float* const* quads) { return Load(quads[0]); }
    PALLIX_LANES_INLINE void Store(float* p) const { _mm_store_ps(p, v); }
    PALLIX_LANES_INLINE void StoreUnaligned(float* p) const { _mm_storeu_ps(p, v); }
};

template <>
struct Lanes<8> {
    __m256 v;

    static PALLIX_AVX inline Lanes Zero() { return {_mm256_setzero_ps()}; }
    static PALLIX_AVX inline Lanes Broadcast(float x) { return {_mm256_set1_ps(x)}; }
    static PALLIX_AVX inline Lanes Load(const float* p) { return {_mm256_load_ps(p)}; }
    static PALLIX_AVX inline Lanes LoadUnaligned(const float* p) { return {_mm256_loadu_ps(p)}; }
    static PALLIX_AVX inline Lanes LoadQuads(const float* const* quads) {
        return {_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(quads[0])), _mm_load_ps(quads[1]), 1)};
    }
    PALLIX_AVX inline void Store(float* p) const { _mm256_store_ps(p, v); }
    PALLIX_AVX inline void StoreUnaligned(float* p) const { _mm256_storeu_ps(p, v); }
};

using Lanes4 = Lanes<4>;
using Lanes8 = Lanes<8>;

// ---- four lanes -------------------------------------------------------------------------------

PALLIX_LANES_INLINE Lanes4 operator+(Lanes4 a, Lanes4 b) { return {_mm_add_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator-(Lanes4 a, Lanes4 b) { return {_mm_sub_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator*(Lanes4 a, Lanes4 b) { return {_mm_mul_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator/(Lanes4 a, Lanes4 b) { return {_mm_div_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator&(Lanes4 a, Lanes4 b) { return {_mm_and_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator|(Lanes4 a, Lanes4 b) { return {_mm_or_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator^(Lanes4 a, Lanes4 b) { return {_mm_xor_ps(a.v, b.v)}; }
// The bits of b where a is clear.
PALLIX_LANES_INLINE Lanes4 AndNot(Lanes4 a, Lanes4 b) { return {_mm_andnot_ps(a.v, b.v)}; }
// Comparisons give all-ones lanes where they hold; NaN fails all of them but !=.
PALLIX_LANES_INLINE Lanes4 operator<(Lanes4 a, Lanes4 b) { return {_mm_cmplt_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator<=(Lanes4 a, Lanes4 b) { return {_mm_cmple_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator>(Lanes4 a, Lanes4 b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator>=(Lanes4 a, Lanes4 b) { return {_mm_cmpge_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator==(Lanes4 a, Lanes4 b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 operator!=(Lanes4 a, Lanes4 b) { return {_mm_cmpneq_ps(a.v, b.v)}; }
// The instructions' own rule: the second operand unless the first is smaller (larger).
PALLIX_LANES_INLINE Lanes4 Min(Lanes4 a, Lanes4 b) { return {_mm_min_ps(a.v, b.v)}; }
PALLIX_LANES_INLINE Lanes4 Max(Lanes4 a, Lanes4 b) { return {_mm_max_ps(a.v, b.v)}; }
// One bit per lane, set where the lane's sign bit is (every lane of a comparison that held).
PALLIX_LANES_INLINE int MoveMask(Lanes4 a) { return _mm_movemask_ps(a.v); }
// a where mask is set, else b; mask from a comparison.
PALLIX_LANES_INLINE Lanes4 Select(Lanes4 mask, Lanes4 a, Lanes4 b) { return (mask & a) | AndNot(mask, b); }
// Each group of four lanes takes its fourth value: an RGBA texel's alpha in all its channels.
PALLIX_LANES_INLINE Lanes4 RepeatFourth(Lanes4 a) { return {_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(3, 3, 3, 3))}; }
// The fourth values of four texels in a row (16 floats).
PALLIX_LANES_INLINE Lanes4 FourthOfEach(const float* texels) {
    const __m128 t0 = _mm_loadu_ps(texels), t1 = _mm_loadu_ps(texels + 4);
    const __m128 t2 = _mm_loadu_ps(texels + 8), t3 = _mm_loadu_ps(texels + 12);
    return {_mm_shuffle_ps(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 3, 3, 3)), _mm_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 3, 3, 3)),
                           _MM_SHUFFLE(2, 0, 2, 0))};
}
// The smallest value in every lane.
PALLIX_LANES_INLINE Lanes4 HorizontalMin(Lanes4 a) {
    const __m128 m = _mm_min_ps(a.v, _mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(1, 0, 3, 2)));
    return {_mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)))};
}
PALLIX_LANES_INLINE float First(Lanes4 a) { return _mm_cvtss_f32(a.v); }
PALLIX_LANES_INLINE float Lane(Lanes4 a, int lane) {
    alignas(16) float values[4];
    a.Store(values);
    return values[lane];
}

// ---- eight lanes ------------------------------------------------------------------------------

PALLIX_AVX inline Lanes8 operator+(Lanes8 a, Lanes8 b) { return {_mm256_add_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator-(Lanes8 a, Lanes8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator*(Lanes8 a, Lanes8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator/(Lanes8 a, Lanes8 b) { return {_mm256_div_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator&(Lanes8 a, Lanes8 b) { return {_mm256_and_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator|(Lanes8 a, Lanes8 b) { return {_mm256_or_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator^(Lanes8 a, Lanes8 b) { return {_mm256_xor_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 AndNot(Lanes8 a, Lanes8 b) { return {_mm256_andnot_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 operator<(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
PALLIX_AVX inline Lanes8 operator<=(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)}; }
PALLIX_AVX inline Lanes8 operator>(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
PALLIX_AVX inline Lanes8 operator>=(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)}; }
PALLIX_AVX inline Lanes8 operator==(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
PALLIX_AVX inline Lanes8 operator!=(Lanes8 a, Lanes8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_NEQ_UQ)}; }
PALLIX_AVX inline Lanes8 Min(Lanes8 a, Lanes8 b) { return {_mm256_min_ps(a.v, b.v)}; }
PALLIX_AVX inline Lanes8 Max(Lanes8 a, Lanes8 b) { return {_mm256_max_ps(a.v, b.v)}; }
PALLIX_AVX inline int MoveMask(Lanes8 a) { return _mm256_movemask_ps(a.v); }
PALLIX_AVX inline Lanes8 Select(Lanes8 mask, Lanes8 a, Lanes8 b) {
    return {_mm256_blendv_ps(b.v, a.v, mask.v)};
}
PALLIX_AVX inline Lanes8 RepeatFourth(Lanes8 a) { return {_mm256_permute_ps(a.v, _MM_SHUFFLE(3, 3, 3, 3))}; }
PALLIX_AVX inline Lanes8 HorizontalMin(Lanes8 a) {
    __m256 m = _mm256_min_ps(a.v, _mm256_permute2f128_ps(a.v, a.v, 1));
    m = _mm256_min_ps(m, _mm256_permute_ps(m, _MM_SHUFFLE(1, 0, 3, 2)));
    return {_mm256_min_ps(m, _mm256_permute_ps(m, _MM_SHUFFLE(2, 3, 0, 1)))};
}
PALLIX_AVX inline float Lane(Lanes8 a, int lane) {
    alignas(32) float values[8];
    a.Store(values);
    return values[lane];
}

// ---- any width --------------------------------------------------------------------------------

template <int N>
PALLIX_LANES_INLINE Lanes<N> SignBits(const Lanes<N>& a) {
    return a & Lanes<N>::Broadcast(-0.0f);
}
template <int N>
PALLIX_LANES_INLINE Lanes<N> Abs(const Lanes<N>& a) {
    return AndNot(Lanes<N>::Broadcast(-0.0f), a);
}

// Lowest lane of mask holding the smallest value of a among the lanes of mask; maskBits is
// MoveMask(mask) and not zero.
template <int N>
PALLIX_LANES_INLINE int SmallestLane(const Lanes<N>& a, const Lanes<N>& mask, int maskBits) {
    const Lanes<N> candidates = Select(mask, a, Lanes<N>::Broadcast(std::numeric_limits<float>::infinity()));
    const int equal = MoveMask(candidates == HorizontalMin(candidates)) & maskBits;
    return __builtin_ctz(unsigned(equal));
}

// N points or vectors, one coordinate per register.
template <int N>
struct Lanes3 {
    Lanes<N> x, y, z;

    static PALLIX_LANES_INLINE Lanes3 Broadcast(Math::Vec3 p) {
        return {Lanes<N>::Broadcast(p.x), Lanes<N>::Broadcast(p.y), Lanes<N>::Broadcast(p.z)};
    }
};

template <int N>
PALLIX_LANES_INLINE Lanes3<N> operator+(const Lanes3<N>& a, const Lanes3<N>& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <int N>
PALLIX_LANES_INLINE Lanes3<N> operator-(const Lanes3<N>& a, const Lanes3<N>& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <int N>
PALLIX_LANES_INLINE Lanes<N> Dot(const Lanes3<N>& a, const Lanes3<N>& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <int N>
PALLIX_LANES_INLINE Lanes3<N> Cross(const Lanes3<N>& a, const Lanes3<N>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace Pallix::Simd
