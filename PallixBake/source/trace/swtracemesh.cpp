#include "trace/swtracemesh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/threadpool.h"

namespace Pallix::Bake {

using Math::AABB3;
using Math::Vec3;

namespace {

constexpr float kTrianglePadding = 1e-5f;
constexpr float kOverlapSlack = 1.0001f;
constexpr float kNestedPadding = 1e-5f;

Vec3 Min3(Vec3 a, Vec3 b, Vec3 c) {
    return {std::min(a.x, std::min(b.x, c.x)), std::min(a.y, std::min(b.y, c.y)), std::min(a.z, std::min(b.z, c.z))};
}
Vec3 Max3(Vec3 a, Vec3 b, Vec3 c) {
    return {std::max(a.x, std::max(b.x, c.x)), std::max(a.y, std::max(b.y, c.y)), std::max(a.z, std::max(b.z, c.z))};
}

// Cells along one axis as the grid will lay them (at least one), as a double so that the
// product of three axes cannot overflow.
double CellsOnAxis(float extent, float size) { return std::max(1.0, double(std::ceil(extent / size))); }

bool IsFiniteBox(const AABB3& box) { return Math::IsFinite(box.Min()) && Math::IsFinite(box.Max()); }

// Whether a triangle lies on one line to within the rounding of the floats that store it: its
// height above its longest edge is at most four units in the last place of its largest
// coordinate m (two equal corners, three on one line exactly, or three on one line in the file's
// decimals that rounding moved apart). The edges e1 = b - a and e2 = c - a are taken as a packet
// stores them, rounded to float; their cross product n is formed exactly in double, where a
// product of two floats is exact.
inline bool FlatWithinRounding(const Vec3& a, const Vec3& b, const Vec3& c, float settle) {
    const Vec3 e1 = b - a, e2 = c - a;
    // Such a triangle's float n lies within about 4.3 m 2^-21 L of the exact one, and its longest
    // edge L within sqrt(2 (|e1|^2 + |e2|^2)); settle is 128 (M 2^-21)^2 for the largest
    // coordinate M of the mesh, so a longer float n settles nearly every triangle in a few
    // products.
    const Vec3 n = Math::Cross(e1, e2);
    if (Math::Dot(n, n) > settle * (Math::Dot(e1, e1) + Math::Dot(e2, e2))) return false;
    const float largest = std::max({std::fabs(a.x), std::fabs(a.y), std::fabs(a.z), std::fabs(b.x), std::fabs(b.y),
                                    std::fabs(b.z), std::fabs(c.x), std::fabs(c.y), std::fabs(c.z)});
    auto product = [](float p, float q) { return double(p) * double(q); };
    const double nx = product(e1.y, e2.z) - product(e1.z, e2.y);
    const double ny = product(e1.z, e2.x) - product(e1.x, e2.z);
    const double nz = product(e1.x, e2.y) - product(e1.y, e2.x);
    auto squared = [&](const Vec3& e) { return product(e.x, e.x) + product(e.y, e.y) + product(e.z, e.z); };
    const double longest = std::max({squared(e1), squared(e2), squared(c - b)});
    const double room = double(largest) * 0x1p-21;
    return nx * nx + ny * ny + nz * nz <= room * room * longest;
}

// The settle figure of FlatWithinRounding for a mesh's positions: 128 (M 2^-21)^2 for their
// largest finite coordinate M. It is 0 when that underflows, which settles fewer triangles.
// Each run of positions finds its own largest on the pool; the largest of those is the same
// for any number of workers.
float FlatSettle(const std::vector<Vec3>& positions, ThreadPool& pool) {
    std::vector<float> reaches((positions.size() + kVerticesPerPart - 1) / kVerticesPerPart, 0.0f);
    ForEachPart(&pool, positions.size(), kVerticesPerPart, [&](size_t first, size_t last) {
        float reach = 0.0f;
        for (size_t i = first; i < last; ++i)
            for (const float v : {std::fabs(positions[i].x), std::fabs(positions[i].y), std::fabs(positions[i].z)})
                if (v > reach && v <= std::numeric_limits<float>::max()) reach = v;
        reaches[first / kVerticesPerPart] = reach;
    });
    float reach = 0.0f;
    for (const float r : reaches) reach = std::max(reach, r);
    const float tolerance = reach * 0x1p-21f;
    return 128.0f * tolerance * tolerance;
}

// Cell index of a coordinate already known to be finite, truncated and clamped to [0, n - 1].
// Clamping before the conversion keeps far-away values from overflowing the integer.
int ClampedCell(float offset, float invCellSize, int n) {
    float f = offset * invCellSize;
    const float last = float(n - 1);
    if (!(f > 0.0f)) f = 0.0f;
    if (f > last) f = last;
    return std::min(int(f), n - 1);
}

// The cells of grid, from l to h per axis, that the padded box of triangle abc spans; false when
// the grid has no cells or a corner is not finite.
bool CellRange(const TraceGrid& grid, Vec3 a, Vec3 b, Vec3 c, int (&l)[3], int (&h)[3]) {
    if (grid.cellCount == 0 || !Math::IsFinite(a) || !Math::IsFinite(b) || !Math::IsFinite(c)) return false;
    Vec3 lo = Min3(a, b, c), hi = Max3(a, b, c);
    lo = lo - Vec3{kTrianglePadding, kTrianglePadding, kTrianglePadding};
    hi = hi + Vec3{kTrianglePadding, kTrianglePadding, kTrianglePadding};
    const Vec3 gridMin = grid.bounds.Min();
    const int n[3] = {grid.nx, grid.ny, grid.nz};
    for (int axis = 0; axis < 3; ++axis) {
        l[axis] = ClampedCell(lo[axis] - gridMin[axis], grid.invCellSize[axis], n[axis]);
        h[axis] = ClampedCell(hi[axis] - gridMin[axis], grid.invCellSize[axis], n[axis]);
    }
    return true;
}

int64_t CellsSpanned(const int (&l)[3], const int (&h)[3]) {
    return int64_t(h[0] - l[0] + 1) * (h[1] - l[1] + 1) * (h[2] - l[2] + 1);
}

// How many cells of grid the padded box of triangle abc spans: what binning it costs at most,
// found without an overlap test.
int64_t BoxCells(const TraceGrid& grid, Vec3 a, Vec3 b, Vec3 c) {
    int l[3], h[3];
    return CellRange(grid, a, b, c, l, h) ? CellsSpanned(l, h) : 0;
}

// Calls visit(cell) for every cell from l to h, the range of triangle abc's padded box, that the
// triangle may touch: every one when they are at most two, else only the cells it overlaps.
template <class Visit>
void VisitCells(TraceGrid& grid, const int (&l)[3], const int (&h)[3], Vec3 a, Vec3 b, Vec3 c, Visit&& visit) {
    const bool test = CellsSpanned(l, h) > 2;
    for (int x = l[0]; x <= h[0]; ++x) {
        for (int y = l[1]; y <= h[1]; ++y) {
            for (int z = l[2]; z <= h[2]; ++z) {
                SWGridCellCluster& cell = grid.Cell(x, y, z);
                if (test) {
                    const Vec3 centre = (cell.box.Min() + cell.box.Max()) * 0.5f;
                    const Vec3 half = (cell.box.Max() - centre) * kOverlapSlack;
                    if (!TriangleBoxOverlap(centre, half, a, b, c)) continue;
                }
                visit(cell);
            }
        }
    }
}

// The same for every cell of grid that the triangle may touch.
template <class Visit>
void BinTriangle(TraceGrid& grid, Vec3 a, Vec3 b, Vec3 c, Visit&& visit) {
    int l[3], h[3];
    if (CellRange(grid, a, b, c, l, h)) VisitCells(grid, l, h, a, b, c, visit);
}

// Whether the triangle lies within the grid's box; only then can the walks find it in the cells.
bool InsideGrid(const TraceGrid& grid, Vec3 a, Vec3 b, Vec3 c) {
    const AABB3& box = grid.bounds;
    for (const Vec3& p : {a, b, c})
        if (!(p.x >= box.minX && p.x <= box.maxX && p.y >= box.minY && p.y <= box.maxY && p.z >= box.minZ &&
              p.z <= box.maxZ))
            return false;
    return true;
}

// Where a crowded root cell's nested grid goes: over the cell box padded by 1e-5, with
// max(2, ceil(density * count^densityPower)) cells along its longest side.
struct NestedLayout {
    AABB3 box;
    float size = 0.0f;
    int32_t cells = 0;
};

NestedLayout LayoutNested(const SWGridCellCluster& cell, const TraceGridSettings& settings) {
    NestedLayout layout;
    layout.box = cell.box;
    layout.box.Pad(kNestedPadding);
    const AABB3& box = layout.box;
    const float longest = std::max(box.maxX - box.minX, std::max(box.maxY - box.minY, box.maxZ - box.minZ));
    float divisions = std::ceil(settings.density * std::pow(float(cell.triangleCount), settings.densityPower));
    if (!(divisions >= 2.0f)) divisions = 2.0f;  // also catches a NaN from odd tuning values
    layout.size = longest / divisions;
    layout.cells = TraceGrid::CellsFor(layout.box, layout.size);
    return layout;
}

// Nested-bins the count triangles of a crowded cell, read(i) in written order, into its nested
// grid.
template <class Read, class Visit>
void BinCellTriangles(int count, const Read& read, TraceGrid& nested, Visit&& visit) {
    for (int i = 0; i < count; ++i) {
        const TraceTriangle t = read(i);
        BinTriangle(nested, t.a, t.a + t.e1, t.a + t.e2, [&](SWGridCellCluster& child) { visit(child, t); });
    }
}

// Coincident or heavily overlapping triangles cannot be told apart by any grid: every cell they
// cross takes every one of them, so references would grow with the square of their number. A
// grid's references stay within these multiples of the triangles it bins, past which it would
// not reduce the triangles per cell; ordinary meshes stay far below (about 1.1 to 1.4 in the
// root grid, 2 to 4 in a nested one). The root grid gets more room, as long slivers crossing
// many of its cells are still told apart by it. The cells the triangles' boxes span, which
// bound what binning costs, are checked first, without an overlap test.
constexpr int64_t kSpanPerTriangle = 32;
constexpr int64_t kRootReferencesPerTriangle = 16;
constexpr int64_t kNestedReferencesPerTriangle = 8;
// Small root grids may spend this much whatever their triangle count.
constexpr int64_t kReferenceAllowance = int64_t(1) << 16;

// More triangles than this in one cell of a nested grid mean repeats: ordinary surfaces put at
// most a few hundred into one (the poles of a 10M-triangle sphere put 760).
constexpr int32_t kCrowdedNestedCell = 1024;

// Keeps in ids (count of them, in order) only the first of equal triangles, those with the same
// corners in the same order and the same material, and returns how many are left. Equal
// triangles give a ray the same distance, barycentrics and shading, so the first answers for
// all. Runs only on crowds beyond what a grid can sort out, so its table is made for each; the
// few ordinary cells that look like one are too small for the table to matter.
int KeepFirstOfEqual(int32_t* ids, int count, const MeshTriangle* triangles) {
    size_t slots = 2;
    while (slots < 2 * size_t(count)) slots *= 2;
    std::vector<int32_t> table(slots, -1);
    auto same = [](const MeshTriangle& a, const MeshTriangle& b) {
        return a.vertex0 == b.vertex0 && a.vertex1 == b.vertex1 && a.vertex2 == b.vertex2 && a.material == b.material;
    };
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const int32_t id = ids[i];
        const MeshTriangle& t = triangles[size_t(id)];
        uint64_t h = (uint64_t(uint32_t(t.vertex0)) | uint64_t(uint32_t(t.vertex1)) << 32) * 0x9E3779B97F4A7C15ull;
        h ^= (uint64_t(uint32_t(t.vertex2)) | uint64_t(uint32_t(t.material)) << 32) * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 31;
        for (size_t slot = size_t(h) & (slots - 1);; slot = (slot + 1) & (slots - 1)) {
            if (table[slot] < 0) {
                table[slot] = id;
                ids[kept++] = id;
                break;
            }
            if (same(triangles[size_t(table[slot])], t)) break;
        }
    }
    return kept;
}

// Root cells holding more triangles than this have a sample of them looked at for equal ones;
// the few ordinary cells this large pay a few dozen reads for it.
constexpr int kSampledCell = 4096;
constexpr int kSampleSize = 64;

// Whether kSampleSize triangles spread evenly over ids (count > kSampleSize of them) hold two
// equal ones: always so when the ids hold fewer distinct triangles than the sample.
bool SampleHasEqualTriangles(const int32_t* ids, int count, const MeshTriangle* triangles) {
    std::array<std::array<int32_t, 4>, kSampleSize> sample;
    for (int k = 0; k < kSampleSize; ++k) {
        const MeshTriangle& t = triangles[size_t(ids[int64_t(count) * k / kSampleSize])];
        sample[size_t(k)] = {t.vertex0, t.vertex1, t.vertex2, t.material};
    }
    std::sort(sample.begin(), sample.end());
    return std::adjacent_find(sample.begin(), sample.end()) != sample.end();
}

// Counts a crowded cell's triangles into the cells of its nested grid, unless the grid would not
// pay (returns false; the child counts are then of no use).
template <class Read>
bool CountNested(int count, const Read& read, TraceGrid& nested) {
    int64_t spanned = 0, references = 0;
    for (int i = 0; i < count; ++i) {
        const TraceTriangle t = read(i);
        const Vec3 b = t.a + t.e1, c = t.a + t.e2;
        int l[3], h[3];
        if (!CellRange(nested, t.a, b, c, l, h)) continue;
        // The boxes' cells only add up, so stopping as soon as they pass the budget decides as
        // their total would, and costs no more than the budget.
        spanned += CellsSpanned(l, h);
        if (spanned > kSpanPerTriangle * count) return false;
        VisitCells(nested, l, h, t.a, b, c, [&](SWGridCellCluster& child) {
            ++child.triangleCount;
            ++references;
        });
    }
    return references <= kNestedReferencesPerTriangle * count;
}

}  // namespace

