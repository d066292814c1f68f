#include "trace/tracekernels.h"

#include <cmath>
#include <xmmintrin.h>

#include "trace/packetlanes.h"

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

using Simd::Lanes4;
using Lanes3x4 = Simd::Lanes3<4>;

inline Lanes3x4 LoadRows(const TrianglePacket& p, int row) {
    const TrianglePacket* step[1] = {&p};
    return LoadPacketRows<4>(step, row);
}

// Moeller-Trumbore on the four lanes of a packet: the lanes with det != 0, low <= u <= high,
// v >= low, u + v <= high and 0 <= t <= limit, with their t, u and v.
struct MoellerLanes {
    Lanes4 mask, t, u, v;
};

inline MoellerLanes TestMoellerLanes(const TrianglePacket& p, const Lanes3x4& o, const Lanes3x4& d, Lanes4 low,
                                     Lanes4 high, Lanes4 limit) {
    const Lanes4 zero = Lanes4::Zero();
    const Lanes3x4 e1 = LoadRows(p, TrianglePacket::E1x), e2 = LoadRows(p, TrianglePacket::E2x);
    const Lanes3x4 pv = Cross(d, e2);
    const Lanes4 det = Dot(e1, pv);
    const Lanes3x4 s = o - LoadRows(p, TrianglePacket::Ax);
    const Lanes4 u = Dot(s, pv) / det;
    const Lanes3x4 q = Cross(s, e1);
    const Lanes4 v = Dot(d, q) / det;
    const Lanes4 t = Dot(e2, q) / det;
    Lanes4 mask = (det != zero) & (u >= low);
    mask = mask & (u <= high);
    mask = mask & (v >= low);
    mask = mask & (u + v <= high);
    mask = mask & (t >= zero);
    mask = mask & (t <= limit);
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
    const Lanes3x4 o = Lanes3x4::Broadcast(ray.origin), d = Lanes3x4::Broadcast(ray.direction);
    const Lanes4 low = Lanes4::Broadcast(-0.0025f), high = Lanes4::Broadcast(1.0025f);
    float best = float(*distance), bestU = 0.0f, bestV = 0.0f;
    Lanes4 bestLanes = Lanes4::Broadcast(best);
    int32_t id = -1;
    for (int i = 0; i < packetCount; ++i) {
        const TrianglePacket& p = packets[i];
        const MoellerLanes hit = TestMoellerLanes(p, o, d, low, high, bestLanes);
        const int bits = MoveMask(hit.mask);
        if (bits == 0) continue;
        const int lane = SmallestLane(hit.t, hit.mask, bits);
        best = Lane(hit.t, lane);
        bestU = Lane(hit.u, lane);
        bestV = Lane(hit.v, lane);
        bestLanes = Lanes4::Broadcast(best);
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
    return PlueckerClosest<4>(packets, packetCount, ray, distance, outU, outV);
}

bool OccludedMoellerSse(const TrianglePacket* packets, int packetCount, const TraceRay& ray) {
    const Lanes3x4 o = Lanes3x4::Broadcast(ray.origin), d = Lanes3x4::Broadcast(ray.direction);
    const Lanes4 low = Lanes4::Broadcast(-1e-5f), high = Lanes4::Broadcast(1.000001f);
    const Lanes4 limit = Lanes4::Broadcast(ray.maxDistance);
    for (int i = 0; i < packetCount; ++i)
        if (MoveMask(TestMoellerLanes(packets[i], o, d, low, high, limit).mask) != 0) return true;
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
