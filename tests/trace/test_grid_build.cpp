#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tracetesthelpers.h"

using namespace Pallix::Bake;
using Pallix::Math::AABB3;
using Pallix::Math::Vec3;
using TraceTest::Box;
using TraceTest::MakeTraceMesh;
using TraceTest::Triangle;

namespace {

// A mesh over a fixed box with unit cells (nx x ny x nz cells from the origin).
std::unique_ptr<SWTraceMesh> UnitCellMesh(const std::vector<Triangle>& soup, Vec3 cells, TraceGridSettings settings = {}) {
    const AABB3 box = Box({0, 0, 0}, cells);
    return MakeTraceMesh(soup, settings, 2, &box, 1.0f);
}

// Small triangle inside the unit cell whose minimum corner is at p.
Triangle InCell(Vec3 p, float shift = 0.0f) {
    return {p + Vec3{0.2f + shift, 0.2f, 0.3f}, p + Vec3{0.6f, 0.25f + shift, 0.4f}, p + Vec3{0.3f, 0.7f, 0.5f + shift}};
}

// A wall across a row of unit cells at x, covering the whole cross-section.
Triangle Wall(float x) { return {{x, -1, -1}, {x, 3, -1}, {x, -1, 3}}; }

struct Result {
    bool hit;
    int id;
    double t;
};

Result Cast(const SWTraceMesh& mesh, Vec3 origin, Vec3 direction, float limit, int kernel = KernelPlueckerDouble) {
    const TraceRay ray = TraceRay::Make(origin, direction, limit, kernel);
    TraceHit hit;
    hit.distance = limit;
    const bool found = mesh.grid.Intersect(ray, &hit);
    return {found, found ? hit.triangleId : -1, found ? hit.distance : 0.0};
}

bool Blocked(const SWTraceMesh& mesh, Vec3 origin, Vec3 direction, float limit) {
    return mesh.grid.Occluded(TraceRay::Make(origin, direction, limit, 0));
}

void ExpectSameGrid(const TraceGrid& a, const TraceGrid& b) {
    ASSERT_EQ(a.cellCount, b.cellCount);
    EXPECT_EQ(a.cellSize, b.cellSize);
    for (int i = 0; i < a.cellCount; ++i) {
        const SWGridCellCluster& ca = a.cells[i];
        const SWGridCellCluster& cb = b.cells[i];
        ASSERT_EQ(ca.triangleCount, cb.triangleCount) << "cell " << i;
        ASSERT_EQ(ca.packetCount, cb.packetCount) << "cell " << i;
        ASSERT_EQ(bool(ca.nested), bool(cb.nested)) << "cell " << i;
        if (ca.nested) {
            ExpectSameGrid(*ca.nested, *cb.nested);
        } else if (ca.packetCount > 0) {
            ASSERT_EQ(std::memcmp(ca.packets, cb.packets, sizeof(TrianglePacket) * ca.packetCount), 0)
                << "cell " << i;
        }
    }
}

}  // namespace

TEST(RootCellSize, EmptyOrInvertedBoundsGiveAnEmptyGridThatMissesEverything) {
    AABB3 empty;
    EXPECT_EQ(ChooseRootCellSize(TraceGridSettings(), empty, 10), 0.0f);
    AABB3 inverted = Box({0, 0, 0}, {1, 1, 1});
    std::swap(inverted.minX, inverted.maxX);
    EXPECT_EQ(ChooseRootCellSize(TraceGridSettings(), inverted, 10), 0.0f);
    AABB3 padded;
    padded.Pad(0.004f);  // a scene without meshes: the empty box widened

    for (const AABB3& box : {empty, inverted, padded}) {
        SWTraceMesh mesh;
        mesh.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        mesh.AddTriangle(0, 1, 2, -1);
        mesh.grid.Init(box, ChooseRootCellSize(TraceGridSettings(), box, 1));
        EXPECT_EQ(mesh.grid.cellCount, 0);
        EXPECT_TRUE(mesh.Build(nullptr, 1));
        TraceHit hit;
        hit.distance = 10.0;
        const TraceRay ray = TraceRay::Make({0.2f, 0.2f, 1.0f}, {0, 0, -1}, 10.0f, KernelPlueckerDouble);
        EXPECT_FALSE(mesh.grid.Intersect(ray, &hit));
        EXPECT_FALSE(mesh.grid.Occluded(ray));
    }
}