// ---- SWGridCellCluster ------------------------------------------------------------------------

void SWGridCellCluster::Allocate(TrianglePacket* storage) {
    packetCount = PacketsNeeded();
    packets = triangleCount > 0 ? storage : nullptr;
    capacity = packets ? triangleCount : 0;
    written = 0;
}

void SWGridCellCluster::Append(Vec3 a, Vec3 e1, Vec3 e2, int32_t id) {
    if (written >= capacity) return;
    Put(written, a, e1, e2, id);
    ++written;
}

void SWGridCellCluster::Put(int index, Vec3 a, Vec3 e1, Vec3 e2, int32_t id) {
    TrianglePacket& p = packets[index / 4];
    const int lane = index % 4;
    p.rows[TrianglePacket::Ax][lane] = a.x;
    p.rows[TrianglePacket::Ay][lane] = a.y;
    p.rows[TrianglePacket::Az][lane] = a.z;
    p.rows[TrianglePacket::E1x][lane] = e1.x;
    p.rows[TrianglePacket::E1y][lane] = e1.y;
    p.rows[TrianglePacket::E1z][lane] = e1.z;
    p.rows[TrianglePacket::E2x][lane] = e2.x;
    p.rows[TrianglePacket::E2y][lane] = e2.y;
    p.rows[TrianglePacket::E2z][lane] = e2.z;
    p.SetId(lane, id);
}

