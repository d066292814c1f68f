#include "io/polygontriangulation.h"

#include <cmath>

namespace Pallix::Bake {

namespace {

struct Point2 {
    double x, y;
};

double Cross(Point2 o, Point2 a, Point2 b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

// True when p lies inside triangle abc (counter-clockwise) or on its boundary.
bool InTriangle(Point2 p, Point2 a, Point2 b, Point2 c) {
    return Cross(a, b, p) >= 0.0 && Cross(b, c, p) >= 0.0 && Cross(c, a, p) >= 0.0;
}

void Fan(const int* corners, int n, std::vector<int>& out) {
    for (int k = 2; k < n; ++k) out.insert(out.end(), {corners[0], corners[k - 1], corners[k]});
}

}  // namespace

void TriangulatePolygon(const std::vector<PolygonPoint>& points, std::vector<int>& out, uint64_t& budget) {
    const int n = int(points.size());
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i) order[i] = i;

    // Newell's normal picks the projection plane and the orientation that makes the polygon
    // counter-clockwise in 2D.
    PolygonPoint normal;
    for (int i = 0; i < n; ++i) {
        const PolygonPoint& a = points[i];
        const PolygonPoint& b = points[(i + 1) % n];
        normal.x += (a.y - b.y) * (a.z + b.z);
        normal.y += (a.z - b.z) * (a.x + b.x);
        normal.z += (a.x - b.x) * (a.y + b.y);
    }
    const double ax = std::fabs(normal.x), ay = std::fabs(normal.y), az = std::fabs(normal.z);
    if (!(ax + ay + az > 0.0) || !std::isfinite(ax + ay + az)) {
        Fan(order.data(), n, out);
        return;
    }
    std::vector<Point2> p(n);
    for (int i = 0; i < n; ++i) {
        const PolygonPoint& v = points[i];
        if (az >= ax && az >= ay)
            p[i] = normal.z > 0 ? Point2{v.x, v.y} : Point2{v.y, v.x};
        else if (ax >= ay)
            p[i] = normal.x > 0 ? Point2{v.y, v.z} : Point2{v.z, v.y};
        else
            p[i] = normal.y > 0 ? Point2{v.z, v.x} : Point2{v.x, v.z};
    }

    bool convex = true;
    for (int i = 0; i < n && convex; ++i) convex = Cross(p[(i + n - 1) % n], p[i], p[(i + 1) % n]) >= 0.0;
    if (convex) {
        Fan(order.data(), n, out);
        return;
    }

    std::vector<int> prev(n), next(n);
    for (int i = 0; i < n; ++i) {
        prev[i] = (i + n - 1) % n;
        next[i] = (i + 1) % n;
    }
    int remaining = n;
    int current = 0;
    int sinceLastEar = 0;
    while (remaining > 3) {
        const int a = prev[current], c = next[current];
        bool ear = Cross(p[a], p[current], p[c]) > 0.0;
        if (ear) {
            for (int v = next[c]; v != a; v = next[v]) {
                if (budget == 0) break;
                --budget;
                const Point2 q = p[v];
                // Corners that coincide with the ear's own corners do not block it.
                if ((q.x == p[a].x && q.y == p[a].y) || (q.x == p[c].x && q.y == p[c].y) ||
                    (q.x == p[current].x && q.y == p[current].y))
                    continue;
                if (InTriangle(q, p[a], p[current], p[c])) {
                    ear = false;
                    break;
                }
            }
        }
        if (budget == 0 || sinceLastEar > remaining) {
            // Out of budget, or no ear left (a self-intersecting or degenerate outline): fan
            // what remains.
            std::vector<int> rest;
            int v = current;
            for (int i = 0; i < remaining; ++i, v = next[v]) rest.push_back(v);
            Fan(rest.data(), remaining, out);
            return;
        }
        if (ear) {
            out.insert(out.end(), {a, current, c});
            next[a] = c;
            prev[c] = a;
            --remaining;
            current = a;
            sinceLastEar = 0;
        } else {
            current = c;
            ++sinceLastEar;
        }
    }
    out.insert(out.end(), {prev[current], current, next[current]});
}

}  // namespace Pallix::Bake