TEST(GridInit, CellBoxesAndAnOversizedRequest) {
    TraceGrid grid(nullptr);
    grid.Init(Box({0, 0, 0}, {2.5f, 1, 0.5f}), 1.0f);
    EXPECT_EQ(grid.nx, 3);
    EXPECT_EQ(grid.ny, 1);
    EXPECT_EQ(grid.nz, 1);
    EXPECT_EQ(grid.cellCount, 3);
    // The last cell reaches past the bounds.
    EXPECT_EQ(grid.Cell(2, 0, 0).box.minX, 2.0f);
    EXPECT_EQ(grid.Cell(2, 0, 0).box.maxX, 3.0f);
    EXPECT_EQ(grid.Cell(2, 0, 0).box.maxZ, 1.0f);

    TraceGrid huge(nullptr);
    EXPECT_THROW(huge.Init(Box({0, 0, 0}, {1, 1, 1}), 1e-4f), std::length_error);
    EXPECT_EQ(huge.cellCount, 0);
}

TEST(GridBuild, CrowdedCellsGetANestedGrid) {
    std::vector<Triangle> twenty, twentyOne;
    for (int i = 0; i < 21; ++i) {
        const Triangle t = InCell({0, 0, 0}, 0.01f * float(i));
        if (i < 20) twenty.push_back(t);
        twentyOne.push_back(t);
    }
    auto leaf = UnitCellMesh(twenty, {1, 1, 1});
    EXPECT_FALSE(leaf->grid.cells[0].nested);
    EXPECT_EQ(leaf->grid.cells[0].packetCount, 5);

    auto split = UnitCellMesh(twentyOne, {1, 1, 1});
    const SWGridCellCluster& cell = split->grid.cells[0];
    ASSERT_TRUE(cell.nested);
    EXPECT_EQ(cell.triangleCount, 21);  // root counts keep the triangles of the nested grid
    EXPECT_EQ(cell.packets, nullptr);
    const float padded = 1.0f + 2e-5f;
    EXPECT_FLOAT_EQ(cell.nested->cellSize, padded / 3.0f);
    EXPECT_EQ(cell.nested->bounds.minX, -1e-5f);
    EXPECT_EQ(cell.nested->owner, split.get());
    int nestedTriangles = 0;
    for (int i = 0; i < cell.nested->cellCount; ++i) {
        EXPECT_FALSE(cell.nested->cells[i].nested);  // two levels at most
        nestedTriangles += cell.nested->cells[i].triangleCount;
    }
    EXPECT_GE(nestedTriangles, 21);

    // A higher threshold keeps the same cell a leaf.
    TraceGridSettings lenient;
    lenient.threshold = 21;
    EXPECT_FALSE(UnitCellMesh(twentyOne, {1, 1, 1}, lenient)->grid.cells[0].nested);
}

TEST(GridBuild, ACrowdedCellAtTheEdgeOfTheFloatRangeStaysALeaf) {
    // Cells of 2e38 over [0, 3e38]: the far cells end past the largest float, so their boxes
    // are unbounded and cannot hold a nested grid.
    std::vector<Triangle> crowd;
    for (int i = 0; i < 21; ++i) {
        const float s = 2.2e38f + 1e36f * float(i);
        crowd.push_back({{s, s, s}, {s + 5e37f, s, s}, {s, s + 5e37f, s}});
    }
    const AABB3 box = Box({0, 0, 0}, {3e38f, 3e38f, 3e38f});
    auto mesh = MakeTraceMesh(crowd, {}, 2, &box, 2e38f);
    ASSERT_EQ(mesh->grid.cellCount, 8);
    const SWGridCellCluster& cell = mesh->grid.Cell(1, 1, 1);
    EXPECT_FALSE(std::isfinite(cell.box.maxX));
    EXPECT_FALSE(cell.nested);
    EXPECT_EQ(cell.triangleCount, 21);
    EXPECT_EQ(cell.written, 21);
    EXPECT_EQ(cell.packetCount, 6);
}