TraceTriangle SWGridCellCluster::ReadTriangle(int index) const {
    const TrianglePacket& p = packets[index / 4];
    const int lane = index % 4;
    TraceTriangle t;
    t.a = {p.rows[TrianglePacket::Ax][lane], p.rows[TrianglePacket::Ay][lane], p.rows[TrianglePacket::Az][lane]};
    t.e1 = {p.rows[TrianglePacket::E1x][lane], p.rows[TrianglePacket::E1y][lane], p.rows[TrianglePacket::E1z][lane]};
    t.e2 = {p.rows[TrianglePacket::E2x][lane], p.rows[TrianglePacket::E2y][lane], p.rows[TrianglePacket::E2z][lane]};
    t.id = p.GetId(lane);
    return t;
}

void SWGridCellCluster::PadAndComputeNormals() {
    packetCount = (written + 3) / 4;
    if (written == 0) return;
    const int filled = written % 4;
    if (filled != 0) {
        // Kernels test all four lanes without masks, so empty lanes repeat a real triangle.
        TrianglePacket& last = packets[packetCount - 1];
        for (int lane = filled; lane < 4; ++lane) {
            for (int row = TrianglePacket::Ax; row <= TrianglePacket::E2z; ++row) last.rows[row][lane] = last.rows[row][filled - 1];
            last.rows[TrianglePacket::Id][lane] = last.rows[TrianglePacket::Id][filled - 1];
        }
    }
    for (int i = 0; i < packetCount; ++i) {
        TrianglePacket& p = packets[i];
        for (int lane = 0; lane < 4; ++lane) {
            Vec3 m1{p.rows[TrianglePacket::E1x][lane], p.rows[TrianglePacket::E1y][lane], p.rows[TrianglePacket::E1z][lane]};
            Vec3 m2{p.rows[TrianglePacket::E2x][lane], p.rows[TrianglePacket::E2y][lane], p.rows[TrianglePacket::E2z][lane]};
            m1 = Math::NormalizeFast(m1);
            m2 = Math::NormalizeFast(m2);
            const Vec3 n = Math::NormalizeFast(Math::Cross(m1, m2));
            p.rows[TrianglePacket::Nx][lane] = n.x;
            p.rows[TrianglePacket::Ny][lane] = n.y;
            p.rows[TrianglePacket::Nz][lane] = n.z;
        }
    }
}

// ---- TraceGrid --------------------------------------------------------------------------------

TraceGrid::TraceGrid(SWTraceMesh* gridOwner) : owner(gridOwner) {}
TraceGrid::~TraceGrid() = default;

void TraceGrid::Clear() {
    cells = nullptr;
    occupied = nullptr;
    outliers = nullptr;
    ownCells.reset();
    ownBits.reset();
    nx = ny = nz = 0;
    cellCount = 0;
}

