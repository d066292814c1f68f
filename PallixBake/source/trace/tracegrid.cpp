#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "trace/swtracemesh.h"
#include "trace/tracekernels.h"

// The grid walks: a 3-D digital differential analyser over the cells along the ray, entered at
// the origin's cell or, from outside, where the ray meets the grid's box.
namespace Pallix::Bake {

using Math::Vec3;

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Walk state: current cell, step direction, index that means "left the grid", distance to the
// next crossing per axis and the distance between crossings.
struct Walk {
    int cell[3];
    int step[3];
    int outside[3];
    float tMax[3];
    float tDelta[3];
};

// A NaN or infinite origin or direction would turn into a garbage cell index; such rays, and
// rays with a negative or NaN limit, hit nothing.
bool RayIsUsable(const TraceRay& ray) {
    return Math::IsFinite(ray.origin) && Math::IsFinite(ray.direction) && ray.maxDistance >= 0.0f;
}

// The cell holding p by truncation toward zero; false when that index is outside the grid (an
// origin on the maximum face has index n and counts as outside).
bool CellOf(const TraceGrid& grid, Vec3 p, int cell[3]) {
    const int n[3] = {grid.nx, grid.ny, grid.nz};
    const Vec3 lo = grid.bounds.Min();
    for (int axis = 0; axis < 3; ++axis) {
        const float f = (p[axis] - lo[axis]) * grid.invCellSize[axis];
        if (!(f > -1.0f && f < float(n[axis]))) return false;
        cell[axis] = std::min(int(f), n[axis] - 1);
    }
    return true;
}

void StartWalk(const TraceGrid& grid, Vec3 start, Vec3 d, Walk& walk) {
    const int n[3] = {grid.nx, grid.ny, grid.nz};
    const Vec3 lo = grid.bounds.Min();
    for (int axis = 0; axis < 3; ++axis) {
        if (d[axis] < 0.0f) {
            walk.step[axis] = -1;
            walk.outside[axis] = -1;
            walk.tMax[axis] = (lo[axis] + float(walk.cell[axis]) * grid.cellSize - start[axis]) / d[axis];
        } else if (d[axis] > 0.0f) {
            walk.step[axis] = 1;
            walk.outside[axis] = n[axis];
            walk.tMax[axis] = (lo[axis] + float(walk.cell[axis] + 1) * grid.cellSize - start[axis]) / d[axis];
        } else {
            walk.step[axis] = 0;
            walk.outside[axis] = INT_MIN;
            walk.tMax[axis] = kInfinity;
        }
        walk.tDelta[axis] = grid.cellSize / std::fabs(d[axis]);
    }
}

// Next axis to step: the smallest tMax, ties between x and y going to y and ties with z to z.
inline int NextAxis(const Walk& walk) {
    if (walk.tMax[0] < walk.tMax[1]) return walk.tMax[2] > walk.tMax[0] ? 0 : 2;
    return walk.tMax[2] > walk.tMax[1] ? 1 : 2;
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

}  // namespace

bool SWGridCellCluster::Intersect(const TraceRay& ray, TraceHit* hit) const {
    if (nested) return nested->Intersect(ray, hit);
    if (packetCount <= 0) return false;
    const int32_t id = IntersectPackets(ray.kernel, packets.get(), packetCount, ray, &hit->distance, &hit->u, &hit->v);
    if (id < 0) return false;
    hit->triangleId = id;
    return true;
}

bool SWGridCellCluster::Occluded(const TraceRay& ray) const {
    if (nested) return nested->Occluded(ray);
    return packetCount > 0 && OccludedMoellerSse(packets.get(), packetCount, ray);
}

bool TraceGrid::Intersect(const TraceRay& ray, TraceHit* hit) const {
    if (cellCount == 0 || !RayIsUsable(ray)) return false;
    Walk walk;
    Vec3 start = ray.origin;
    double travelled = 0.0;
    if (!CellOf(*this, start, walk.cell)) {
        double entry = 0.0;
        if (!SlabTest<double>(bounds, ray, &entry) || entry > double(ray.maxDistance)) return false;
        // The entry point can round to just outside the box; creep along the ray until it lies
        // in a cell.
        const double creep = double(cellSize) * 1e-4;
        bool inside = false;
        for (int i = 0; i <= 200 && !inside; ++i) {
            travelled = entry + creep * i;
            start = ray.origin + ray.direction * float(travelled);
            inside = CellOf(*this, start, walk.cell);
        }
        if (!inside) return false;
    }
    StartWalk(*this, start, ray.direction, walk);

    bool any = false;
    for (;;) {
        const SWGridCellCluster& cell = cells[walk.cell[0] + nx * (walk.cell[1] + ny * walk.cell[2])];
        if (cell.triangleCount >= 1 && cell.Intersect(ray, hit)) any = true;
        const int axis = NextAxis(walk);
        walk.cell[axis] += walk.step[axis];
        if (walk.cell[axis] == walk.outside[axis]) break;
        const float crossing = walk.tMax[axis];
        walk.tMax[axis] += walk.tDelta[axis];
        // A crossing one cell beyond the best hit cannot hold a nearer triangle.
        if (!(crossing < kInfinity) || double(crossing) + travelled > double(cellSize) + hit->distance) break;
    }
    return any;
}

bool TraceGrid::Occluded(const TraceRay& ray) const {
    if (cellCount == 0 || !RayIsUsable(ray)) return false;
    Walk walk;
    Vec3 start = ray.origin;
    if (!CellOf(*this, start, walk.cell)) {
        float entry = 0.0f;
        if (!SlabTest<float>(bounds, ray, &entry) || entry > ray.maxDistance) return false;
        bool inside = false;
        for (int i = 0; i <= 10 && !inside; ++i) {
            start = ray.origin + ray.direction * (entry + 1e-4f * float(i));
            inside = CellOf(*this, start, walk.cell);
        }
        if (!inside) return false;
    }
    StartWalk(*this, start, ray.direction, walk);

    for (;;) {
        const SWGridCellCluster& cell = cells[walk.cell[0] + nx * (walk.cell[1] + ny * walk.cell[2])];
        if (cell.triangleCount >= 1 && cell.Occluded(ray)) return true;
        const int axis = NextAxis(walk);
        walk.cell[axis] += walk.step[axis];
        if (walk.cell[axis] == walk.outside[axis]) break;
        const float crossing = walk.tMax[axis];
        walk.tMax[axis] += walk.tDelta[axis];
        if (!(crossing < kInfinity) || crossing > ray.maxDistance) break;
    }
    return false;
}

}  // namespace Pallix::Bake