TEST(GridBuild, BinningByBoxAndByOverlap) {
    // A sliver from (0.05, 0.05) to (1.95, 1.2): its box covers four cells of the 2 x 2 layer
    // but it never enters cell (0, 1).
    const Triangle sliver{{0.05f, 0.05f, 0.5f}, {1.95f, 1.2f, 0.5f}, {1.95f, 1.21f, 0.52f}};
    // Lying in the face x = 1 shared by two cells, within one cell in y and z.
    const Triangle onFace{{1.0f, 0.1f, 0.1f}, {1.0f, 0.8f, 0.2f}, {1.0f, 0.3f, 0.9f}};
    // Box over two cells along x: put into both without a test.
    const Triangle twoCells{{0.9f, 0.1f, 0.1f}, {1.1f, 0.2f, 0.1f}, {0.95f, 0.3f, 0.2f}};

    auto count = [](const SWTraceMesh& m, int x, int y) { return m.grid.Cell(x, y, 0).triangleCount; };
    auto a = UnitCellMesh({sliver}, {2, 2, 1});
    EXPECT_EQ(count(*a, 0, 0), 1);
    EXPECT_EQ(count(*a, 1, 0), 1);
    EXPECT_EQ(count(*a, 1, 1), 1);
    EXPECT_EQ(count(*a, 0, 1), 0);

    auto b = UnitCellMesh({onFace}, {2, 2, 1});
    EXPECT_EQ(count(*b, 0, 0), 1);
    EXPECT_EQ(count(*b, 1, 0), 1);
    EXPECT_EQ(count(*b, 0, 1) + count(*b, 1, 1), 0);

    auto c = UnitCellMesh({twoCells}, {2, 2, 1});
    EXPECT_EQ(count(*c, 0, 0), 1);
    EXPECT_EQ(count(*c, 1, 0), 1);

    // Non-finite corners cannot be binned; the triangle stays in the mesh but in no cell.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto d = UnitCellMesh({{{nan, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.6f, 0.5f}}, InCell({1, 1, 0})}, {2, 2, 1});
    EXPECT_EQ(d->triangles.size(), 2u);
    EXPECT_EQ(count(*d, 0, 0) + count(*d, 1, 0) + count(*d, 0, 1), 0);
    EXPECT_EQ(count(*d, 1, 1), 1);
}

TEST(GridBuild, TriangleBoxOverlapTest) {
    const Vec3 centre{0, 0, 0}, half{1, 1, 1};
    EXPECT_TRUE(TriangleBoxOverlap(centre, half, {-0.5f, -0.5f, 0}, {0.5f, -0.5f, 0}, {0, 0.5f, 0}));   // inside
    EXPECT_TRUE(TriangleBoxOverlap(centre, half, {-5, -5, 0}, {5, -5, 0}, {0, 5, 0}));                // box inside it
    EXPECT_FALSE(TriangleBoxOverlap(centre, half, {2, 2, 2}, {3, 2, 2}, {2, 3, 2}));                  // beyond a face
    EXPECT_FALSE(TriangleBoxOverlap(centre, half, {3.5f, 0, 0}, {0, 3.5f, 0}, {0, 0, 3.5f}));         // cuts past a corner
    EXPECT_FALSE(TriangleBoxOverlap(centre, half, {1.2f, 1, -3}, {1, 1.2f, -3}, {1.1f, 1.1f, 3}));    // beside an edge
    EXPECT_TRUE(TriangleBoxOverlap(centre, half, {1.1f, 0.9f, -3}, {0.9f, 1.1f, -3}, {1, 1, 3}));     // across an edge
    EXPECT_TRUE(TriangleBoxOverlap(centre, half, {1, -3, -3}, {1, 3, -3}, {1, 0, 3}));                // touching a face
}

namespace {

// Reference overlap: clip the triangle by the six faces of a box of half-size h in double.
bool ClippedTriangleIsNotEmpty(const Vec3 (&corners)[3], double h) {
    std::vector<std::array<double, 3>> polygon;
    for (const Vec3& c : corners) polygon.push_back({c.x, c.y, c.z});
    for (int axis = 0; axis < 3 && !polygon.empty(); ++axis) {
        for (double side : {-1.0, 1.0}) {
            std::vector<std::array<double, 3>> kept;
            for (size_t i = 0; i < polygon.size(); ++i) {
                const auto& a = polygon[i];
                const auto& b = polygon[(i + 1) % polygon.size()];
                const double da = h - side * a[axis], db = h - side * b[axis];  // >= 0 inside
                if (da >= 0) kept.push_back(a);
                if ((da >= 0) != (db >= 0)) {
                    const double t = da / (da - db);
                    kept.push_back({a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])});
                }
            }
            polygon.swap(kept);
        }
    }
    return !polygon.empty();
}

}  // namespace

TEST(GridBuild, TriangleBoxOverlapAgreesWithClipping) {
    // Small triangles scattered around the box exercise every separating axis, the nine edge
    // axes included; cases within 1e-3 of touching are left out.
    TraceTest::Random random(11);
    int decided = 0, disagreements = 0;
    for (int i = 0; i < 200000; ++i) {
        const Vec3 centre = random.InBox(-1.8f, 1.8f);
        const float size = random.Range(0.05f, 1.55f);
        const Vec3 corners[3] = {centre + random.InBox(-size, size), centre + random.InBox(-size, size),
                                 centre + random.InBox(-size, size)};
        const bool inside = ClippedTriangleIsNotEmpty(corners, 1.0 - 1e-3);
        const bool touching = ClippedTriangleIsNotEmpty(corners, 1.0 + 1e-3);
        if (inside != touching) continue;
        ++decided;
        disagreements += TriangleBoxOverlap({0, 0, 0}, {1, 1, 1}, corners[0], corners[1], corners[2]) != inside;
    }
    EXPECT_GT(decided, 190000);
    EXPECT_EQ(disagreements, 0);
}