int32_t TraceGrid::CellsFor(const AABB3& box, float size) {
    if (box.IsEmpty() || !IsFiniteBox(box) || !(size > 0.0f) || !std::isfinite(size)) return 0;
    const Vec3 lo = box.Min(), hi = box.Max();
    double total = 1.0;
    for (int axis = 0; axis < 3; ++axis) {
        const float cellsOnAxis = std::ceil((hi[axis] - lo[axis]) / size);
        if (!(cellsOnAxis <= float(INT32_MAX))) throw std::length_error("trace grid has too many cells");
        total *= double(std::max<int64_t>(1, int64_t(cellsOnAxis)));
    }
    if (total > double(INT32_MAX)) throw std::length_error("trace grid has too many cells");
    return int32_t(total);
}

int32_t TraceGrid::Layout(const AABB3& box, float size) {
    bounds = box;
    const Vec3 lo = box.Min(), hi = box.Max();
    for (int axis = 0; axis < 3; ++axis) {
        extent[axis] = hi[axis] - lo[axis];
        invExtent[axis] = 1.0f / extent[axis];
        invCellSize[axis] = 1.0f / size;
    }
    cellSize = size;
    Clear();
    const int32_t total = CellsFor(box, size);
    if (total == 0) return 0;
    int32_t* n[3] = {&nx, &ny, &nz};
    for (int axis = 0; axis < 3; ++axis) *n[axis] = std::max<int32_t>(1, int32_t(std::ceil(extent[axis] / size)));
    return total;
}

void TraceGrid::Attach(SWGridCellCluster* cellStorage, uint64_t* bitStorage) {
    cells = cellStorage;
    occupied = bitStorage;
    cellCount = nx * ny * nz;
    const Vec3 lo = bounds.Min();
    const float size = cellSize;
    for (int z = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x) {
                AABB3& b = Cell(x, y, z).box;
                b.minX = lo.x + float(x) * size;
                b.minY = lo.y + float(y) * size;
                b.minZ = lo.z + float(z) * size;
                b.maxX = lo.x + float(x + 1) * size;
                b.maxY = lo.y + float(y + 1) * size;
                b.maxZ = lo.z + float(z + 1) * size;
            }
        }
    }
}

void TraceGrid::Init(const AABB3& box, float size) {
    const int32_t total = Layout(box, size);
    if (total == 0) return;
    ownCells.reset(new SWGridCellCluster[size_t(total)]);
    ownBits.reset(new uint64_t[OccupancyWords(total)]());
    Attach(ownCells.get(), ownBits.get());
}

void TraceGrid::InitIn(const AABB3& box, float size, SWGridCellCluster* cellStorage, uint64_t* bitStorage) {
    if (Layout(box, size) == 0) return;
    Attach(cellStorage, bitStorage);
}

void TraceGrid::MarkOccupied() {
    std::fill(occupied, occupied + OccupancyWords(cellCount), uint64_t(0));
    for (int i = 0; i < cellCount; ++i)
        if (cells[i].triangleCount >= 1) occupied[size_t(i) >> 6] |= uint64_t(1) << (i & 63);
}

TraceGridStatistics ComputeGridStatistics(const TraceGrid& grid) {
    TraceGridStatistics stats;
    stats.cellCount = grid.cellCount;
    int64_t sum = 0;
    int32_t used = 0;
    for (int i = 0; i < grid.cellCount; ++i) {
        const int32_t count = grid.cells[i].triangleCount;
        stats.highWater = std::max(stats.highWater, count);
        if (count >= 1) {
            sum += count;
            ++used;
        }
    }
    stats.meanCount = used > 0 ? int32_t(sum / used) : 0;
    stats.usage = grid.cellCount > 0 ? 1.0f - float(grid.cellCount - used) / float(grid.cellCount) : 0.0f;
    return stats;
}

// ---- SWTraceMesh ------------------------------------------------------------------------------

SWTraceMesh::SWTraceMesh() : grid(this) {}
SWTraceMesh::~SWTraceMesh() = default;

bool SWTraceMesh::Build(const TraceGridSettings* settings, unsigned workers) {
    const TraceGridSettings tuning = settings ? *settings : TraceGridSettings();
    grid.outliers = nullptr;
    blocks = {};
    if (grid.cellCount == 0) return true;
    try {
        BinAndFinishCells(tuning, workers);
    } catch (...) {
        // Half-finished cells hold unpadded packets: leave a grid on which every ray misses.
        grid.Clear();
        blocks = {};
        throw;
    }
    return true;
}

