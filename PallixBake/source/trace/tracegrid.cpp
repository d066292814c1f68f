#include <algorithm>
#include <cmath>
#include <limits>
#include <xmmintrin.h>

#include "trace/swtracemesh.h"
#include "trace/tracekernels.h"

// The grid walks: a 3-D digital differential analyser over the cells along the ray, entered at
// the origin's cell or, from outside, where the ray meets the grid's box. The closest-hit walk
// is instantiated once per kernel, so the kernel is chosen once per ray and called directly in
// every leaf.
namespace Pallix::Bake {

using Math::Vec3;

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A NaN or infinite origin or direction would turn into a garbage cell index; such rays, and
// rays with a negative or NaN limit, hit nothing.
bool RayIsUsable(const TraceRay& ray) {
    return Math::IsFinite(ray.origin) && Math::IsFinite(ray.direction) && ray.maxDistance >= 0.0f;
}

// The cell holding p by truncation toward zero; false when that index is outside the grid (an
// origin on the maximum face has index n and counts as outside).
inline bool CellOf(const TraceGrid& grid, Vec3 p, int cell[3]) {
    const float fx = (p.x - grid.bounds.minX) * grid.invCellSize[0];
    const float fy = (p.y - grid.bounds.minY) * grid.invCellSize[1];
    const float fz = (p.z - grid.bounds.minZ) * grid.invCellSize[2];
    if (!(fx > -1.0f && fx < float(grid.nx) && fy > -1.0f && fy < float(grid.ny) && fz > -1.0f && fz < float(grid.nz)))
        return false;
    cell[0] = std::min(int(fx), grid.nx - 1);
    cell[1] = std::min(int(fy), grid.ny - 1);
    cell[2] = std::min(int(fz), grid.nz - 1);
    return true;
}

// Ray/box slab test; passes only when the entry distance is positive.
template <class T>
bool SlabTest(const Math::AABB3& box, const TraceRay& ray, T* entry) {
    const T lo[3] = {T(box.minX), T(box.minY), T(box.minZ)};
    const T hi[3] = {T(box.maxX), T(box.maxY), T(box.maxZ)};
    const T o[3] = {T(ray.origin.x), T(ray.origin.y), T(ray.origin.z)};
    const T inv[3] = {T(ray.inverse[0]), T(ray.inverse[1]), T(ray.inverse[2])};
    T tmin = ((ray.negative[0] ? hi[0] : lo[0]) - o[0]) * inv[0];
    T tmax = ((ray.negative[0] ? lo[0] : hi[0]) - o[0]) * inv[0];
    const T tymin = ((ray.negative[1] ? hi[1] : lo[1]) - o[1]) * inv[1];
    const T tymax = ((ray.negative[1] ? lo[1] : hi[1]) - o[1]) * inv[1];
    if (tmin > tymax || tymin > tmax) return false;
    if (tymin > tmin) tmin = tymin;
    const T tzmin = ((ray.negative[2] ? hi[2] : lo[2]) - o[2]) * inv[2];
    const T tzmax = ((ray.negative[2] ? lo[2] : hi[2]) - o[2]) * inv[2];
    if (tmin > tzmax || tzmin > std::min(tymax, tmax)) return false;
    if (tzmin > tmin) tmin = tzmin;
    *entry = tmin;
    return tmin > T(0);
}

// One axis of the walk from the start point: the step, the distance to the first crossing and
// between crossings, the index that means "left the grid" and the stride of one step in the
// cell array. An axis the ray does not move along never steps: its crossing is infinite.
struct Axis {
    int step = 0;
    int outside = -1;
    int stride = 0;
    float tMax = kInfinity;
    float tDelta = kInfinity;
};

inline Axis StartAxis(float lo, float cellSize, int cell, int n, int stride, float start, float d) {
    Axis a;
    if (d < 0.0f) {
        a.step = -1;
        a.outside = -1;
        a.stride = -stride;
        a.tMax = (lo + float(cell) * cellSize - start) / d;
    } else if (d > 0.0f) {
        a.step = 1;
        a.outside = n;
        a.stride = stride;
        a.tMax = (lo + float(cell + 1) * cellSize - start) / d;
    }
    a.tDelta = cellSize / std::fabs(d);
    return a;
}

// Walks the cells along the ray from start (in cell) and calls visit(index, entry) for each,
// entry being the distance from start at which the walk enters it (minus infinity for the first
// cell); visit returns true to end the walk. After each step, keepGoing(crossing) decides
// whether the cell just entered is still worth a visit. Ties in the next crossing go from x to
// y and to z.
template <class Visit, class KeepGoing>
inline void Traverse(const TraceGrid& grid, Vec3 start, Vec3 d, const int cell[3], Visit&& visit, KeepGoing&& keepGoing) {
    int x = cell[0], y = cell[1], z = cell[2];
    Axis ax = StartAxis(grid.bounds.minX, grid.cellSize, x, grid.nx, 1, start.x, d.x);
    Axis ay = StartAxis(grid.bounds.minY, grid.cellSize, y, grid.ny, grid.nx, start.y, d.y);
    Axis az = StartAxis(grid.bounds.minZ, grid.cellSize, z, grid.nz, grid.nx * grid.ny, start.z, d.z);
    int index = x + grid.nx * (y + grid.ny * z);
    float crossing = -kInfinity;
    for (;;) {
        if (visit(index, crossing)) return;
        if (ax.tMax < ay.tMax && az.tMax > ax.tMax) {
            x += ax.step;
            if (ax.step == 0 || x == ax.outside) return;
            index += ax.stride;
            crossing = ax.tMax;
            ax.tMax += ax.tDelta;
        } else if (!(ax.tMax < ay.tMax) && az.tMax > ay.tMax) {
            y += ay.step;
            if (ay.step == 0 || y == ay.outside) return;
            index += ay.stride;
            crossing = ay.tMax;
            ay.tMax += ay.tDelta;
        } else {
            z += az.step;
            if (az.step == 0 || z == az.outside) return;
            index += az.stride;
            crossing = az.tMax;
            az.tMax += az.tDelta;
        }
        if (!(crossing < kInfinity) || !keepGoing(crossing)) return;
    }
}

template <ClosestHitKernel kKernel>
bool IntersectWith(const TraceGrid& grid, const TraceRay& ray, TraceHit* hit);

// Asks for every line of a leaf's packets at once, so that the kernel does not meet the misses
// one packet after the other.
inline void PrefetchPackets(const SWGridCellCluster& cell) {
    const char* bytes = reinterpret_cast<const char*>(cell.packets);
    if (!bytes) return;
    const size_t size = sizeof(TrianglePacket) * size_t(cell.packetCount);
    for (size_t offset = 0; offset < size; offset += 64) _mm_prefetch(bytes + offset, _MM_HINT_T0);
}

// Occupied cells wait in a short queue before they are tested, so that their records and
// packets arrive from memory while the cells before them are tested. They are still tested one
// by one in walk order, each against the limit as it stands when its turn comes, so every
// answer is the one of a walk that tests each cell as it enters it.
constexpr int kLookAhead = 4;
static_assert((kLookAhead & (kLookAhead - 1)) == 0, "the queue wraps with a mask");

struct PendingCell {
    const SWGridCellCluster* cell;
    float entry;
};

class CellQueue {
public:
    bool Full() const { return count == kLookAhead; }
    bool Empty() const { return count == 0; }
    void Push(const SWGridCellCluster* cell, float entry) {
        _mm_prefetch(reinterpret_cast<const char*>(cell), _MM_HINT_T0);
        cells[(first + count) & (kLookAhead - 1)] = {cell, entry};
        ++count;
    }
    PendingCell Pop() {
        const PendingCell oldest = cells[first];
        first = (first + 1) & (kLookAhead - 1);
        --count;
        if (count > 0 && !cells[first].cell->nested) PrefetchPackets(*cells[first].cell);
        return oldest;
    }

private:
    PendingCell cells[kLookAhead];
    int first = 0;
    int count = 0;
};

template <ClosestHitKernel kKernel>
inline bool IntersectCell(const SWGridCellCluster& cell, const TraceRay& ray, TraceHit* hit) {
    if (cell.nested) return IntersectWith<kKernel>(*cell.nested, ray, hit);
    if (cell.packetCount <= 0) return false;
    PrefetchPackets(cell);
    const int32_t id = kKernel(cell.packets, cell.packetCount, ray, &hit->distance, &hit->u, &hit->v);
    if (id < 0) return false;
    hit->triangleId = id;
    return true;
}

template <ClosestHitKernel kKernel>
bool IntersectWith(const TraceGrid& grid, const TraceRay& ray, TraceHit* hit) {
    if (grid.cellCount == 0) return false;
    int cell[3];
    Vec3 start = ray.origin;
    double travelled = 0.0;
    if (!CellOf(grid, start, cell)) {
        double entry = 0.0;
        if (!SlabTest<double>(grid.bounds, ray, &entry) || entry > double(ray.maxDistance)) return false;
        // The entry point can round to just outside the box; creep along the ray until it lies
        // in a cell.
        const double creep = double(grid.cellSize) * 1e-4;
        bool inside = false;
        for (int i = 0; i <= 200 && !inside; ++i) {
            travelled = entry + creep * i;
            start = ray.origin + ray.direction * float(travelled);
            inside = CellOf(grid, start, cell);
        }
        if (!inside) return false;
    }
    bool any = false, done = false;
    const uint64_t* occupied = grid.occupied;
    const SWGridCellCluster* cells = grid.cells;
    const double cellSize = grid.cellSize;
    // A crossing one cell beyond the best hit cannot lead to a nearer triangle.
    auto reachable = [&](float entry) { return double(entry) + travelled <= cellSize + hit->distance; };
    CellQueue queue;
    auto testOldest = [&] {
        const PendingCell next = queue.Pop();
        if (!reachable(next.entry)) {
            done = true;
            return;
        }
        if (IntersectCell<kKernel>(*next.cell, ray, hit)) any = true;
    };
    Traverse(
        grid, start, ray.direction, cell,
        [&](int index, float entry) {
            if (!((occupied[index >> 6] >> (index & 63)) & 1u)) return false;
            queue.Push(cells + index, entry);
            if (queue.Full()) testOldest();
            return done;
        },
        reachable);
    while (!done && !queue.Empty()) testOldest();
    return any;
}

using GridIntersector = bool (*)(const TraceGrid&, const TraceRay&, TraceHit*);

GridIntersector IntersectorFor(int32_t kernel) {
    switch (kernel) {
    case KernelMoellerFloat: return IntersectWith<IntersectMoellerFloat>;
    case KernelMoellerDouble: return IntersectWith<IntersectMoellerDouble>;
    case KernelMoellerSse: return IntersectWith<IntersectMoellerSse>;
    case KernelPlueckerFloat: return IntersectWith<IntersectPlueckerFloat>;
    case KernelPlueckerSse: return IntersectWith<IntersectPlueckerSse>;
    case KernelPlueckerAvx:
        return KernelAvxAvailable() ? IntersectWith<IntersectPlueckerAvx> : IntersectWith<IntersectPlueckerSse>;
    default: return IntersectWith<IntersectPlueckerDouble>;
    }
}

bool OccludedCell(const SWGridCellCluster& cell, const TraceRay& ray);

bool OccludedGrid(const TraceGrid& grid, const TraceRay& ray) {
    if (grid.cellCount == 0) return false;
    int cell[3];
    Vec3 start = ray.origin;
    if (!CellOf(grid, start, cell)) {
        float entry = 0.0f;
        if (!SlabTest<float>(grid.bounds, ray, &entry) || entry > ray.maxDistance) return false;
        bool inside = false;
        for (int i = 0; i <= 10 && !inside; ++i) {
            start = ray.origin + ray.direction * (entry + 1e-4f * float(i));
            inside = CellOf(grid, start, cell);
        }
        if (!inside) return false;
    }
    bool blocked = false;
    const uint64_t* occupied = grid.occupied;
    const SWGridCellCluster* cells = grid.cells;
    CellQueue queue;
    Traverse(
        grid, start, ray.direction, cell,
        [&](int index, float) {
            if (!((occupied[index >> 6] >> (index & 63)) & 1u)) return false;
            queue.Push(cells + index, 0.0f);
            if (queue.Full()) blocked = OccludedCell(*queue.Pop().cell, ray);
            return blocked;
        },
        [&](float crossing) { return crossing <= ray.maxDistance; });
    while (!blocked && !queue.Empty()) blocked = OccludedCell(*queue.Pop().cell, ray);
    return blocked;
}

inline bool OccludedCell(const SWGridCellCluster& cell, const TraceRay& ray) {
    if (cell.nested) return OccludedGrid(*cell.nested, ray);
    return cell.packetCount > 0 && OccludedMoellerSse(cell.packets, cell.packetCount, ray);
}

// Whether the ray meets the outlier leaf's box (its triangles' box, grown by more than the
// kernels' tolerance) within limit; rays that end before it need not test the leaf at all.
bool OutliersWithinReach(const SWGridCellCluster& leaf, const TraceRay& ray, double limit) {
    const float lo[3] = {leaf.box.minX, leaf.box.minY, leaf.box.minZ};
    const float hi[3] = {leaf.box.maxX, leaf.box.maxY, leaf.box.maxZ};
    double nearest = 0.0, farthest = limit;
    for (int axis = 0; axis < 3; ++axis) {
        const double o = ray.origin[axis];
        const double margin = 1e-5 * (double(hi[axis]) - double(lo[axis]) + std::max(std::fabs(double(lo[axis])), std::fabs(double(hi[axis])))) + 1e-5;
        const double low = double(lo[axis]) - margin, high = double(hi[axis]) + margin;
        if (ray.direction[axis] == 0.0f) {
            if (o < low || o > high) return false;
            continue;
        }
        double t0 = (low - o) * ray.inverse[axis], t1 = (high - o) * ray.inverse[axis];
        if (t0 > t1) std::swap(t0, t1);
        nearest = std::max(nearest, t0);
        farthest = std::min(farthest, t1);
        if (!(nearest <= farthest)) return false;
    }
    return true;
}

}  // namespace