TEST(GridBuild, SameGridWithOneOrEightWorkers) {
    TraceTest::Random random(7);
    std::vector<Triangle> soup;
    for (int i = 0; i < 6000; ++i) {
        const Vec3 p = i % 3 == 0 ? random.InBox(0.1f, 0.2f) : random.InBox(-1.0f, 1.0f);
        const float s = i % 50 == 0 ? 0.8f : 0.05f;
        soup.push_back({p, p + random.Direction() * s, p + random.Direction() * s});
    }
    TraceGridSettings settings;
    settings.targetMin = 4.0f;
    settings.targetMax = 16.0f;
    auto one = MakeTraceMesh(soup, settings, 1);
    auto eight = MakeTraceMesh(soup, settings, 8);
    ExpectSameGrid(one->grid, eight->grid);

    int nested = 0, leaves = 0;
    for (int i = 0; i < one->grid.cellCount; ++i) {
        nested += one->grid.cells[i].nested ? 1 : 0;
        leaves += !one->grid.cells[i].nested && one->grid.cells[i].triangleCount > 0 ? 1 : 0;
    }
    // Leaves and nested grids side by side, so the comparison covers both.
    EXPECT_GT(nested, 0);
    EXPECT_GT(leaves, 0);
    // A grid without cells has statistics of zero.
    EXPECT_EQ(ComputeGridStatistics(TraceGrid(nullptr)).meanCount, 0);
}

namespace {

double ReferencesPerTriangle(const SWTraceMesh& mesh) {
    return double(mesh.Footprint().references) / double(mesh.triangles.size());
}
double BytesPerTriangle(const SWTraceMesh& mesh) { return double(mesh.Footprint().bytes) / double(mesh.triangles.size()); }

// Rays straight down onto the mesh from a row of points: the grid finds the nearest distance
// that a test of every triangle finds (among coincident triangles any one of them will do).
void ExpectNearestDistances(const SWTraceMesh& mesh, const std::vector<Triangle>& soup) {
    for (int i = 0; i < 12; ++i) {
        const Vec3 origin{0.04f + 0.08f * float(i), 0.93f - 0.07f * float(i), 2.0f};
        const TraceTest::Hit exact = TraceTest::BruteForceClosest(soup, origin, {0, 0, -1}, 10.0);
        const Result found = Cast(mesh, origin, {0, 0, -1}, 10.0f);
        ASSERT_EQ(found.hit, exact.hit) << "ray " << i;
        if (found.hit) {
            EXPECT_NEAR(found.t, exact.t, 1e-5) << "ray " << i;
        }
        EXPECT_EQ(Blocked(mesh, origin, {0, 0, -1}, 10.0f), exact.hit) << "ray " << i;
    }
}

}  // namespace

TEST(GridBuild, OverlappingTrianglesTakeReferencesInProportionToTheirCount) {
    // A unit quad and a tilted triangle above it, the same three triangles 2000 times over, in
    // a root grid of 32^3 cells: every cell the quad crosses would take every copy, and so
    // would every cell of a nested grid under it.
    std::vector<Triangle> stack;
    for (int i = 0; i < 2000; ++i) {
        stack.push_back({{0, 0, 0.5f}, {1, 0, 0.5f}, {1, 1, 0.5f}});
        stack.push_back({{0, 0, 0.5f}, {1, 1, 0.5f}, {0, 1, 0.5f}});
        stack.push_back({{0.2f, 0.2f, 0.6f}, {0.9f, 0.3f, 0.9f}, {0.4f, 0.8f, 0.7f}});
    }
    const AABB3 unit = Box({0, 0, 0}, {1, 1, 1});
    const auto stacked = MakeTraceMesh(stack, {}, 0, &unit, 1.0f / 32.0f);
    EXPECT_LE(ReferencesPerTriangle(*stacked), 32.0);
    EXPECT_LE(BytesPerTriangle(*stacked), 3072.0);
    ExpectNearestDistances(*stacked, stack);

    // 200 coincident copies of a 10 x 10 plane, laid out as a bake lays its grid.
    std::vector<Triangle> planes;
    for (int copy = 0; copy < 200; ++copy)
        for (int i = 0; i < 10; ++i)
            for (int j = 0; j < 10; ++j) {
                const float x = 0.1f * float(i), y = 0.1f * float(j);
                planes.push_back({{x, y, 0}, {x + 0.1f, y, 0}, {x + 0.1f, y + 0.1f, 0}});
                planes.push_back({{x, y, 0}, {x + 0.1f, y + 0.1f, 0}, {x, y + 0.1f, 0}});
            }
    const auto coincident = MakeTraceMesh(planes);
    EXPECT_LE(ReferencesPerTriangle(*coincident), 8.0);
    EXPECT_LE(BytesPerTriangle(*coincident), 512.0);
    ExpectNearestDistances(*coincident, planes);
}