// Counts first, allocates each kind of storage once for what the counts ask, then fills: the
// root cells bin every triangle twice, the crowded ones are laid out as nested grids whose
// cells are counted and then filled from the triangles the root cell took. Workers share no
// cell, so the grid is the same for any number of them.
void SWTraceMesh::BinAndFinishCells(const TraceGridSettings& tuning, unsigned workers) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    ThreadPool pool(workers);
    // The root binning runs over slices of consecutive triangles. Each slice counts what it
    // puts in each cell; a slice then writes its triangles of a cell after those of the slices
    // before it, so every cell holds its triangles in index order, as one pass over them would.
    const int triangleCount = int(triangles.size());
    size_t cellCount = 0;
    int slices = 1;
    std::vector<int32_t> sliceCounts;
    std::vector<std::vector<int>> sliceOutliers;
    // A triangle flat within the rounding of its corners spans no area the file meant, and no
    // cell takes it. Where its stored edges e1, e2 are exactly parallel, for every ray, in exact
    // arithmetic on what the kernels are given, the Moeller-Trumbore determinant
    // e1 . (d x e2) = d . (e2 x e1) is zero, and so is the Pluecker normal, e1 x e2 rebuilt from
    // the corners less the origin; every kernel rejects a zero determinant, though all but the
    // double Pluecker kernel round on the way and may report a hit for a ray through its line.
    // Where rounding moved its corners apart, it is a sliver no wider than that rounding: a
    // kernel that finds it finds a normal made of rounding. Either way a hit there is on no
    // surface, and a million such triangles along one line would crowd every cell they cross.
    // Judged once, a bit a triangle, for the passes that follow.
    std::vector<uint64_t> flat((size_t(triangleCount) + 63) / 64, 0);
    const float settle = FlatSettle(positions, pool);
    pool.ParallelFor(size_t(0), flat.size(), size_t(256), [&](size_t first, size_t last) {
        for (size_t word = first; word < last; ++word) {
            uint64_t bits = 0;
            const size_t end = std::min(size_t(triangleCount), word * 64 + 64);
            for (size_t i = word * 64; i < end; ++i) {
                const MeshTriangle& t = triangles[i];
                if (FlatWithinRounding(positions[t.vertex0], positions[t.vertex1], positions[t.vertex2], settle))
                    bits |= uint64_t(1) << (i % 64);
            }
            flat[word] = bits;
        }
    });
    auto binned = [&](const MeshTriangle& t) {
        const size_t i = size_t(&t - triangles.data());
        return !((flat[i / 64] >> (i % 64)) & 1);
    };
    auto inside = [&](const MeshTriangle& t) {
        return !outsideToOutliers || InsideGrid(grid, positions[t.vertex0], positions[t.vertex1], positions[t.vertex2]);
    };
    auto sliceOf = [&](int slice) { return std::pair<int, int>(int(int64_t(triangleCount) * slice / slices),
                                                           int(int64_t(triangleCount) * (slice + 1) / slices)); };
    auto eachSlice = [&](auto&& body) {
        pool.ParallelFor(0, slices, 1, [&](int first, int last) {
            for (int slice = first; slice < last; ++slice) body(slice);
        });
    };
    auto countsOf = [&](int slice) { return sliceCounts.data() + size_t(slice) * cellCount; };
    // A root grid too fine for heavily overlapping triangles is laid again with cells twice as
    // large, until the triangles' boxes and then their references fit the budget.
    for (;;) {
        cellCount = size_t(grid.cellCount);
        constexpr size_t kCountBudget = size_t(1) << 24;  // per-slice counters for all cells, at most
        slices = int(std::clamp<size_t>(kCountBudget / std::max<size_t>(cellCount, 1), 1,
                                        std::min<size_t>(size_t(workers) * 4, size_t(std::max(triangleCount, 1)))));
        std::vector<int64_t> sliceTaken(size_t(slices), 0), sliceSpanned(size_t(slices), 0);
        eachSlice([&](int slice) {
            const auto [begin, end] = sliceOf(slice);
            int64_t taken = 0, spanned = 0;
            for (int i = begin; i < end; ++i) {
                const MeshTriangle& t = triangles[i];
                if (!binned(t) || !inside(t)) continue;
                ++taken;
                spanned += BoxCells(grid, positions[t.vertex0], positions[t.vertex1], positions[t.vertex2]);
            }
            sliceTaken[size_t(slice)] = taken;
            sliceSpanned[size_t(slice)] = spanned;
        });
        int64_t taken = 0, spanned = 0;
        for (int slice = 0; slice < slices; ++slice) {
            taken += sliceTaken[size_t(slice)];
            spanned += sliceSpanned[size_t(slice)];
        }
        const bool last = cellCount <= 1;
        int64_t references = 0;
        if (last || spanned <= kSpanPerTriangle * taken + kReferenceAllowance) {
            sliceCounts.assign(size_t(slices) * cellCount, 0);
            sliceOutliers.assign(size_t(slices), {});
            eachSlice([&](int slice) {
                int32_t* counts = countsOf(slice);
                const auto [begin, end] = sliceOf(slice);
                for (int i = begin; i < end; ++i) {
                    const MeshTriangle& t = triangles[i];
                    if (!binned(t)) continue;
                    if (!inside(t)) {
                        sliceOutliers[size_t(slice)].push_back(i);
                        continue;
                    }
                    BinTriangle(grid, positions[t.vertex0], positions[t.vertex1], positions[t.vertex2],
                                [&](SWGridCellCluster& cell) { ++counts[&cell - grid.cells]; });
                }
            });
            // Counts become each slice's first position in the cell.
            pool.ParallelFor(size_t(0), cellCount, std::max<size_t>(1024, cellCount / (size_t(workers) * 8)),
                             [&](size_t first, size_t last) {
                                 for (size_t c = first; c < last; ++c) {
                                     int32_t total = 0;
                                     for (int slice = 0; slice < slices; ++slice) {
                                         int32_t& count = sliceCounts[size_t(slice) * cellCount + c];
                                         const int32_t own = count;
                                         count = total;
                                         total += own;
                                     }
                                     grid.cells[c].triangleCount = total;
                                 }
                             });
            for (size_t c = 0; c < cellCount; ++c) references += grid.cells[c].triangleCount;
            if (last || references <= kRootReferencesPerTriangle * taken + kReferenceAllowance) break;
        }
        const AABB3 box = grid.bounds;
        float coarser = grid.cellSize * 2.0f;
        if (!std::isfinite(coarser)) coarser = std::numeric_limits<float>::max();
        grid.Init(box, coarser);
    }
    std::vector<int> outliers;
    for (const auto& found : sliceOutliers) outliers.insert(outliers.end(), found.begin(), found.end());
    // Every ray tests the outliers, so a crowd of them is tested once per distinct triangle; they
    // are at most the few giants ChooseGridBox leaves out.
    if (int(outliers.size()) > tuning.threshold)
        outliers.resize(size_t(KeepFirstOfEqual(outliers.data(), int(outliers.size()), triangles.data())));
    grid.MarkOccupied();

    // Which root cells get a nested grid (root cells are at depth 1, so every crowded one),
    // and how much of each kind of storage that takes. A cell too wide for a nested grid of
    // its own stays a leaf with all its triangles.
    struct Split {
        int32_t cell;
        NestedLayout layout;
        size_t firstCell, firstWord, firstId;
    };
    std::vector<Split> splits;
    std::vector<int32_t> splitOf(size_t(grid.cellCount), -1);
    size_t rootPackets = 0, stagedIds = 0, nestedCells = 0, nestedWords = 0;
    for (int32_t i = 0; i < grid.cellCount; ++i) {
        const SWGridCellCluster& cell = grid.cells[i];
        if (cell.triangleCount <= 0) continue;
        if (cell.triangleCount > tuning.threshold) {
            const NestedLayout layout = LayoutNested(cell, tuning);
            if (layout.cells > 0) {
                splitOf[size_t(i)] = int32_t(splits.size());
                splits.push_back({i, layout, nestedCells, nestedWords, stagedIds});
                stagedIds += size_t(cell.triangleCount);
                nestedCells += size_t(layout.cells);
                nestedWords += TraceGrid::OccupancyWords(layout.cells);
                continue;
            }
        }
        rootPackets += size_t(cell.PacketsNeeded());
    }

    // Crowded cells hold only the ids of their triangles, in written order, until their nested
    // grid has them: the triangles are read back from the mesh as the root cells would have
    // stored them.
    const LargeArray<int32_t> staged = AllocateLarge<int32_t>(stagedIds);
    blocks.rootPackets = AllocateLarge<TrianglePacket>(rootPackets);
    TrianglePacket* nextRoot = blocks.rootPackets.get();
    for (int32_t i = 0; i < grid.cellCount; ++i) {
        SWGridCellCluster& cell = grid.cells[i];
        if (splitOf[size_t(i)] >= 0) {
            cell.capacity = cell.triangleCount;
            continue;
        }
        cell.Allocate(nextRoot);
        if (cell.triangleCount > 0) nextRoot += cell.PacketsNeeded();
    }
    auto stagedTriangles = [&](const Split& split) {
        return [this, ids = staged.get() + split.firstId](int i) {
            const int32_t id = ids[i];
            const MeshTriangle& t = triangles[size_t(id)];
            const Vec3 a = positions[t.vertex0];
            return TraceTriangle{a, positions[t.vertex1] - a, positions[t.vertex2] - a, id};
        };
    };
    eachSlice([&](int slice) {
        int32_t* next = countsOf(slice);
        const auto [begin, end] = sliceOf(slice);
        for (int i = begin; i < end; ++i) {
            const MeshTriangle& t = triangles[i];
            if (!binned(t) || !inside(t)) continue;
            const Vec3 a = positions[t.vertex0];
            const Vec3 e1 = positions[t.vertex1] - a, e2 = positions[t.vertex2] - a;
            BinTriangle(grid, a, positions[t.vertex1], positions[t.vertex2], [&](SWGridCellCluster& cell) {
                const size_t c = size_t(&cell - grid.cells);
                const int32_t at = next[c]++;
                const int32_t split = splitOf[c];
                if (split >= 0)
                    staged[splits[size_t(split)].firstId + size_t(at)] = i;
                else
                    cell.Put(at, a, e1, e2, i);
            });
        }
    });
    for (size_t c = 0; c < cellCount; ++c) grid.cells[c].written = grid.cells[c].capacity;
    sliceCounts = {};

    // A large crowded cell in which a sample finds equal triangles keeps only the first of them
    // before its nested grid is laid out, so that the grid and its storage are laid for what is
    // left. Others are looked at once their nested grid is counted.
    std::vector<char> deduplicated(splits.size(), 0);
    pool.ParallelFor(size_t(0), splits.size(), size_t(64), [&](size_t first, size_t last) {
        for (size_t k = first; k < last; ++k) {
            SWGridCellCluster& cell = grid.cells[splits[k].cell];
            int32_t* const ids = staged.get() + splits[k].firstId;
            if (cell.written <= kSampledCell || !SampleHasEqualTriangles(ids, cell.written, triangles.data())) continue;
            deduplicated[k] = 1;
            cell.triangleCount = cell.capacity = cell.written = KeepFirstOfEqual(ids, cell.written, triangles.data());
        }
    });
    if (std::find(deduplicated.begin(), deduplicated.end(), 1) != deduplicated.end()) {
        nestedCells = nestedWords = 0;
        for (size_t k = 0; k < splits.size(); ++k) {
            Split& split = splits[k];
            const SWGridCellCluster& cell = grid.cells[split.cell];
            if (deduplicated[k])
                split.layout = cell.triangleCount > tuning.threshold ? LayoutNested(cell, tuning) : NestedLayout();
            split.firstCell = nestedCells;
            split.firstWord = nestedWords;
            nestedCells += size_t(split.layout.cells);
            nestedWords += TraceGrid::OccupancyWords(split.layout.cells);
        }
    }

    if (!outliers.empty()) {
        SWGridCellCluster& leaf = blocks.outliers;
        leaf.triangleCount = int32_t(outliers.size());
        blocks.outlierPackets = AllocateLarge<TrianglePacket>(size_t(leaf.PacketsNeeded()));
        leaf.Allocate(blocks.outlierPackets.get());
        leaf.box = {};
        for (int i : outliers) {
            const MeshTriangle& t = triangles[size_t(i)];
            const Vec3 a = positions[t.vertex0];
            leaf.Append(a, positions[t.vertex1] - a, positions[t.vertex2] - a, i);
            for (int32_t v : {t.vertex0, t.vertex1, t.vertex2}) leaf.box.Expand(positions[size_t(v)]);
        }
        leaf.PadAndComputeNormals();
        if (leaf.triangleCount > tuning.threshold) GiveOutliersAGrid(tuning);
        grid.outliers = &leaf;
    }

    blocks.nestedGrids.reset(new TraceGrid[splits.size()]);
    blocks.nestedGridCount = splits.size();
    // Written once each, by the tasks that lay out the nested grids: these come without a
    // serial pass over them and take a page fault per huge page, in parallel.
    blocks.nestedCells = AllocateLarge<SWGridCellCluster>(nestedCells);
    blocks.nestedBits = AllocateLarge<uint64_t>(nestedWords);

    // Root cells are handed out in the order x, y, z (z innermost), in runs of consecutive
    // cells of about equal triangle load.
    const int ny = grid.ny, nz = grid.nz;
    auto indexAt = [&](int64_t k) {
        const int z = int(k % nz), y = int((k / nz) % ny), x = int(k / (int64_t(nz) * ny));
        return x + grid.nx * (y + ny * z);
    };
    int64_t totalLoad = 0;
    for (int i = 0; i < grid.cellCount; ++i) totalLoad += grid.cells[i].triangleCount + 1;
    const int64_t runLoad = std::max<int64_t>(1, totalLoad / (int64_t(workers) * 32));
    std::vector<int64_t> runEnds;
    int64_t load = 0;
    for (int64_t k = 0; k < grid.cellCount; ++k) {
        load += grid.cells[indexAt(k)].triangleCount + 1;
        if (load >= runLoad || k + 1 == grid.cellCount) {
            runEnds.push_back(k + 1);
            load = 0;
        }
    }
    auto forEachRootCell = [&](auto&& visit) {
        pool.ParallelFor(size_t(0), runEnds.size(), size_t(1), [&](size_t first, size_t last) {
            for (size_t run = first; run < last; ++run)
                for (int64_t k = run == 0 ? 0 : runEnds[run - 1]; k < runEnds[run]; ++k) visit(indexAt(k));
        });
    };

    // Leaves are final; crowded cells get their nested grid laid out and counted. A crowded
    // cell whose nested grid would not pay stays a leaf. A cell too small to be sampled keeps
    // only the first of equal triangles once the count shows a crowd no grid can sort out (its
    // nested grid would not pay, or would leave a cell of it crowded), and is counted again; in a
    // sampled cell without them such a crowd is an ordinary one, like the fan at a pole.
    std::vector<char> staysLeaf(splits.size(), 0);
    std::vector<size_t> packetsAt(splits.size(), 0);  // each split's packets, then where they start in their block
    forEachRootCell([&](int index) {
        SWGridCellCluster& cell = grid.cells[index];
        const int32_t split = splitOf[size_t(index)];
        if (split < 0) {
            cell.PadAndComputeNormals();
            return;
        }
        const Split& s = splits[size_t(split)];
        TraceGrid& nested = blocks.nestedGrids[size_t(split)];
        nested.owner = this;
        SWGridCellCluster* const nestedCells = blocks.nestedCells.get() + s.firstCell;
        uint64_t* const nestedBits = blocks.nestedBits.get() + s.firstWord;
        int32_t* const ids = staged.get() + s.firstId;
        const auto read = stagedTriangles(s);
        const int32_t laidFor = cell.written;
        bool counted = false;
        auto keepFirstOfEqual = [&] {
            const int kept = KeepFirstOfEqual(ids, cell.written, triangles.data());
            if (kept == cell.written) return false;
            cell.triangleCount = cell.capacity = cell.written = kept;
            return true;
        };
        size_t packets = 0;
        int32_t most = 0;
        // Lays the nested grid out for the cell's triangles, in the storage set aside for all it
        // binned, and counts them into it; false when the cell is to stay a leaf.
        auto layOutAndCount = [&] {
            // Fewer triangles lay out no more cells, but odd tuning values might.
            const NestedLayout layout = cell.written == laidFor ? s.layout : LayoutNested(cell, tuning);
            if (cell.written <= tuning.threshold || layout.cells == 0 || layout.cells > s.layout.cells) return false;
            if (counted) std::fill_n(nestedCells, size_t(s.layout.cells), SWGridCellCluster());
            counted = true;
            nested.InitIn(layout.box, layout.size, nestedCells, nestedBits);
            if (!CountNested(cell.written, read, nested)) return false;
            packets = 0;
            most = 0;
            for (int i = 0; i < nested.cellCount; ++i) {
                packets += size_t(nested.cells[i].PacketsNeeded());
                most = std::max(most, nested.cells[i].triangleCount);
            }
            return true;
        };
        // Counted at one place only, so that the count is compiled into the task.
        bool pays = false;
        for (bool again = false;; again = true) {
            pays = layOutAndCount();
            if (again || (pays && most <= kCrowdedNestedCell)) break;
            if (cell.written > kSampledCell || deduplicated[size_t(split)]) break;
            if (!keepFirstOfEqual()) break;
        }
        if (!pays) {
            staysLeaf[size_t(split)] = 1;
            packetsAt[size_t(split)] = size_t(cell.PacketsNeeded());
            return;
        }
        nested.MarkOccupied();
        packetsAt[size_t(split)] = packets;
    });

    size_t nestedPackets = 0, keptPackets = 0;
    for (size_t k = 0; k < splits.size(); ++k) {
        size_t& total = staysLeaf[k] ? keptPackets : nestedPackets;
        const size_t own = packetsAt[k];
        packetsAt[k] = total;
        total += own;
    }
    blocks.nestedPackets = AllocateLarge<TrianglePacket>(nestedPackets);
    blocks.keptPackets = AllocateLarge<TrianglePacket>(keptPackets);

    // The nested grids take the crowded cells' triangles; their cells are all leaves.
    forEachRootCell([&](int index) {
        const int32_t split = splitOf[size_t(index)];
        if (split < 0) return;
        SWGridCellCluster& cell = grid.cells[index];
        const auto read = stagedTriangles(splits[size_t(split)]);
        if (staysLeaf[size_t(split)]) {
            cell.Allocate(blocks.keptPackets.get() + packetsAt[size_t(split)]);
            for (int i = 0; i < cell.capacity; ++i) {
                const TraceTriangle t = read(i);
                cell.Append(t.a, t.e1, t.e2, t.id);
            }
            cell.PadAndComputeNormals();
            return;
        }
        TraceGrid& nested = blocks.nestedGrids[size_t(split)];
        TrianglePacket* next = blocks.nestedPackets.get() + packetsAt[size_t(split)];
        for (int i = 0; i < nested.cellCount; ++i) {
            SWGridCellCluster& child = nested.cells[i];
            child.Allocate(next);
            if (child.triangleCount > 0) next += child.PacketsNeeded();
        }
        BinCellTriangles(cell.written, read, nested,
                         [](SWGridCellCluster& child, const TraceTriangle& t) { child.Append(t.a, t.e1, t.e2, t.id); });
        for (int i = 0; i < nested.cellCount; ++i) nested.cells[i].PadAndComputeNormals();
        cell.packets = nullptr;
        cell.packetCount = 0;
        cell.nested = &nested;
    });
}

