#include "trace/tracekernels.h"

#include <cmath>
#include <emmintrin.h>
#include <limits>

namespace Pallix::Bake {

namespace {

template <class T>
struct V3 {
    T x, y, z;
};
template <class T>
inline V3<T> operator+(V3<T> a, V3<T> b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
template <class T>
inline V3<T> operator-(V3<T> a, V3<T> b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
template <class T>
inline T Dot(V3<T> a, V3<T> b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
template <class T>
inline V3<T> Cross(V3<T> a, V3<T> b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

template <class T>
inline V3<T> Row3(const TrianglePacket& p, int row, int lane) {
    return {T(p.rows[row][lane]), T(p.rows[row + 1][lane]), T(p.rows[row + 2][lane])};
}
template <class T>
inline V3<T> Vec(Math::Vec3 v) { return {T(v.x), T(v.y), T(v.z)}; }

// Scalar Moeller-Trumbore (kernels 1 and 2).
template <class T>
int32_t MoellerScalar(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                      float* outU, float* outV) {
    const V3<T> o = Vec<T>(ray.origin), d = Vec<T>(ray.direction);
    T best = T(*distance), bestU = 0, bestV = 0;
    int32_t id = -1;
    for (int i = 0; i < packetCount; ++i) {
        const TrianglePacket& p = packets[i];
        for (int lane = 0; lane < 4; ++lane) {
            const V3<T> a = Row3<T>(p, TrianglePacket::Ax, lane);
            const V3<T> e1 = Row3<T>(p, TrianglePacket::E1x, lane);
            const V3<T> e2 = Row3<T>(p, TrianglePacket::E2x, lane);
            const V3<T> pv = Cross(d, e2);
            const T det = Dot(e1, pv);
            if (det == T(0)) continue;
            const V3<T> s = o - a;
            const T u = Dot(s, pv) / det;
            if (!(u >= T(0) && u <= T(1))) continue;
            const V3<T> q = Cross(s, e1);
            const T v = Dot(d, q) / det;
            if (!(v >= T(0) && u + v <= T(1))) continue;
            const T t = Dot(e2, q) / det;
            if (best > t && t > T(0)) {
                best = t;
                bestU = u;
                bestV = v;
                id = p.GetId(lane);
            }
        }
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = float(bestU);
        *outV = float(bestV);
    }
    return id;
}

// 1 / x from the hardware estimate refined by one Newton-Raphson step: r' = 2r - r^2 x.
inline float ReciprocalNewton(float x) {
    const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(x)));
    return 2.0f * r - r * r * x;
}

// Scalar Pluecker (kernel 4 in float with the refined estimate, kernels 0 and 5 in double).
template <class T, bool kEstimate>
int32_t PlueckerScalar(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                       float* outU, float* outV) {
    const V3<T> o = Vec<T>(ray.origin), d = Vec<T>(ray.direction);
    T best = T(*distance), bestU = 0, bestV = 0;
    int32_t id = -1;
    for (int i = 0; i < packetCount; ++i) {
        const TrianglePacket& p = packets[i];
        for (int lane = 0; lane < 4; ++lane) {
            const V3<T> r0 = Row3<T>(p, TrianglePacket::Ax, lane) - o;
            const V3<T> r1 = r0 + Row3<T>(p, TrianglePacket::E1x, lane);
            const V3<T> r2 = r0 + Row3<T>(p, TrianglePacket::E2x, lane);
            const V3<T> edge0 = r2 - r0, edge1 = r0 - r1, edge2 = r1 - r2;
            const V3<T> n = Cross(edge1, edge0);
            const V3<T> n2 = n + n;
            const T den = Dot(n2, d);
            // The sign of den is folded into every value; each test leaves as soon as it fails.
            const T sign = std::signbit(den) ? T(-1) : T(1);
            const T u = sign * Dot(Cross(r2 + r0, edge0), d);
            if (!(u >= T(0))) continue;
            const T v = sign * Dot(Cross(r0 + r1, edge1), d);
            if (!(v >= T(0))) continue;
            const T w = sign * Dot(Cross(r1 + r2, edge2), d);
            if (!(w >= T(0))) continue;
            const T t = sign * Dot(r0, n2);
            const T absDen = std::fabs(den);
            if (!(t <= best * absDen && t >= T(0))) continue;
            if (den == T(0)) continue;
            if constexpr (kEstimate) {
                const T inv = ReciprocalNewton(absDen);
                best = t * inv;
                bestU = u * inv;
                bestV = v * inv;
            } else {
                best = t / absDen;
                bestU = u / absDen;
                bestV = v / absDen;
            }
            id = p.GetId(lane);
        }
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = float(bestU);
        *outV = float(bestV);
    }
    return id;
}

// Four lanes of three coordinates.
struct Lanes3 {
    __m128 x, y, z;
};
inline Lanes3 operator+(const Lanes3& a, const Lanes3& b) {
    return {_mm_add_ps(a.x, b.x), _mm_add_ps(a.y, b.y), _mm_add_ps(a.z, b.z)};
}
inline Lanes3 operator-(const Lanes3& a, const Lanes3& b) {
    return {_mm_sub_ps(a.x, b.x), _mm_sub_ps(a.y, b.y), _mm_sub_ps(a.z, b.z)};
}
inline __m128 Dot(const Lanes3& a, const Lanes3& b) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a.x, b.x), _mm_mul_ps(a.y, b.y)), _mm_mul_ps(a.z, b.z));
}
inline Lanes3 Cross(const Lanes3& a, const Lanes3& b) {
    return {_mm_sub_ps(_mm_mul_ps(a.y, b.z), _mm_mul_ps(a.z, b.y)),
            _mm_sub_ps(_mm_mul_ps(a.z, b.x), _mm_mul_ps(a.x, b.z)),
            _mm_sub_ps(_mm_mul_ps(a.x, b.y), _mm_mul_ps(a.y, b.x))};
}
inline Lanes3 LoadRows(const TrianglePacket& p, int row) {
    return {_mm_load_ps(p.rows[row]), _mm_load_ps(p.rows[row + 1]), _mm_load_ps(p.rows[row + 2])};
}
inline Lanes3 Broadcast(Math::Vec3 v) { return {_mm_set1_ps(v.x), _mm_set1_ps(v.y), _mm_set1_ps(v.z)}; }

