#include "trace/packetlanes.h"
#include "trace/tracekernels.h"

// The Pluecker kernel eight lanes wide: two packets per step. Only this function is compiled
// for AVX, so the rest of the program still runs on a CPU without it; IntersectPackets checks
// the CPU first.
namespace Pallix::Bake {

PALLIX_AVX int32_t IntersectPlueckerAvx(const TrianglePacket* packets, int packetCount, const TraceRay& ray,
                                        double* distance, float* outU, float* outV) {
    return PlueckerClosest<8>(packets, packetCount, ray, distance, outU, outV);
}

}  // namespace Pallix::Bake