TraceGridFootprint SWTraceMesh::Footprint() const {
    TraceGridFootprint footprint;
    auto leafReferences = [](const SWGridCellCluster& cell) {
        if (!cell.nested) return int64_t(cell.written);
        int64_t references = 0;
        for (int i = 0; i < cell.nested->cellCount; ++i) references += cell.nested->cells[i].written;
        return references;
    };
    for (int i = 0; i < grid.cellCount; ++i) footprint.references += leafReferences(grid.cells[i]);
    if (grid.outliers) footprint.references += leafReferences(*grid.outliers);

    auto cellBytes = [](size_t cells) {
        return int64_t(cells * sizeof(SWGridCellCluster) + TraceGrid::OccupancyWords(int32_t(cells)) * sizeof(uint64_t));
    };
    footprint.bytes = cellBytes(size_t(grid.cellCount));
    footprint.bytes += int64_t(blocks.nestedGridCount * sizeof(TraceGrid));
    if (blocks.nestedCells) footprint.bytes += int64_t(blocks.nestedCells.get_deleter().bytes);
    if (blocks.nestedBits) footprint.bytes += int64_t(blocks.nestedBits.get_deleter().bytes);
    if (blocks.outlierGrid) footprint.bytes += int64_t(sizeof(TraceGrid)) + cellBytes(size_t(blocks.outlierGrid->cellCount));
    for (const LargeArray<TrianglePacket>* packets : {&blocks.rootPackets, &blocks.nestedPackets, &blocks.keptPackets,
                                                      &blocks.outlierPackets, &blocks.outlierGridPackets})
        if (packets->get()) footprint.bytes += int64_t(packets->get_deleter().bytes);
    return footprint;
}