inline __m128 Select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }

// Lowest lane of mask holding the smallest value of t among the lanes of mask (mask != 0).
inline int SmallestLane(__m128 t, __m128 mask, int maskBits) {
    const __m128 candidates = Select(mask, t, _mm_set1_ps(std::numeric_limits<float>::infinity()));
    __m128 m = _mm_min_ps(candidates, _mm_shuffle_ps(candidates, candidates, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    const int equal = _mm_movemask_ps(_mm_cmpeq_ps(candidates, m)) & maskBits;
    return __builtin_ctz(unsigned(equal));
}

inline float Lane(__m128 v, int lane) {
    alignas(16) float values[4];
    _mm_store_ps(values, v);
    return values[lane];
}

// Moeller-Trumbore on the four lanes of a packet: the lanes with det != 0, low <= u <= high,
// v >= low, u + v <= high and 0 <= t <= limit, with their t, u and v.
struct MoellerLanes {
    __m128 mask, t, u, v;
};

inline MoellerLanes TestMoellerLanes(const TrianglePacket& p, const Lanes3& o, const Lanes3& d, __m128 low,
                                     __m128 high, __m128 limit) {
    const __m128 zero = _mm_setzero_ps();
    const Lanes3 e1 = LoadRows(p, TrianglePacket::E1x), e2 = LoadRows(p, TrianglePacket::E2x);
    const Lanes3 pv = Cross(d, e2);
    const __m128 det = Dot(e1, pv);
    const Lanes3 s = o - LoadRows(p, TrianglePacket::Ax);
    const __m128 u = _mm_div_ps(Dot(s, pv), det);
    const Lanes3 q = Cross(s, e1);
    const __m128 v = _mm_div_ps(Dot(d, q), det);
    const __m128 t = _mm_div_ps(Dot(e2, q), det);
    __m128 mask = _mm_and_ps(_mm_cmpneq_ps(det, zero), _mm_cmpge_ps(u, low));
    mask = _mm_and_ps(mask, _mm_cmple_ps(u, high));
    mask = _mm_and_ps(mask, _mm_cmpge_ps(v, low));
    mask = _mm_and_ps(mask, _mm_cmple_ps(_mm_add_ps(u, v), high));
    mask = _mm_and_ps(mask, _mm_cmpge_ps(t, zero));
    mask = _mm_and_ps(mask, _mm_cmple_ps(t, limit));
    return {mask, t, u, v};
}

}  // namespace

int32_t IntersectMoellerFloat(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                              float* u, float* v) {
    return MoellerScalar<float>(packets, packetCount, ray, distance, u, v);
}

int32_t IntersectMoellerDouble(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                               float* u, float* v) {
    return MoellerScalar<double>(packets, packetCount, ray, distance, u, v);
}

int32_t IntersectPlueckerFloat(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                               float* u, float* v) {
    return PlueckerScalar<float, true>(packets, packetCount, ray, distance, u, v);
}

int32_t IntersectPlueckerDouble(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                                float* u, float* v) {
    return PlueckerScalar<double, false>(packets, packetCount, ray, distance, u, v);
}

int32_t IntersectMoellerSse(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                            float* outU, float* outV) {
    const Lanes3 o = Broadcast(ray.origin), d = Broadcast(ray.direction);
    const __m128 low = _mm_set1_ps(-0.0025f), high = _mm_set1_ps(1.0025f);
    float best = float(*distance), bestU = 0.0f, bestV = 0.0f;
    __m128 bestLanes = _mm_set1_ps(best);
    int32_t id = -1;
    for (int i = 0; i < packetCount; ++i) {
        const TrianglePacket& p = packets[i];
        const MoellerLanes hit = TestMoellerLanes(p, o, d, low, high, bestLanes);
        const int bits = _mm_movemask_ps(hit.mask);
        if (bits == 0) continue;
        const int lane = SmallestLane(hit.t, hit.mask, bits);
        best = Lane(hit.t, lane);
        bestU = Lane(hit.u, lane);
        bestV = Lane(hit.v, lane);
        bestLanes = _mm_set1_ps(best);
        id = p.GetId(lane);
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = bestU;
        *outV = bestV;
    }
    return id;
}

int32_t IntersectPlueckerSse(const TrianglePacket* packets, int packetCount, const TraceRay& ray, double* distance,
                             float* outU, float* outV) {
    const Lanes3 o = Broadcast(ray.origin), d = Broadcast(ray.direction);
    const __m128 zero = _mm_setzero_ps();
    const __m128 signBit = _mm_set1_ps(-0.0f);
    float best = float(*distance), bestU = 0.0f, bestV = 0.0f;
    __m128 bestLanes = _mm_set1_ps(best);
    int32_t id = -1;
    for (int i = 0; i < packetCount; ++i) {
        const TrianglePacket& p = packets[i];
        const Lanes3 r0 = LoadRows(p, TrianglePacket::Ax) - o;
        const Lanes3 r1 = r0 + LoadRows(p, TrianglePacket::E1x);
        const Lanes3 r2 = r0 + LoadRows(p, TrianglePacket::E2x);
        const Lanes3 edge0 = r2 - r0, edge1 = r0 - r1, edge2 = r1 - r2;
        const Lanes3 n = Cross(edge1, edge0);
        const Lanes3 n2 = n + n;
        const __m128 den = Dot(n2, d);
        const __m128 sign = _mm_and_ps(den, signBit);
        const __m128 u = _mm_xor_ps(Dot(Cross(r2 + r0, edge0), d), sign);
        const __m128 v = _mm_xor_ps(Dot(Cross(r0 + r1, edge1), d), sign);
        __m128 mask = _mm_and_ps(_mm_cmpge_ps(u, zero), _mm_cmpge_ps(v, zero));
        // Most rays pass beside most triangles: skip the rest when no lane is left.
        if (_mm_movemask_ps(mask) == 0) continue;
        const __m128 w = _mm_xor_ps(Dot(Cross(r1 + r2, edge2), d), sign);
        const __m128 t = _mm_xor_ps(Dot(r0, n2), sign);
        const __m128 absDen = _mm_andnot_ps(signBit, den);
        mask = _mm_and_ps(mask, _mm_cmpge_ps(w, zero));
        mask = _mm_and_ps(mask, _mm_cmpge_ps(t, zero));
        mask = _mm_and_ps(mask, _mm_cmple_ps(t, _mm_mul_ps(bestLanes, absDen)));
        mask = _mm_and_ps(mask, _mm_cmpneq_ps(den, zero));
        const int bits = _mm_movemask_ps(mask);
        if (bits == 0) continue;
        const __m128 distances = _mm_div_ps(t, absDen);
        const int lane = SmallestLane(distances, mask, bits);
        best = Lane(distances, lane);
        const float scale = Lane(absDen, lane);
        bestU = Lane(u, lane) / scale;
        bestV = Lane(v, lane) / scale;
        bestLanes = _mm_set1_ps(best);
        id = p.GetId(lane);
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = bestU;
        *outV = bestV;
    }
    return id;
}

bool OccludedMoellerSse(const TrianglePacket* packets, int packetCount, const TraceRay& ray) {
    const Lanes3 o = Broadcast(ray.origin), d = Broadcast(ray.direction);
    const __m128 low = _mm_set1_ps(-1e-5f), high = _mm_set1_ps(1.000001f);
    const __m128 limit = _mm_set1_ps(ray.maxDistance);
    for (int i = 0; i < packetCount; ++i)
        if (_mm_movemask_ps(TestMoellerLanes(packets[i], o, d, low, high, limit).mask) != 0) return true;
    return false;
}

bool KernelAvxAvailable() {
    static const bool available = CpuFeatures().Has(CpuFeatures::AVX);
    return available;
}

int32_t IntersectPackets(int32_t kernel, const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                         double* distance, float* u, float* v) {
    switch (kernel) {
    case KernelMoellerFloat: return IntersectMoellerFloat(packets, packetCount, ray, distance, u, v);
    case KernelMoellerDouble: return IntersectMoellerDouble(packets, packetCount, ray, distance, u, v);
    case KernelMoellerSse: return IntersectMoellerSse(packets, packetCount, ray, distance, u, v);
    case KernelPlueckerFloat: return IntersectPlueckerFloat(packets, packetCount, ray, distance, u, v);
    case KernelPlueckerSse: return IntersectPlueckerSse(packets, packetCount, ray, distance, u, v);
    case KernelPlueckerAvx:
        if (KernelAvxAvailable()) return IntersectPlueckerAvx(packets, packetCount, ray, distance, u, v);
        return IntersectPlueckerSse(packets, packetCount, ray, distance, u, v);
    default: return IntersectPlueckerDouble(packets, packetCount, ray, distance, u, v);
    }
}

}  // namespace Pallix::Bake
