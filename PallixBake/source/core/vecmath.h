#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <xmmintrin.h>

// Small value types shared by every subsystem. Geometry is single precision throughout.
namespace Pallix::Math {

struct Vec2 {
    float x = 0.0f, y = 0.0f;
};

struct Vec3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    constexpr float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
};

struct Vec4 {
    float x = 0.0f, y = 0.0f, z = 0.0f, w = 0.0f;
};

constexpr Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
constexpr Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
constexpr Vec3 operator*(float s, Vec3 a) { return {a.x * s, a.y * s, a.z * s}; }
constexpr bool operator==(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

constexpr float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vec3 Cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float Length(Vec3 a) { return std::sqrt(Dot(a, a)); }

// Reciprocal square root as the hardware estimate refined by one Newton-Raphson step:
// r' = 1.5 r - 0.5 s r^3. This is the unit-length arithmetic the whole engine uses.
inline float RsqrtNewton(float s) {
    const float r = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(s)));
    return 1.5f * r - 0.5f * s * r * r * r;
}

inline Vec3 NormalizeFast(Vec3 a) { return a * RsqrtNewton(Dot(a, a)); }

inline bool IsFinite(Vec3 a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }

// Axis-aligned box; the empty box has min = +FLT_MAX and max = -FLT_MAX on every axis.
struct AABB3 {
    float minX = FLT_MAX, minY = FLT_MAX, minZ = FLT_MAX;
    float maxX = -FLT_MAX, maxY = -FLT_MAX, maxZ = -FLT_MAX;

    Vec3 Min() const { return {minX, minY, minZ}; }
    Vec3 Max() const { return {maxX, maxY, maxZ}; }
    Vec3 Centre() const { return {(minX + maxX) * 0.5f, (minY + maxY) * 0.5f, (minZ + maxZ) * 0.5f}; }
    bool IsEmpty() const { return !(minX <= maxX && minY <= maxY && minZ <= maxZ); }

    void Expand(Vec3 p) {
        if (p.x < minX) minX = p.x;
        if (p.y < minY) minY = p.y;
        if (p.z < minZ) minZ = p.z;
        if (p.x > maxX) maxX = p.x;
        if (p.y > maxY) maxY = p.y;
        if (p.z > maxZ) maxZ = p.z;
    }
    void Expand(const AABB3& b) {
        if (b.IsEmpty()) return;
        Expand(b.Min());
        Expand(b.Max());
    }
    void Pad(float margin) {
        minX -= margin; minY -= margin; minZ -= margin;
        maxX += margin; maxY += margin; maxZ += margin;
    }
};

}  // namespace Pallix::Math