// A crowd of giants would make every ray test each of them: they get a grid over their own
// box, laid out as a crowded root cell's, whose cells take the leaf's triangles.
void SWTraceMesh::GiveOutliersAGrid(const TraceGridSettings& tuning) {
    SWGridCellCluster& leaf = blocks.outliers;
    const NestedLayout layout = LayoutNested(leaf, tuning);
    if (layout.cells == 0) return;  // the leaf keeps its packets
    auto nested = std::make_unique<TraceGrid>(this);
    nested->Init(layout.box, layout.size);
    auto read = [&leaf](int i) { return leaf.ReadTriangle(i); };
    if (!CountNested(leaf.written, read, *nested)) return;
    size_t packets = 0;
    for (int c = 0; c < nested->cellCount; ++c) packets += size_t(nested->cells[c].PacketsNeeded());
    blocks.outlierGridPackets = AllocateLarge<TrianglePacket>(packets);
    TrianglePacket* next = blocks.outlierGridPackets.get();
    for (int c = 0; c < nested->cellCount; ++c) {
        SWGridCellCluster& child = nested->cells[c];
        child.Allocate(next);
        if (child.triangleCount > 0) next += child.PacketsNeeded();
    }
    BinCellTriangles(leaf.written, read, *nested,
                     [](SWGridCellCluster& child, const TraceTriangle& t) { child.Append(t.a, t.e1, t.e2, t.id); });
    for (int c = 0; c < nested->cellCount; ++c) nested->cells[c].PadAndComputeNormals();
    nested->MarkOccupied();
    blocks.outlierGrid = std::move(nested);
    blocks.outlierPackets.reset();
    leaf.packets = nullptr;
    leaf.packetCount = 0;
    leaf.nested = blocks.outlierGrid.get();
}

