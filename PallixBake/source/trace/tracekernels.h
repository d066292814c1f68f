#pragma once

#include <cstdint>

#include "trace/swtracemesh.h"
#include "trace/traceray.h"

namespace Pallix::Bake {

// Closest-hit packet kernels. Each tests every lane of every packet in order against the ray,
// starting from best = *distance; when it accepts a triangle it writes the distance and the
// barycentric u, v of the accepted triangle and returns its id, else returns -1 and writes
// nothing.
//
// Acceptance and tie rules differ on purpose:
//  - Moeller-Trumbore scalar (1 float, 2 double): 0 < t < best, so among equal distances the
//    first lane in packet order wins; exact barycentric bounds.
//  - Moeller-Trumbore SSE (3): barycentric bounds widened by 0.0025, 0 <= t <= best; within a
//    packet the smallest t wins (lowest lane on ties), a later packet with equal t replaces.
//  - Pluecker (4 float with a refined reciprocal estimate, 0 and 5 double, 6 SSE, 7 AVX):
//    0 <= t <= best. Scalar forms let a later lane with equal t replace; the SIMD forms take the
//    smallest t per step (lowest lane on ties) and let a later step with equal t replace. The
//    AVX form tests two packets per step, the last packet twice when the count is odd.
using ClosestHitKernel = int32_t (*)(const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                                     double* distance, float* u, float* v);

int32_t IntersectMoellerFloat(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
int32_t IntersectMoellerDouble(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
int32_t IntersectMoellerSse(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
int32_t IntersectPlueckerFloat(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
int32_t IntersectPlueckerDouble(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
int32_t IntersectPlueckerSse(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);
// Needs a CPU with AVX; IntersectPackets only calls it after checking.
int32_t IntersectPlueckerAvx(const TrianglePacket*, int, const TraceRay&, double*, float*, float*);

// Any-hit kernel (Moeller-Trumbore, SSE): true at the first packet with a lane hit at
// 0 <= t <= ray.maxDistance, barycentric bounds widened by 1e-5 below and 1e-6 above.
bool OccludedMoellerSse(const TrianglePacket* packets, int packetCount, const TraceRay& ray);

// Whether this CPU runs kernel 7; without AVX a request for it is served by kernel 6.
bool KernelAvxAvailable();

// Runs the closest-hit kernel named by id (ids outside 0-7 run kernel 5).
int32_t IntersectPackets(int32_t kernel, const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                         double* distance, float* u, float* v);

}  // namespace Pallix::Bake