TEST(GridBuild, OrdinarySurfacesKeepEveryNestedGrid) {
    // A bumpy sphere of 8000 triangles: each crowded root cell gets its nested grid, at about
    // two references a triangle.
    std::vector<Triangle> sphere;
    auto at = [](int i, int j) {
        const float theta = 3.14159265f * float(i) / 40.0f, phi = 6.2831853f * float(j) / 100.0f;
        const float r = 1.0f + 0.08f * std::sin(9.0f * theta) * std::sin(7.0f * phi);
        return Vec3{r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta)};
    };
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 100; ++j) {
            sphere.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            sphere.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    const auto mesh = MakeTraceMesh(sphere);
    int crowded = 0;
    for (int i = 0; i < mesh->grid.cellCount; ++i) {
        const SWGridCellCluster& cell = mesh->grid.cells[i];
        if (cell.triangleCount <= TraceGridSettings().threshold) continue;
        ++crowded;
        EXPECT_TRUE(cell.nested) << "cell " << i << " of " << cell.triangleCount;
    }
    EXPECT_GT(crowded, 8);
    EXPECT_LE(ReferencesPerTriangle(*mesh), 3.0);
}

TEST(GridBuild, TrianglesWithoutAreaAreNotBinned) {
    // On a real triangle, 20000 triangles collapsed onto one point, 20000 of each kind with two
    // equal corners (a = b, a = c, b = c), all spread over the box, and 60000 with three
    // distinct corners on one line exactly as floats, in every order: a third spread over the
    // box, two thirds overlapping along one line across it as no grid could sort them. No ray
    // can hit them, so the grid is that of the real triangle alone.
    const std::vector<Triangle> real = {{{0, 0, 0.3f}, {1, 0, 0.3f}, {0, 1, 0.3f}}};
    std::vector<Triangle> soup = real;
    TraceTest::Random random(5);
    auto onGrid = [&](float lo, float hi) { return std::round(random.Range(lo, hi) * 4096.0f) / 4096.0f; };
    for (int i = 0; i < 20000; ++i) {
        const Vec3 p = random.InBox(0.0f, 1.0f), q = random.InBox(0.0f, 1.0f);
        soup.push_back({p, p, p});
        soup.push_back({p, p, q});
        soup.push_back({p, q, p});
        soup.push_back({q, p, p});
        const Vec3 start{onGrid(0.25f, 0.75f), onGrid(0.25f, 0.75f), onGrid(0.25f, 0.75f)};
        const Vec3 step{onGrid(-0.25f, 0.25f), onGrid(-0.25f, 0.25f), onGrid(-0.25f, 0.25f)};
        const Vec3 line{0.75f, 0.5f, 0.25f};
        const float from = onGrid(0.0f, 0.4f), to = onGrid(0.6f, 1.0f), middle = onGrid(0.45f, 0.55f);
        const Vec3 o = {0.125f, 0.25f, 0.5f};
        const Triangle kinds[] = {{start, start + step * 0.5f, start + step},
                                  {o + line * from, o + line * to, o + line * middle},
                                  {o + line * middle, o + line * from, o + line * to}};
        const Triangle& t = kinds[i % 3];
        soup.insert(soup.end(), {t, {t.b, t.c, t.a}, {t.c, t.a, t.b}});
    }
    const AABB3 unit = Box({0, 0, 0}, {1, 1, 1});
    const auto mesh = MakeTraceMesh(soup, {}, 0, &unit, 0.25f);
    const auto without = MakeTraceMesh(real, {}, 0, &unit, 0.25f);
    EXPECT_EQ(mesh->triangles.size(), soup.size());
    ExpectSameGrid(mesh->grid, without->grid);
    EXPECT_EQ(mesh->Footprint().references, without->Footprint().references);
    EXPECT_EQ(Cast(*mesh, {0.2f, 0.2f, 2}, {0, 0, -1}, 10.0f).id, 0);

    // Corners on a line in the file's decimals, in steps of ten-thousandths, that rounding moved
    // apart: slivers no wider than that rounding, left out too. A triangle a few times wider than
    // the rounding of its corners is a triangle, binned as any is.
    std::vector<Triangle> slivers = real, thin = real;
    for (int k = 0; k < 8; ++k) {
        auto decimal = [](int tenThousandths) { return float(double(tenThousandths) / 10000.0); };
        auto at = [&](int n) { return Vec3{decimal(1000 + n), decimal(2000 + 3 * k + n), decimal(3000 + 2 * n)}; };
        const Triangle sliver{at(0), at(1000 + k), at(3000 + k)};
        slivers.push_back(sliver);
        // The middle corner moved off the line by 2^-19, 32 units in the last place of the
        // largest coordinates.
        thin.push_back({sliver.a, sliver.b + Vec3{0x1p-19f, 0, -0x1p-20f}, sliver.c});
    }
    ExpectSameGrid(MakeTraceMesh(slivers, {}, 0, &unit, 0.25f)->grid, without->grid);
    EXPECT_GE(MakeTraceMesh(thin, {}, 0, &unit, 0.25f)->Footprint().references, without->Footprint().references + 8);
}

