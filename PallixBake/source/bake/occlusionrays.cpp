#include "bake/occlusionrays.h"

#include <algorithm>
#include <cmath>

#include "bake/normalmapbaker.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

float RadicalInverse(uint32_t k, uint32_t base) {
    const float inverse = 1.0f / float(base);
    float weight = inverse, result = 0.0f;
    while (k > 0) {
        result += float(k % base) * weight;
        weight *= inverse;
        k /= base;
    }
    return result;
}

inline bool IsUnit(Vec3 n) { return Math::Length(n) > 0.5f && !std::isnan(n.x); }

// The first of the two vectors that normalises to a usable unit vector, else the third.
Vec3 UnitOf(Vec3 first, Vec3 second, Vec3 third = {0, 0, 1}) {
    for (Vec3 v : {first, second}) {
        const Vec3 n = Math::NormalizeFast(v);
        if (IsUnit(n)) return n;
    }
    return third;
}

inline uint32_t Temper(uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

}  // namespace

Vec3 OcclusionRaySet::Candidate(uint32_t k) {
    const float h3 = RadicalInverse(k, 3);
    const float h5 = RadicalInverse(k, 5);
    const float z = 2.0f * h5 - 1.0f;
    const float r = std::sqrt(std::max(0.0f, 1.0f - z * z));
    const float angle = 3.1415927f * h3;
    return {std::cos(angle) * r, std::sin(angle) * r, z};
}

void OcclusionRaySet::Build(int rayCount, float coneSpread) {
    const int count = std::max(rayCount, 1);
    spread = coneSpread;
    jitterRadius = 1.0f / std::sqrt(float(count));
    directions.assign(size_t(count), Vec3{0, 1, 0});

    const float threshold = std::cos(coneSpread * 0.5f);
    // About a million candidates still find 16 directions in a cone of one degree; in a narrower
    // one the directions not found are its axis, which they would barely differ from.
    const uint64_t limit = (uint64_t(1) << 20) + 64 * uint64_t(count);
    uint64_t k = 0;
    found = 0;
    while (found < count && k < limit) {
        const Vec3 d = Candidate(uint32_t(k++));
        if (d.y >= threshold) directions[size_t(found++)] = Math::NormalizeFast(d);
    }

    // A rotated direction keeps the angle it has to the jittered axis, so a tilt of the axis
    // by less than the angle left between the widest direction and the horizon keeps every ray
    // above the surface. The margin absorbs the rounding of the rotation.
    constexpr float kHorizonMargin = 0.01f;
    float lowest = 1.0f;
    for (const Vec3& d : directions) lowest = std::min(lowest, d.y);
    const float widest = std::acos(std::clamp(lowest, -1.0f, 1.0f));
    maxTilt = std::max(0.0f, 1.5707964f - widest - kHorizonMargin);
}

void FirstThreeDraws(uint32_t seed, float draws[3]) {
    float batch[kDrawBatch][3];
    uint32_t seeds[kDrawBatch] = {seed};
    FirstThreeDrawsBatch(seeds, batch);
    draws[0] = batch[0][0], draws[1] = batch[0][1], draws[2] = batch[0][2];
}

void FirstThreeDrawsBatch(const uint32_t seeds[kDrawBatch], float draws[kDrawBatch][3]) {
    // Initialisation words 0-3 and 397-399 are all that the first three outputs depend on. The
    // initialisation is one long chain of dependent steps per seed: running several seeds in
    // lockstep keeps the processor busy.
    uint32_t low[4][kDrawBatch], high[3][kDrawBatch], word[kDrawBatch];
    for (int l = 0; l < kDrawBatch; ++l) low[0][l] = word[l] = seeds[l];
    for (uint32_t i = 1; i < 400; ++i) {
        for (int l = 0; l < kDrawBatch; ++l) word[l] = 1812433253u * (word[l] ^ (word[l] >> 30)) + i;
        if (i < 4)
            for (int l = 0; l < kDrawBatch; ++l) low[i][l] = word[l];
        if (i >= 397)
            for (int l = 0; l < kDrawBatch; ++l) high[i - 397][l] = word[l];
    }
    for (int i = 0; i < 3; ++i)
        for (int l = 0; l < kDrawBatch; ++l) {
            const uint32_t y = (low[i][l] & 0x80000000u) | (low[i + 1][l] & 0x7FFFFFFFu);
            const uint32_t next = high[i][l] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
            // Rounding to float can reach 1.0 for the largest outputs; keep the draw below 1.
            draws[l][i] = std::min(float(double(Temper(next)) * (1.0 / 4294967296.0)), 0x1.fffffep-1f);
        }
}

namespace {

uint32_t TileSeed(int x, int y) { return uint32_t(x) + 8192u * uint32_t(y) + 3945u; }

Vec3 AxisFromDraws(const float u[3], float radius) {
    const float a = radius, twoA = 2.0f * radius;
    return Math::NormalizeFast(Vec3{twoA * u[2] - a, 1.0f - (twoA * u[1] - a), twoA * u[0] - a});
}

}  // namespace

Vec3 LimitTilt(Vec3 axis, float maxTilt) {
    const float limit = std::max(maxTilt, 0.0f);
    if (!(std::acos(std::clamp(axis.y, -1.0f, 1.0f)) > limit)) return axis;
    const float across = std::sqrt(axis.x * axis.x + axis.z * axis.z);
    if (!(across > 0.0f)) return Vec3{0, 1, 0};
    const float s = std::sin(limit) / across;
    return Vec3{axis.x * s, std::cos(limit), axis.z * s};
}