bool SWGridCellCluster::Intersect(const TraceRay& ray, TraceHit* hit) const {
    if (nested) return nested->Intersect(ray, hit);
    if (packetCount <= 0) return false;
    const int32_t id = IntersectPackets(ray.kernel, packets, packetCount, ray, &hit->distance, &hit->u, &hit->v);
    if (id < 0) return false;
    hit->triangleId = id;
    return true;
}

bool SWGridCellCluster::Occluded(const TraceRay& ray) const {
    return RayIsUsable(ray) && OccludedCell(*this, ray);
}

bool TraceGrid::Intersect(const TraceRay& ray, TraceHit* hit) const {
    if (cellCount == 0 || !RayIsUsable(ray)) return false;
    // The outliers last, as far as the best hit so far: under a model, a crowd of giant
    // triangles then costs the rays that meet the model next to nothing.
    const bool inCells = IntersectorFor(ray.kernel)(*this, ray, hit);
    if (!outliers || !OutliersWithinReach(*outliers, ray, std::min(double(ray.maxDistance), hit->distance))) return inCells;
    return outliers->Intersect(ray, hit) || inCells;
}

bool TraceGrid::Occluded(const TraceRay& ray) const {
    if (cellCount == 0 || !RayIsUsable(ray)) return false;
    return (outliers && OutliersWithinReach(*outliers, ray, ray.maxDistance) && OccludedCell(*outliers, ray)) ||
           OccludedGrid(*this, ray);
}

}  // namespace Pallix::Bake
