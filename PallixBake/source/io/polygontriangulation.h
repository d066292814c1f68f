#pragma once

#include <cstdint>
#include <vector>

namespace Pallix::Bake {

struct PolygonPoint {
    double x = 0.0, y = 0.0, z = 0.0;
};

// Point tests of ear clipping allowed per file: clipping is quadratic in the corners of a
// polygon, so past this budget the remaining concave polygons are fanned and no file can stall
// its import.
constexpr uint64_t EarClippingBudget = uint64_t(1) << 26;

// Triangulates one polygon given by its corner positions: a fan from the first corner when it
// is convex, ear clipping in the plane of its Newell normal otherwise, and a fan of what is
// left when no ear remains (a self-intersecting outline) or the budget runs out. Appends corner
// triples (0 .. n - 1 in polygon order, keeping its winding) to out.
void TriangulatePolygon(const std::vector<PolygonPoint>& points, std::vector<int>& out, uint64_t& budget);

}  // namespace Pallix::Bake
