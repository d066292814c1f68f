#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/largeblock.h"
#include "core/vecmath.h"
#include "geometry/scene.h"
#include "trace/tracegridsettings.h"
#include "trace/traceray.h"

namespace Pallix::Bake {

class SWTraceMesh;
class TraceGrid;

// Four triangles in structure-of-arrays form, one lane per triangle, so that one aligned load
// fetches a row for all four. Rows: 0-2 corner a, 3-5 edge b - a, 6-8 edge c - a, 9-11 unit
// normal, 12 the triangle id (an int32 stored in the float lane's bits).
struct alignas(16) TrianglePacket {
    enum Row : int { Ax = 0, Ay, Az, E1x, E1y, E1z, E2x, E2y, E2z, Nx, Ny, Nz, Id, RowCount };

    float rows[RowCount][4];

    int32_t GetId(int lane) const {
        int32_t id;
        std::memcpy(&id, &rows[Id][lane], sizeof id);
        return id;
    }
    void SetId(int lane, int32_t id) { std::memcpy(&rows[Id][lane], &id, sizeof id); }
};
static_assert(sizeof(TrianglePacket) == 208, "a packet is 13 rows of four floats");

// One triangle read back out of a packet lane for nested binning.
struct TraceTriangle {
    Math::Vec3 a;
    Math::Vec3 e1;
    Math::Vec3 e2;
    int32_t id = 0;
};

// One grid cell: its box, its triangles in packets and, when it held too many, a nested grid
// that holds them instead (the packets are then dropped; triangleCount keeps the count). Cells
// own nothing: their packets and nested grids live in blocks of the mesh (or of whoever gave
// the cell its storage).
struct SWGridCellCluster {
    Math::AABB3 box;
    int32_t triangleCount = 0;
    TrianglePacket* packets = nullptr;
    int32_t written = 0;
    int32_t capacity = 0;
    int32_t packetCount = 0;
    TraceGrid* nested = nullptr;

    // Packets needed for the counted triangles.
    int32_t PacketsNeeded() const { return (triangleCount + 3) / 4; }

    // Closest hit in this cell: a nested grid's walk, or the ray's kernel over the packets.
    bool Intersect(const TraceRay& ray, TraceHit* hit) const;
    bool Occluded(const TraceRay& ray) const;

    // Takes storage for the counted triangles (PacketsNeeded() packets, or null when there
    // are none) and resets the written count.
    void Allocate(TrianglePacket* storage);
    // Appends one triangle at lane written % 4 of packet written / 4; ignored once full.
    void Append(Math::Vec3 a, Math::Vec3 e1, Math::Vec3 e2, int32_t id);
    // Writes one triangle as the index-th of the cell (index below the capacity), for fills
    // that hand out the positions themselves; written is theirs to set.
    void Put(int index, Math::Vec3 a, Math::Vec3 e1, Math::Vec3 e2, int32_t id);
    TraceTriangle ReadTriangle(int index) const;
    // Repeats the last triangle into the empty lanes of the last packet and computes the normals.
    void PadAndComputeNormals();
};

// Uniform grid of cube cells over a box. The mesh owns the root grid; a root cell may point to
// one nested grid whose cells are always leaves.
class TraceGrid {
public:
    explicit TraceGrid(SWTraceMesh* owner = nullptr);
    ~TraceGrid();
    TraceGrid(const TraceGrid&) = delete;
    TraceGrid& operator=(const TraceGrid&) = delete;

    Math::AABB3 bounds;
    float extent[3] = {0, 0, 0};
    float invExtent[3] = {0, 0, 0};
    float invCellSize[3] = {0, 0, 0};
    float cellSize = 0.0f;
    int32_t nx = 0, ny = 0, nz = 0;
    SWGridCellCluster* cells = nullptr;
    int32_t cellCount = 0;
    SWTraceMesh* owner = nullptr;
    // One bit per cell, set when the cell holds a triangle: the walks test it before touching
    // the cell record, so the many empty cells cost no memory traffic.
    uint64_t* occupied = nullptr;
    // Root grid only: a leaf of the triangles that reach outside the grid's box, which every
    // ray tests before the walk (the assembly leaves a few giant triangles out of the box).
    const SWGridCellCluster* outliers = nullptr;

    // Lays cells of the given size over the box, in storage of its own. An empty, inverted or
    // non-finite box, or a cell size that is not a positive finite number, gives a grid without
    // cells on which every ray misses. Throws std::length_error when the cell count does not
    // fit 32 bits.
    void Init(const Math::AABB3& box, float size);
    // The same over storage that outlives the grid: CellsFor(box, size) cells and
    // OccupancyWords of as many bits.
    void InitIn(const Math::AABB3& box, float size, SWGridCellCluster* cellStorage, uint64_t* bitStorage);
    // How many cells Init lays over the box (0 for a grid without cells); throws as Init does.
    static int32_t CellsFor(const Math::AABB3& box, float size);
    static size_t OccupancyWords(int32_t cellCount) { return (size_t(cellCount) + 63) / 64; }
    // Drops every cell (the bounds stay): every ray then misses.
    void Clear();

    // Records which cells hold triangles; called once their counts are final.
    void MarkOccupied();
    bool IsOccupied(int index) const { return (occupied[index >> 6] >> (index & 63)) & 1u; }

    SWGridCellCluster& Cell(int x, int y, int z) { return cells[x + nx * (y + ny * z)]; }
    const SWGridCellCluster& Cell(int x, int y, int z) const { return cells[x + nx * (y + ny * z)]; }

