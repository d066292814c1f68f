#include <cmath>
#include <cstdint>

#include "io/fbx/fbxscene.h"

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

// Triangulates one polygon given by its corner positions; appends corner triples (indices
// 0..n-1 in polygon order, keeping its winding) to out.
void TriangulatePolygon(const std::vector<FbxVector3>& points, std::vector<int>& out, uint64_t& budget) {
    const int n = int(points.size());
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i) order[i] = i;

    // Newell's normal picks the projection plane and the orientation that makes the polygon
    // counter-clockwise in 2D.
    FbxVector3 normal;
    for (int i = 0; i < n; ++i) {
        const FbxVector3& a = points[i];
        const FbxVector3& b = points[(i + 1) % n];
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
        const FbxVector3& v = points[i];
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

}  // namespace

int FbxMesh::TextureUVIndex(int64_t pv) const {
    const FbxLayerElement* uv = Element(FbxLayerKind::UV);
    if (!uv || uv->mapping != FbxMappingMode::ByPolygonVertex) return -1;
    if (uv->reference == FbxReferenceMode::Direct) return pv >= 0 && pv <= INT32_MAX ? int(pv) : -1;
    if (uv->reference == FbxReferenceMode::IndexToDirect) return uv->IndexAt(pv);
    return -1;
}

void FbxMesh::Triangulate(uint64_t& earClippingBudget) {
    const int polygonCount = PolygonCount();
    bool anyLarge = false;
    for (int p = 0; p < polygonCount && !anyLarge; ++p) anyLarge = PolygonSize(p) > 3;
    if (!anyLarge) return;

    // Every n-gon becomes n - 2 triangles; the result must still fit the 32-bit corner numbering.
    uint64_t newCorners = 0;
    for (int p = 0; p < polygonCount; ++p) {
        const uint64_t size = uint64_t(PolygonSize(p));
        newCorners += size <= 3 ? size : 3 * (size - 2);
    }
    if (newCorners > uint64_t(INT32_MAX)) throw FbxFormatError("mesh has too many corners to triangulate");

    std::vector<int32_t> vertices;
    std::vector<uint32_t> starts;
    std::vector<uint32_t> cornerOrigin;   // new corner -> old corner
    std::vector<uint32_t> polygonOrigin;  // new polygon -> old polygon
    vertices.reserve(size_t(newCorners));
    cornerOrigin.reserve(size_t(newCorners));
    starts.reserve(size_t(newCorners / 3 + 2));
    polygonOrigin.reserve(size_t(newCorners / 3 + 1));

    std::vector<FbxVector3> points;
    std::vector<int> triangles;
    for (int p = 0; p < polygonCount; ++p) {
        const uint32_t first = polygonStarts[p];
        const int size = PolygonSize(p);
        if (size <= 3) {
            starts.push_back(uint32_t(vertices.size()));
            polygonOrigin.push_back(uint32_t(p));
            for (int k = 0; k < size; ++k) {
                vertices.push_back(polygonVertices[first + k]);
                cornerOrigin.push_back(first + k);
            }
            continue;
        }
        points.resize(size);
        for (int k = 0; k < size; ++k) {
            const double* cp = ControlPoint(polygonVertices[first + k]);
            points[k] = {cp[0], cp[1], cp[2]};
        }
        triangles.clear();
        TriangulatePolygon(points, triangles, earClippingBudget);
        for (size_t t = 0; t < triangles.size(); t += 3) {
            starts.push_back(uint32_t(vertices.size()));
            polygonOrigin.push_back(uint32_t(p));
            for (int k = 0; k < 3; ++k) {
                const uint32_t corner = first + uint32_t(triangles[t + k]);
                vertices.push_back(polygonVertices[corner]);
                cornerOrigin.push_back(corner);
            }
        }
    }
    starts.push_back(uint32_t(vertices.size()));

    // Per-corner and per-polygon data follow their corners and polygons. Direct arrays become
    // index-to-direct ones through the origin maps, which reads the same entries (and keeps an
    // entry that was missing a missing one).
    for (auto& list : elements) {
        for (FbxLayerElement& element : list) {
            const std::vector<uint32_t>* origin = nullptr;
            if (element.mapping == FbxMappingMode::ByPolygonVertex) origin = &cornerOrigin;
            if (element.mapping == FbxMappingMode::ByPolygon) origin = &polygonOrigin;
            if (!origin) continue;
            std::vector<int32_t> remapped(origin->size());
            if (element.reference == FbxReferenceMode::Direct) {
                if (element.components == 0) continue;
                const size_t count = element.DirectCount();
                for (size_t i = 0; i < origin->size(); ++i)
                    remapped[i] = (*origin)[i] < count ? int32_t((*origin)[i]) : -1;
                element.reference = FbxReferenceMode::IndexToDirect;
            } else {
                for (size_t i = 0; i < origin->size(); ++i) remapped[i] = element.IndexAt((*origin)[i]);
            }
            element.index.swap(remapped);
        }
    }
    polygonVertices.swap(vertices);
    polygonStarts.swap(starts);
}

}  // namespace Pallix::Bake