namespace {

// A triangle of a mesh whose identical vertices are shared: three positions and a material.
struct Corners {
    int a, b, c;
    int material = -1;
};

std::unique_ptr<SWTraceMesh> SharedCornerMesh(const std::vector<Vec3>& positions, const std::vector<Corners>& triangles,
                                              const AABB3& box, float cellSize, unsigned workers = 2) {
    auto mesh = std::make_unique<SWTraceMesh>();
    mesh->positions = positions;
    for (int i = 0; i < 2; ++i) mesh->AddMaterial(SceneMaterial());
    for (const Corners& t : triangles) mesh->AddTriangle(t.a, t.b, t.c, t.material);
    mesh->grid.Init(box, cellSize);
    mesh->Build(nullptr, workers);
    return mesh;
}

std::vector<Corners> Repeated(const std::vector<Corners>& pattern, int times) {
    std::vector<Corners> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), pattern.begin(), pattern.end());
    return all;
}

// Rays down onto the box and across it in every direction: every kernel, and the any-hit
// query, answer them on both meshes alike, to the bit.
void ExpectSameHits(const SWTraceMesh& a, const SWTraceMesh& b, const AABB3& box) {
    TraceTest::Random random(3);
    const Vec3 lo = box.Min(), hi = box.Max();
    for (int i = 0; i < 400; ++i) {
        const Vec3 target{random.Range(lo.x, hi.x), random.Range(lo.y, hi.y), random.Range(lo.z, hi.z)};
        const Vec3 d = i % 2 == 0 ? Vec3{0, 0, -1} : random.Direction();
        const Vec3 origin = target - d * 3.0f;
        for (int kernel = 1; kernel <= 7; ++kernel) {
            const TraceRay ray = TraceRay::Make(origin, d, 10.0f, kernel);
            TraceHit hitA, hitB;
            hitA.distance = hitB.distance = 10.0;
            ASSERT_EQ(a.grid.Intersect(ray, &hitA), b.grid.Intersect(ray, &hitB))
                << "ray " << i << ", kernel " << kernel;
            EXPECT_EQ(hitA.triangleId, hitB.triangleId) << "ray " << i << ", kernel " << kernel;
            EXPECT_EQ(hitA.distance, hitB.distance) << "ray " << i << ", kernel " << kernel;
            EXPECT_EQ(hitA.u, hitB.u) << "ray " << i << ", kernel " << kernel;
            EXPECT_EQ(hitA.v, hitB.v) << "ray " << i << ", kernel " << kernel;
        }
        EXPECT_EQ(Blocked(a, origin, d, 10.0f), Blocked(b, origin, d, 10.0f)) << "ray " << i;
    }
}

}  // namespace

TEST(GridBuild, CopiesOfATriangleAreTracedOnce) {
    // A large triangle over 4 x 4 root cells, and a small one inside one cell of a nested grid
    // there. Copies of the large one crowd every cell it crosses: 10000 are found in a sample
    // of the cell before its nested grid is counted, 3000 once that grid shows it would not pay;
    // 2000 copies of the small one, once they crowd one cell of the nested grid. Each time the
    // grid is that of the single triangle, and so is every answer. Copies found before the count
    // leave no storage laid out for nested grids.
    const std::vector<Vec3> corners = {{0.05f, 0.05f, 0.5f}, {3.9f, 0.1f, 0.6f}, {0.1f, 3.9f, 0.4f},
                                       {1.2f, 1.2f, 0.5f},  {1.25f, 1.2f, 0.5f}, {1.2f, 1.25f, 0.52f}};
    const AABB3 box = Box({0, 0, 0}, {4, 4, 1});
    const std::pair<Corners, int> cases[] = {{{0, 1, 2}, 10000}, {{0, 1, 2}, 3000}, {{3, 4, 5}, 2000}};
    for (const auto& [pattern, copies] : cases) {
        const auto single = SharedCornerMesh(corners, {pattern}, box, 1.0f);
        const auto copied = SharedCornerMesh(corners, Repeated({pattern}, copies), box, 1.0f);
        ExpectSameGrid(copied->grid, single->grid);
        EXPECT_EQ(copied->Footprint().references, single->Footprint().references) << copies << " copies";
        if (copies > 4096) {
            EXPECT_LT(copied->Footprint().bytes, 2 * single->Footprint().bytes);
        }
        ExpectSameHits(*copied, *single, box);
        ExpectSameGrid(SharedCornerMesh(corners, Repeated({pattern}, copies), box, 1.0f, 8)->grid, copied->grid);
    }
}