    // Closest hit within the grid and its outliers; updates hit only when a nearer triangle is found.
    bool Intersect(const TraceRay& ray, TraceHit* hit) const;
    // True as soon as any triangle is hit with 0 <= t <= ray.maxDistance.
    bool Occluded(const TraceRay& ray) const;

private:
    // Fills every field but the storage; returns the cell count.
    int32_t Layout(const Math::AABB3& box, float size);
    void Attach(SWGridCellCluster* cellStorage, uint64_t* bitStorage);

    std::unique_ptr<SWGridCellCluster[]> ownCells;
    std::unique_ptr<uint64_t[]> ownBits;
};

// Root-cell statistics the bake engine records per map.
struct TraceGridStatistics {
    int32_t cellCount = 0;
    int32_t highWater = 0;    // most triangles in one root cell
    int32_t meanCount = 0;    // integer mean over the non-empty root cells, 0 when none
    float usage = 0.0f;       // 1 - empty cells / cell count
};
TraceGridStatistics ComputeGridStatistics(const TraceGrid& grid);

// What a trace mesh's grid takes: triangle references in its leaves (nested grids and the
// outlier leaf included) and the bytes of its cells, occupancy bits and packets.
struct TraceGridFootprint {
    int64_t references = 0;
    int64_t bytes = 0;
};

// The traceable form of a trace group: a world-space triangle soup with its two-level grid.
class SWTraceMesh : public Mesh {
public:
    SWTraceMesh();
    ~SWTraceMesh() override;

    // Bins every triangle into the root grid laid by TraceGrid::Init and finishes the cells in
    // parallel; workers 0 means one per hardware thread. With outsideToOutliers, a triangle
    // that reaches outside the grid's box goes to the grid's outlier leaf instead. The result
    // does not depend on the worker count. Returns true; a failing cell task is rethrown after
    // every task finished, and the grid is then left without cells.
    virtual bool Build(const TraceGridSettings* settings, unsigned workers = 0);

    TraceGridFootprint Footprint() const;

    TraceGrid grid;
    // Set when the grid's box leaves out triangles on purpose (ChooseGridBox's giants).
    bool outsideToOutliers = false;

private:
    void BinAndFinishCells(const TraceGridSettings& tuning, unsigned workers);
    void GiveOutliersAGrid(const TraceGridSettings& tuning);

    // Everything the cells point at, in a few blocks sized from the binning counts.
    struct Blocks {
        LargeArray<TrianglePacket> rootPackets;  // root cells that stay leaves
        LargeArray<TrianglePacket> keptPackets;  // crowded root cells that stay leaves
        std::unique_ptr<TraceGrid[]> nestedGrids;
        size_t nestedGridCount = 0;
        LargeArray<SWGridCellCluster> nestedCells;  // zero-filled: InitIn lays out each grid's cells
        LargeArray<uint64_t> nestedBits;
        LargeArray<TrianglePacket> nestedPackets;  // the nested grids' cells
        SWGridCellCluster outliers;
        LargeArray<TrianglePacket> outlierPackets;
        std::unique_ptr<TraceGrid> outlierGrid;  // over a crowd of outliers, in their packets' place
        LargeArray<TrianglePacket> outlierGridPackets;
    };
    Blocks blocks;
};

// The box for the root grid of a trace mesh over the scene: its bounds, unless giant
// triangles, each far larger than everything smaller together, would stretch them; the box then
// holds the rest (leavesOutGiants), and the build is to keep the giants out of the cells.
struct GridBox {
    Math::AABB3 box;
    bool leavesOutGiants = false;
};
GridBox ChooseGridBox(const Scene& scene);
// The same for a scene whose Scene::GetBounds are at hand.
GridBox ChooseGridBox(const Scene& scene, const Math::AABB3& sceneBounds);

// Builds one trace mesh per group name, in order (one over the whole scene without names),
// each as Scene::BuildTraceMesh builds it, and appends each to into once its grid is built.
// Uses the scene up on the way, so that no triangle is held twice for long: a mesh's arrays are
// freed once the last group that reads it has them, and a mesh that is all of that group is
// handed over instead of copied. The scene's meshes are left without arrays. The pool, when
// given, takes the passes over vertices; the grid builds use pools of their own. makeMesh, when
// given, makes the empty trace meshes (of a derived class, say).
using TraceMeshMaker = std::function<std::unique_ptr<SWTraceMesh>()>;
void BuildTraceMeshes(Scene& scene, const TraceGridSettings* settings, const std::vector<std::string>* groupNames,
                      std::vector<std::unique_ptr<SWTraceMesh>>& into, ThreadPool* pool = nullptr,
                      const TraceMeshMaker& makeMesh = nullptr);

// Root cell size for a grid over bounds holding triangleCount triangles: a bounded search for
// a size whose mean triangles per cell lie within the settings' targets. Returns 0 for bounds
// that are empty, inverted or not finite.
float ChooseRootCellSize(const TraceGridSettings& settings, const Math::AABB3& bounds, int triangleCount);

// Separating-axis test of a triangle against an axis-aligned box.
bool TriangleBoxOverlap(Math::Vec3 boxCentre, Math::Vec3 boxHalfSize, Math::Vec3 v0, Math::Vec3 v1, Math::Vec3 v2);

}  // namespace Pallix::Bake
