#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "trace/swtracemesh.h"
#include "trace/tracekernels.h"

namespace TraceTest {

using Pallix::Bake::SWTraceMesh;
using Pallix::Bake::TraceGridSettings;
using Pallix::Bake::TrianglePacket;
using Pallix::Math::AABB3;
using Pallix::Math::Vec3;

struct Triangle {
    Vec3 a, b, c;
};

// A trace mesh over the given triangles with a grid over box (by default their bounds padded
// like a scene's) in cells of cellSize (by default the size the settings choose), built by the
// given number of workers.
inline std::unique_ptr<SWTraceMesh> MakeTraceMesh(const std::vector<Triangle>& soup, const TraceGridSettings& settings = {},
                                                  unsigned workers = 0, const AABB3* box = nullptr, float cellSize = 0.0f) {
    auto mesh = std::make_unique<SWTraceMesh>();
    AABB3 bounds;
    for (const Triangle& t : soup) {
        const int base = int(mesh->positions.size());
        mesh->positions.insert(mesh->positions.end(), {t.a, t.b, t.c});
        mesh->AddTriangle(base, base + 1, base + 2, -1);
        bounds.Expand(t.a);
        bounds.Expand(t.b);
        bounds.Expand(t.c);
    }
    bounds.Pad(0.004f);
    if (box) bounds = *box;
    mesh->grid.Init(bounds, cellSize > 0.0f ? cellSize : Pallix::Bake::ChooseRootCellSize(settings, bounds, int(soup.size())));
    mesh->Build(&settings, workers);
    return mesh;
}

inline AABB3 Box(Vec3 lo, Vec3 hi) {
    AABB3 b;
    b.Expand(lo);
    b.Expand(hi);
    return b;
}

// Packets holding the triangles in order, padded and finished the way a leaf is.
inline std::vector<TrianglePacket> MakePackets(const std::vector<Triangle>& triangles, int firstId = 0) {
    Pallix::Bake::SWGridCellCluster cell;
    cell.triangleCount = int(triangles.size());
    std::vector<TrianglePacket> packets(size_t(cell.PacketsNeeded()));
    cell.Allocate(packets.data());
    for (size_t i = 0; i < triangles.size(); ++i) {
        const Triangle& t = triangles[i];
        cell.Append(t.a, t.b - t.a, t.c - t.a, firstId + int(i));
    }
    cell.PadAndComputeNormals();
    packets.resize(size_t(cell.packetCount));
    return packets;
}

struct Hit {
    bool hit = false;
    int id = -1;
    double t = 0.0;
    double u = 0.0, v = 0.0;
};

// Moeller-Trumbore in double with exact bounds; u, v, t are returned whatever the outcome.
inline bool IntersectDouble(const Triangle& tri, const Vec3& o, const Vec3& d, double* t, double* u, double* v) {
    const double ax = tri.a.x, ay = tri.a.y, az = tri.a.z;
    const double e1[3] = {double(tri.b.x) - ax, double(tri.b.y) - ay, double(tri.b.z) - az};
    const double e2[3] = {double(tri.c.x) - ax, double(tri.c.y) - ay, double(tri.c.z) - az};
    const double dd[3] = {d.x, d.y, d.z};
    const double p[3] = {dd[1] * e2[2] - dd[2] * e2[1], dd[2] * e2[0] - dd[0] * e2[2], dd[0] * e2[1] - dd[1] * e2[0]};
    const double det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
    const double s[3] = {double(o.x) - ax, double(o.y) - ay, double(o.z) - az};
    const double q[3] = {s[1] * e1[2] - s[2] * e1[1], s[2] * e1[0] - s[0] * e1[2], s[0] * e1[1] - s[1] * e1[0]};
    if (det == 0.0) {
        *t = *u = *v = std::numeric_limits<double>::quiet_NaN();
        return false;
    }
    *u = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) / det;
    *v = (dd[0] * q[0] + dd[1] * q[1] + dd[2] * q[2]) / det;
    *t = (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) / det;
    return *u >= 0.0 && *v >= 0.0 && *u + *v <= 1.0;
}

// Distance, in barycentric terms, of the ray's crossing from the triangle's border: negative
// inside, positive outside; NaN when the ray is parallel.
inline double EdgeMargin(const Triangle& tri, const Vec3& o, const Vec3& d) {
    double t, u, v;
    IntersectDouble(tri, o, d, &t, &u, &v);
    return -std::min(u, std::min(v, 1.0 - u - v));
}

// Closest hit over every triangle with 0 <= t <= limit, in double.
inline Hit BruteForceClosest(const std::vector<Triangle>& soup, const Vec3& o, const Vec3& d, double limit) {
    Hit best;
    best.t = limit;
    for (size_t i = 0; i < soup.size(); ++i) {
        double t, u, v;
        if (!IntersectDouble(soup[i], o, d, &t, &u, &v)) continue;
        if (t < 0.0 || t > best.t) continue;
        if (best.hit && t == best.t) continue;
        best = {true, int(i), t, u, v};
    }
    return best;
}

inline bool BruteForceAny(const std::vector<Triangle>& soup, const Vec3& o, const Vec3& d, double limit) {
    for (const Triangle& tri : soup) {
        double t, u, v;
        if (IntersectDouble(tri, o, d, &t, &u, &v) && t >= 0.0 && t <= limit) return true;
    }
    return false;
}

// Small deterministic generator (xorshift64*), so every run sees the same scenes and rays.
class Random {
public:
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    double Uniform() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
    float Range(float lo, float hi) { return lo + float(Uniform()) * (hi - lo); }
    int Below(int n) { return int(Next() % uint64_t(n)); }
    Vec3 InBox(float lo, float hi) { return {Range(lo, hi), Range(lo, hi), Range(lo, hi)}; }
    Vec3 Direction() {
        for (;;) {
            const Vec3 v = InBox(-1.0f, 1.0f);
            const float l = Pallix::Math::Length(v);
            if (l > 0.05f && l <= 1.0f) return v * (1.0f / l);
        }
    }

private:
    uint64_t state;
};

}  // namespace TraceTest