Vec3 JitteredAxis(int x, int y, float radius, float maxTilt) {
    float u[3];
    FirstThreeDraws(TileSeed(x, y), u);
    return LimitTilt(AxisFromDraws(u, radius), maxTilt);
}

Rotation RotationOnto(Vec3 j, Vec3 n) {
    const float c = std::clamp(Math::Dot(j, n), -1.0f, 1.0f);
    const Vec3 v = Math::Cross(j, n);
    const float s2 = Math::Dot(v, v);
    Rotation r;
    if (c < 0.0f && s2 < 1e-6f) {
        // Opposite vectors: no axis is defined by them, and any half turn about an axis
        // perpendicular to j takes it onto -j.
        const Vec3 ax{std::fabs(j.x), std::fabs(j.y), std::fabs(j.z)};
        const Vec3 e = ax.x <= ax.y && ax.x <= ax.z ? Vec3{1, 0, 0} : (ax.y <= ax.z ? Vec3{0, 1, 0} : Vec3{0, 0, 1});
        const Vec3 k = Math::NormalizeFast(Math::Cross(j, e));
        const float kk[3] = {k.x, k.y, k.z};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) r.m[row * 3 + col] = 2.0f * kk[row] * kk[col] - (row == col ? 1.0f : 0.0f);
        return r;
    }
    // cos t I + sin t [k]x + (1 - cos t) k k^T with k = v / |v|, written with v itself:
    // (1 - cos t) / sin^2 t is 1 / (1 + c), and (1 - c) / |v|^2 where that would lose precision.
    const float f = c >= 0.0f ? 1.0f / (1.0f + c) : (1.0f - c) / s2;
    r.m[0] = c + f * v.x * v.x;
    r.m[1] = -v.z + f * v.x * v.y;
    r.m[2] = v.y + f * v.x * v.z;
    r.m[3] = v.z + f * v.y * v.x;
    r.m[4] = c + f * v.y * v.y;
    r.m[5] = -v.x + f * v.y * v.z;
    r.m[6] = -v.y + f * v.z * v.x;
    r.m[7] = v.x + f * v.z * v.y;
    r.m[8] = c + f * v.z * v.z;
    return r;
}

void OcclusionShaderBase::Configure(const MapSettings& map, float sceneExtent, float sceneSize) {
    // 0.05 for a model two units across, the size the offset was first chosen for.
    rayOffset = 0.025f * sceneSize;
    aoDistance = map.aoDistance;
    occlusionDistance = aoDistance > 0.0f ? std::min(aoDistance, sceneExtent) : sceneExtent;
    rays.Build(map.rayCount, map.spread);
}

void OcclusionShaderBase::PrepareTile(int width, int height, ThreadPool* pool) {
    tileWidth = std::max(width, 0);
    tileHeight = std::max(height, 0);
    tileAxes.resize(size_t(tileWidth) * size_t(tileHeight));
    const float radius = rays.JitterRadius();
    const float maxTilt = rays.MaxTilt();
    auto rows = [this, radius, maxTilt](int first, int last) {
        for (int y = first; y < last; ++y) {
            for (int x0 = 0; x0 < tileWidth; x0 += kDrawBatch) {
                uint32_t seeds[kDrawBatch];
                float draws[kDrawBatch][3];
                for (int l = 0; l < kDrawBatch; ++l) seeds[l] = TileSeed(x0 + l, y);
                FirstThreeDrawsBatch(seeds, draws);
                for (int l = 0; l < kDrawBatch && x0 + l < tileWidth; ++l)
                    tileAxes[size_t(x0 + l) + size_t(y) * size_t(tileWidth)] =
                        LimitTilt(AxisFromDraws(draws[l], radius), maxTilt);
            }
        }
    };
    if (!pool) {
        rows(0, tileHeight);
        return;
    }
    constexpr int kRowsPerTask = 16;
    pool->ParallelFor(0, tileHeight, kRowsPerTask, rows);
}

bool OcclusionShaderBase::FindStart(const TraceSample& sample, Vec3* position, Vec3* normal) const {
    if (!hasHighPoly) {
        *position = sample.position;
        *normal = UnitOf(GetRayDirection(sample), sample.geometricNormal);
        return true;
    }
    TraceHit hit;
    if (!Trace(sample, &hit)) return false;
    *position = hit.position;
    *normal = UnitOf(HitVertexNormal(hit), hit.mesh->TriangleNormal(*hit.triangle), UnitOf(sample.normal, sample.geometricNormal));
    return true;
}

Rotation OcclusionShaderBase::FrameFor(const TraceSample& sample, Vec3 normal) const {
    const bool inTile = sample.x >= 0 && sample.y >= 0 && sample.x < tileWidth && sample.y < tileHeight;
    const Vec3 axis = inTile ? tileAxes[size_t(sample.x) + size_t(sample.y) * size_t(tileWidth)]
                             : JitteredAxis(sample.x, sample.y, rays.JitterRadius(), rays.MaxTilt());
    return RotationOnto(axis, normal);
}

const SWTraceMesh* OcclusionShaderBase::GroupOf(const TraceSample& sample) const {
    if (!traceMeshes || sample.meshId >= traceMeshes->size()) return nullptr;
    return (*traceMeshes)[sample.meshId];
}

}  // namespace Pallix::Bake
