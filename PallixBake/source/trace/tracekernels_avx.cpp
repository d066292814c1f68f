#include <immintrin.h>
#include <limits>

#include "trace/tracekernels.h"

// The Pluecker kernel eight lanes wide. Only these functions are compiled for AVX, so the rest
// of the program still runs on a CPU without it; IntersectPackets checks the CPU first.
#define KELVOR_AVX __attribute__((target("avx")))

namespace Pallix::Bake {

namespace {

struct Lanes3x8 {
    __m256 x, y, z;
};

KELVOR_AVX inline Lanes3x8 Add(const Lanes3x8& a, const Lanes3x8& b) {
    return {_mm256_add_ps(a.x, b.x), _mm256_add_ps(a.y, b.y), _mm256_add_ps(a.z, b.z)};
}
KELVOR_AVX inline Lanes3x8 Sub(const Lanes3x8& a, const Lanes3x8& b) {
    return {_mm256_sub_ps(a.x, b.x), _mm256_sub_ps(a.y, b.y), _mm256_sub_ps(a.z, b.z)};
}
KELVOR_AVX inline __m256 Dot(const Lanes3x8& a, const Lanes3x8& b) {
    return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(a.x, b.x), _mm256_mul_ps(a.y, b.y)), _mm256_mul_ps(a.z, b.z));
}
KELVOR_AVX inline Lanes3x8 Cross(const Lanes3x8& a, const Lanes3x8& b) {
    return {_mm256_sub_ps(_mm256_mul_ps(a.y, b.z), _mm256_mul_ps(a.z, b.y)),
            _mm256_sub_ps(_mm256_mul_ps(a.z, b.x), _mm256_mul_ps(a.x, b.z)),
            _mm256_sub_ps(_mm256_mul_ps(a.x, b.y), _mm256_mul_ps(a.y, b.x))};
}

// One row of packet a in lanes 0-3 and of packet b in lanes 4-7.
KELVOR_AVX inline __m256 LoadRow(const TrianglePacket& a, const TrianglePacket& b, int row) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(a.rows[row])), _mm_load_ps(b.rows[row]), 1);
}
KELVOR_AVX inline Lanes3x8 LoadRows(const TrianglePacket& a, const TrianglePacket& b, int row) {
    return {LoadRow(a, b, row), LoadRow(a, b, row + 1), LoadRow(a, b, row + 2)};
}

KELVOR_AVX inline float Lane(__m256 v, int lane) {
    alignas(32) float values[8];
    _mm256_store_ps(values, v);
    return values[lane];
}

}  // namespace

KELVOR_AVX int32_t IntersectPlueckerAvx(const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                                        double* distance, float* outU, float* outV) {
    const Lanes3x8 o = {_mm256_set1_ps(ray.origin.x), _mm256_set1_ps(ray.origin.y), _mm256_set1_ps(ray.origin.z)};
    const Lanes3x8 d = {_mm256_set1_ps(ray.direction.x), _mm256_set1_ps(ray.direction.y),
                        _mm256_set1_ps(ray.direction.z)};
    const __m256 zero = _mm256_setzero_ps();
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    float best = float(*distance), bestU = 0.0f, bestV = 0.0f;
    __m256 bestLanes = _mm256_set1_ps(best);
    int32_t id = -1;
    for (int i = 0; i < packetCount; i += 2) {
        const TrianglePacket& pa = packets[i];
        const TrianglePacket& pb = i + 1 < packetCount ? packets[i + 1] : pa;
        const Lanes3x8 r0 = Sub(LoadRows(pa, pb, TrianglePacket::Ax), o);
        const Lanes3x8 r1 = Add(r0, LoadRows(pa, pb, TrianglePacket::E1x));
        const Lanes3x8 r2 = Add(r0, LoadRows(pa, pb, TrianglePacket::E2x));
        const Lanes3x8 edge0 = Sub(r2, r0), edge1 = Sub(r0, r1), edge2 = Sub(r1, r2);
        const Lanes3x8 n = Cross(edge1, edge0);
        const Lanes3x8 n2 = Add(n, n);
        const __m256 den = Dot(n2, d);
        const __m256 sign = _mm256_and_ps(den, signBit);
        const __m256 u = _mm256_xor_ps(Dot(Cross(Add(r2, r0), edge0), d), sign);
        const __m256 v = _mm256_xor_ps(Dot(Cross(Add(r0, r1), edge1), d), sign);
        __m256 mask = _mm256_and_ps(_mm256_cmp_ps(u, zero, _CMP_GE_OQ), _mm256_cmp_ps(v, zero, _CMP_GE_OQ));
        // Most rays pass beside most triangles: skip the rest when no lane is left.
        if (_mm256_movemask_ps(mask) == 0) continue;
        const __m256 w = _mm256_xor_ps(Dot(Cross(Add(r1, r2), edge2), d), sign);
        const __m256 t = _mm256_xor_ps(Dot(r0, n2), sign);
        const __m256 absDen = _mm256_andnot_ps(signBit, den);
        mask = _mm256_and_ps(mask, _mm256_cmp_ps(w, zero, _CMP_GE_OQ));
        mask = _mm256_and_ps(mask, _mm256_cmp_ps(t, zero, _CMP_GE_OQ));
        mask = _mm256_and_ps(mask, _mm256_cmp_ps(t, _mm256_mul_ps(bestLanes, absDen), _CMP_LE_OQ));
        mask = _mm256_and_ps(mask, _mm256_cmp_ps(den, zero, _CMP_NEQ_OQ));
        const int bits = _mm256_movemask_ps(mask);
        if (bits == 0) continue;

        const __m256 distances = _mm256_div_ps(t, absDen);
        const __m256 candidates = _mm256_blendv_ps(infinity, distances, mask);
        __m256 m = _mm256_min_ps(candidates, _mm256_permute2f128_ps(candidates, candidates, 1));
        m = _mm256_min_ps(m, _mm256_permute_ps(m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm256_min_ps(m, _mm256_permute_ps(m, _MM_SHUFFLE(2, 3, 0, 1)));
        const int equal = _mm256_movemask_ps(_mm256_cmp_ps(candidates, m, _CMP_EQ_OQ)) & bits;
        const int lane = __builtin_ctz(unsigned(equal));

        best = Lane(distances, lane);
        const float scale = Lane(absDen, lane);
        bestU = Lane(u, lane) / scale;
        bestV = Lane(v, lane) / scale;
        bestLanes = _mm256_set1_ps(best);
        id = lane < 4 ? pa.GetId(lane) : pb.GetId(lane - 4);
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = bestU;
        *outV = bestV;
    }
    return id;
}

}  // namespace Pallix::Bake