TEST(GridBuild, OnlyTrianglesEqualInEveryAttributeAreTracedOnce) {
    // The same corners with another material, in another order and mirrored are other
    // triangles: of 12000 triangles, the first of each of the four kinds stays.
    const std::vector<Vec3> corners = {{0.05f, 0.05f, 0.5f}, {3.9f, 0.1f, 0.6f}, {0.1f, 3.9f, 0.4f}};
    const std::vector<Corners> kinds = {{0, 1, 2, 0}, {0, 1, 2, 1}, {1, 2, 0, 0}, {0, 2, 1, 0}};
    const AABB3 box = Box({0, 0, 0}, {4, 4, 1});
    const auto distinct = SharedCornerMesh(corners, kinds, box, 1.0f);
    const auto copied = SharedCornerMesh(corners, Repeated(kinds, 3000), box, 1.0f);
    ExpectSameGrid(copied->grid, distinct->grid);
    EXPECT_EQ(copied->Footprint().references, distinct->Footprint().references);
    const auto one = SharedCornerMesh(corners, {kinds[0]}, box, 1.0f);
    EXPECT_EQ(distinct->Footprint().references, 4 * one->Footprint().references);
}

TEST(GridBuild, MeshesWithoutCopiesKeepTheirGrid) {
    // Fans of 6000 and of 3000 slivers around a shared corner each, beside a bumpy patch: the
    // first fills a root cell large enough to be sampled for copies, the second one small enough
    // to be searched whole when the cell of its nested grid at the centre takes every sliver.
    // Neither finds any: the grid is the one built when no two triangles share all their
    // corners, so that copies are never looked for.
    std::vector<Vec3> positions;
    std::vector<Corners> shared;
    const std::pair<Vec3, int> fans[] = {{{0.5f, 0.5f, 0.5f}, 6000}, {{1.5f, 0.5f, 0.5f}, 3000}};
    for (const auto& [centre, slivers] : fans) {
        const int hub = int(positions.size());
        positions.push_back(centre);
        for (int k = 0; k <= slivers; ++k) {
            const float angle = 6.2831853f * float(k) / float(slivers);
            positions.push_back(centre +
                                Vec3{0.45f * std::cos(angle), 0.45f * std::sin(angle), 0.1f * std::sin(5.0f * angle)});
        }
        for (int k = 0; k < slivers; ++k) shared.push_back({hub, hub + k + 1, hub + k + 2});
    }
    const int patch = int(positions.size());
    for (int i = 0; i <= 40; ++i)
        for (int j = 0; j <= 40; ++j)
            positions.push_back(
                {1.0f + 0.05f * float(i), 1.0f + 0.05f * float(j), 0.5f + 0.2f * std::sin(float(i * j) * 0.1f)});
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) {
            const int a = patch + i * 41 + j;
            shared.push_back({a, a + 41, a + 42});
            shared.push_back({a, a + 42, a + 1});
        }
    // The same triangles over corners of their own.
    std::vector<Vec3> ownPositions;
    std::vector<Corners> own;
    for (const Corners& t : shared) {
        const int base = int(ownPositions.size());
        ownPositions.insert(ownPositions.end(), {positions[size_t(t.a)], positions[size_t(t.b)], positions[size_t(t.c)]});
        own.push_back({base, base + 1, base + 2});
    }
    const AABB3 box = Box({0, 0, 0}, {3, 3, 1});
    const auto sharing = SharedCornerMesh(positions, shared, box, 1.0f);
    const auto apart = SharedCornerMesh(ownPositions, own, box, 1.0f);
    ASSERT_GT(sharing->grid.Cell(0, 0, 0).triangleCount, 4096);
    ASSERT_LE(sharing->grid.Cell(1, 0, 0).triangleCount, 4096);
    ExpectSameGrid(sharing->grid, apart->grid);
    EXPECT_EQ(sharing->Footprint().references, apart->Footprint().references);
    EXPECT_EQ(sharing->Footprint().bytes, apart->Footprint().bytes);
}