// ---- Cell size and overlap --------------------------------------------------------------------

float ChooseRootCellSize(const TraceGridSettings& settings, const AABB3& bounds, int triangleCount) {
    if (bounds.IsEmpty() || !IsFiniteBox(bounds)) return 0.0f;
    const float dx = bounds.maxX - bounds.minX, dy = bounds.maxY - bounds.minY, dz = bounds.maxZ - bounds.minZ;
    const float longest = std::max(dx, std::max(dy, dz));
    if (!(longest > 0.0f) || !std::isfinite(longest)) return 0.0f;

    float size = 0.25f * longest;
    float step = 0.5f;
    bool growing = false;
    for (int round = 0; round < 256 && step > 1e-5f; ++round) {
        // Counts in 64 bits: a small size over a long box overflows a 32-bit product.
        const double cells = CellsOnAxis(dz, size) * CellsOnAxis(dy, size) * CellsOnAxis(dx, size);
        const float mean = float(triangleCount) / float(cells);
        if (cells > double(settings.maxRootCells) || mean < settings.targetMin) {
            if (!growing) {
                step *= 0.5f;
                growing = true;
            }
            size = size + step * size;
        } else if (mean > settings.targetMax) {
            if (growing) {
                step *= 0.5f;
                growing = false;
            }
            size = size - step * size;
        } else {
            break;
        }
        if (!std::isfinite(size)) return std::numeric_limits<float>::max();
    }
    return size;
}

bool TriangleBoxOverlap(Vec3 centre, Vec3 half, Vec3 a, Vec3 b, Vec3 c) {
    const Vec3 v[3] = {a - centre, b - centre, c - centre};
    const Vec3 edges[3] = {v[1] - v[0], v[2] - v[1], v[0] - v[2]};

    auto separated = [&](Vec3 axis) {
        const float p0 = Math::Dot(v[0], axis), p1 = Math::Dot(v[1], axis), p2 = Math::Dot(v[2], axis);
        const float lo = std::min(p0, std::min(p1, p2)), hi = std::max(p0, std::max(p1, p2));
        const float radius = half.x * std::fabs(axis.x) + half.y * std::fabs(axis.y) + half.z * std::fabs(axis.z);
        return lo > radius || hi < -radius;
    };
    for (const Vec3& e : edges) {
        if (separated({0.0f, e.z, -e.y})) return false;  // e x (1, 0, 0)
        if (separated({-e.z, 0.0f, e.x})) return false;  // e x (0, 1, 0)
        if (separated({e.y, -e.x, 0.0f})) return false;  // e x (0, 0, 1)
    }
    for (int axis = 0; axis < 3; ++axis) {
        const float lo = std::min(v[0][axis], std::min(v[1][axis], v[2][axis]));
        const float hi = std::max(v[0][axis], std::max(v[1][axis], v[2][axis]));
        if (lo > half[axis] || hi < -half[axis]) return false;
    }
    const Vec3 normal = Math::Cross(edges[0], edges[1]);
    const float d = -Math::Dot(normal, v[0]);
    Vec3 vmin, vmax;
    for (int axis = 0; axis < 3; ++axis) {
        if (normal[axis] > 0.0f) {
            vmin[axis] = -half[axis];
            vmax[axis] = half[axis];
        } else {
            vmin[axis] = half[axis];
            vmax[axis] = -half[axis];
        }
    }
    if (Math::Dot(normal, vmin) + d > 0.0f) return false;
    return Math::Dot(normal, vmax) + d >= 0.0f;
}

}  // namespace Pallix::Bake
