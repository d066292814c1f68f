#pragma once

#include <cstdint>

#include "core/simdlanes.h"
#include "trace/swtracemesh.h"
#include "trace/traceray.h"

// The SIMD kernels' shared shape: N lanes hold the triangles of N / 4 packets side by side, and
// the Pluecker closest-hit test is written once for any such width.
namespace Pallix::Bake {

// Three consecutive rows (x, y, z) of the packets of one step, packet k in lanes 4k .. 4k + 3.
template <int N>
PALLIX_LANES_INLINE Simd::Lanes3<N> LoadPacketRows(const TrianglePacket* const* step, int row) {
    const float* quads[3][N / 4];
    for (int k = 0; k < N / 4; ++k) {
        quads[0][k] = step[k]->rows[row];
        quads[1][k] = step[k]->rows[row + 1];
        quads[2][k] = step[k]->rows[row + 2];
    }
    return {Simd::Lanes<N>::LoadQuads(quads[0]), Simd::Lanes<N>::LoadQuads(quads[1]), Simd::Lanes<N>::LoadQuads(quads[2])};
}

// Pluecker closest hit over a leaf's packets, N / 4 packets per step; when the count is not a
// multiple of that, the last step repeats its first packet. Exact division; per step the
// smallest t among the accepted lanes wins (lowest lane on ties) and a later step with an equal
// t replaces an earlier one.
template <int N>
PALLIX_LANES_INLINE int32_t PlueckerClosest(const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                                            double* distance, float* outU, float* outV) {
    using L = Simd::Lanes<N>;
    using L3 = Simd::Lanes3<N>;
    constexpr int kStep = N / 4;
    const L3 o = L3::Broadcast(ray.origin), d = L3::Broadcast(ray.direction);
    const L zero = L::Zero();
    float best = float(*distance), bestU = 0.0f, bestV = 0.0f;
    L bestLanes = L::Broadcast(best);
    int32_t id = -1;
    for (int i = 0; i < packetCount; i += kStep) {
        const TrianglePacket* step[kStep];
        for (int k = 0; k < kStep; ++k) step[k] = &packets[i + k < packetCount ? i + k : i];
        const L3 r0 = LoadPacketRows<N>(step, TrianglePacket::Ax) - o;
        const L3 r1 = r0 + LoadPacketRows<N>(step, TrianglePacket::E1x);
        const L3 r2 = r0 + LoadPacketRows<N>(step, TrianglePacket::E2x);
        const L3 edge0 = r2 - r0, edge1 = r0 - r1, edge2 = r1 - r2;
        const L3 n = Cross(edge1, edge0);
        const L3 n2 = n + n;
        const L den = Dot(n2, d);
        // The sign of den is folded into every value by flipping their sign bits.
        const L sign = SignBits(den);
        const L u = Dot(Cross(r2 + r0, edge0), d) ^ sign;
        const L v = Dot(Cross(r0 + r1, edge1), d) ^ sign;
        L mask = (u >= zero) & (v >= zero);
        // Most rays pass beside most triangles: skip the rest when no lane is left.
        if (MoveMask(mask) == 0) continue;
        const L w = Dot(Cross(r1 + r2, edge2), d) ^ sign;
        const L t = Dot(r0, n2) ^ sign;
        const L absDen = Abs(den);
        mask = mask & (w >= zero);
        mask = mask & (t >= zero);
        mask = mask & (t <= bestLanes * absDen);
        mask = mask & (den != zero);
        const int bits = MoveMask(mask);
        if (bits == 0) continue;
        const L distances = t / absDen;
        const int lane = SmallestLane(distances, mask, bits);
        best = Lane(distances, lane);
        const float scale = Lane(absDen, lane);
        bestU = Lane(u, lane) / scale;
        bestV = Lane(v, lane) / scale;
        bestLanes = L::Broadcast(best);
        id = step[lane / 4]->GetId(lane % 4);
    }
    if (id >= 0) {
        *distance = double(best);
        *outU = bestU;
        *outV = bestV;
    }
    return id;
}

}  // namespace Pallix::Bake