TEST(GridBuild, CopiesOfAGiantAreTestedOnce) {
    // 40 copies of a giant reaching far outside the grid's box go to the outlier leaf, which
    // keeps one of them.
    const std::vector<Vec3> corners = {{0.2f, 0.2f, 0.5f}, {0.8f, 0.2f, 0.5f}, {0.2f, 0.8f, 0.5f},
                                       {-1e5f, -1e5f, 0.2f}, {1e5f, -1e5f, 0.2f}, {0, 1e5f, 0.2f}};
    const AABB3 box = Box({0, 0, 0}, {1, 1, 1});
    auto build = [&](int copies) {
        auto mesh = std::make_unique<SWTraceMesh>();
        mesh->positions = corners;
        mesh->AddTriangle(0, 1, 2, -1);
        for (int i = 0; i < copies; ++i) mesh->AddTriangle(3, 4, 5, -1);
        mesh->grid.Init(box, 0.25f);
        mesh->outsideToOutliers = true;
        mesh->Build(nullptr, 2);
        return mesh;
    };
    const auto one = build(1), forty = build(40);
    ASSERT_TRUE(forty->grid.outliers);
    EXPECT_EQ(forty->Footprint().references, one->Footprint().references);
    EXPECT_EQ(Cast(*forty, {50, 50, 1}, {0, 0, -1}, 10.0f).id, 1);
    ExpectSameHits(*forty, *one, Box({-10, -10, 0}, {10, 10, 1}));
}

TEST(GridBuild, AFailingCellTaskIsRethrownOutOfBuild) {
    std::vector<Triangle> soup;
    for (int i = 0; i < 30; ++i) soup.push_back(InCell({0, 0, 0}, 0.01f * float(i)));
    for (int i = 0; i < 30; ++i) soup.push_back(InCell({1, 1, 0}, 0.01f * float(i)));
    TraceGridSettings greedy;
    greedy.density = 1e9f;  // nested grids far beyond 32-bit cell counts
    auto mesh = MakeTraceMesh(soup);
    mesh->grid.Init(Box({0, 0, 0}, {2, 2, 1}), 1.0f);
    EXPECT_THROW(mesh->Build(&greedy, 4), std::length_error);
    // Nothing half-built stays behind.
    EXPECT_EQ(mesh->grid.cellCount, 0);
    TraceHit hit;
    hit.distance = 10.0;
    EXPECT_FALSE(mesh->grid.Intersect(TraceRay::Make({1.5f, 1.5f, 2}, {0, 0, -1}, 10.0f, 0), &hit));
}

TEST(GridWalk, AnOriginOnTheMaximumFaceCountsAsOutside) {
    const auto mesh = UnitCellMesh({Wall(2.5f)}, {4, 1, 1});
    // Index n along x: outside, and the slab test's entry distance is not positive.
    EXPECT_FALSE(Cast(*mesh, {4, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f).hit);
    EXPECT_FALSE(Blocked(*mesh, {4, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f));
    // Just inside it the same ray hits.
    EXPECT_TRUE(Cast(*mesh, {3.999f, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f).hit);
    EXPECT_TRUE(Blocked(*mesh, {3.999f, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f));
}

TEST(GridWalk, AxisParallelAndDegenerateRays) {
    const auto mesh = UnitCellMesh({Wall(0.5f), Wall(3.5f)}, {4, 1, 1});
    // Parallel to y and z: never crosses a wall, whatever the limit.
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 1, 0}, 100.0f).hit);
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, -1}, 100.0f).hit);
    EXPECT_EQ(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {-1, 0, 0}, 100.0f).id, 0);
    EXPECT_EQ(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, 100.0f).id, 1);

    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    // A zero direction with an endless limit ends at once.
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, 0}, inf).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, 0}, inf));
    EXPECT_TRUE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, inf).hit);
    // Non-finite origins and directions, and NaN or negative limits, hit nothing.
    for (const Vec3& origin : {Vec3{nan, 0.5f, 0.5f}, Vec3{inf, 0.5f, 0.5f}}) {
        EXPECT_FALSE(Cast(*mesh, origin, {1, 0, 0}, 1e38f).hit);
        EXPECT_FALSE(Blocked(*mesh, origin, {1, 0, 0}, 1e38f));
    }
    // An origin whose cell index would not fit an int still finds its way in.
    const Result far = Cast(*mesh, {-1e10f, 0.5f, 0.5f}, {1, 0, 0}, 1e38f);
    EXPECT_EQ(far.id, 0);
    EXPECT_NEAR(far.t, 1e10 + 0.5, 1e-3);
    EXPECT_FALSE(Cast(*mesh, {1e10f, 0.5f, 0.5f}, {1, 0, 0}, 1e38f).hit);
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {nan, 0, 0}, 10.0f).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {1, inf, 0}, 10.0f));
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, nan).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, -1.0f));
}
