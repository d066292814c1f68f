#include "gpu/glslprograms.h"

namespace Pallix::Bake {

namespace {

// Places each triangle at its UV coordinates: uvTransform picks the part of UV space that the
// tile covers and stretches it over the viewport.
const char* const VertexProgram = R"(#version 330
layout(location = 0) in vec3 position;
layout(location = 1) in vec2 texCoord;
layout(location = 2) in vec4 bary;
layout(location = 3) in vec3 geometryNormal;
layout(location = 4) in vec3 normal;
layout(location = 5) in vec4 tangent;
layout(location = 6) in vec3 bitangent;
layout(location = 7) in uint vpolyid;

uniform vec4 uvTransform;
uniform mat4 transform;
uniform mat4 invtranspose;

out vec3 worldPosition;
out vec3 worldNormal;
out vec4 worldTangent;
out vec3 worldBitangent;
out vec3 worldGeometryNormal;
out vec3 computedTangent;
out vec3 computedBitangent;
out vec2 uv;
out vec4 barycentric;
flat out uint polyId;

vec3 safeNormalize(vec3 v) { return dot(v, v) > 0.0 ? normalize(v) : v; }

void main() {
    worldPosition = (transform * vec4(position, 1.0)).xyz;
    worldNormal = (invtranspose * vec4(normal, 0.0)).xyz;
    vec3 worldTangentAxis = (invtranspose * vec4(tangent.xyz, 0.0)).xyz;
    worldTangent = vec4(worldTangentAxis, tangent.w);
    worldBitangent = (invtranspose * vec4(bitangent, 0.0)).xyz;
    worldGeometryNormal = (invtranspose * vec4(geometryNormal, 0.0)).xyz;
    computedBitangent = tangent.w * cross(worldNormal, worldTangentAxis);
    computedTangent = safeNormalize(tangent.w * cross(computedBitangent, worldNormal));
    uv = texCoord;
    barycentric = bary;
    polyId = vpolyid;
    gl_Position = vec4(((texCoord + uvTransform.xy) * uvTransform.zw) * 2.0 - 1.0, 0.0, 1.0);
}
)";

// Inputs, outputs and the targets that every program writes the same way.
const char* const FragmentCommon = R"(#version 330
in vec3 worldPosition;
in vec3 worldNormal;
in vec4 worldTangent;
in vec3 worldBitangent;
in vec3 worldGeometryNormal;
in vec3 computedTangent;
in vec3 computedBitangent;
in vec2 uv;
in vec4 barycentric;
flat in uint polyId;

uniform int meshid;
uniform int objectid;

layout(location = 0) out vec4 oPos;
layout(location = 1) out vec4 oNormal;
layout(location = 2) out vec4 oUV;
layout(location = 3) out vec4 oTangent;
layout(location = 4) out vec4 oGeoNormal;
layout(location = 5) out vec4 oBiTangent;
layout(location = 6) out vec4 oBaryCentric;
layout(location = 7) out uvec4 oMiscIntegers;

// Missing tangent data arrives as zeros; it stays zero instead of turning into NaN.
vec3 safeNormalize(vec3 v) { return dot(v, v) > 0.0 ? normalize(v) : v; }

void writeCommonTargets() {
    oPos = vec4(worldPosition, 1.0);
    oUV = vec4(uv, float(meshid), 0.0);
    oGeoNormal = vec4(safeNormalize(worldGeometryNormal), 1.0);
    oBaryCentric = barycentric;
    oMiscIntegers = uvec4(uint(meshid), uint(objectid), polyId, 0u);
}

void writeNormalisedFrame() {
    writeCommonTargets();
    oNormal = vec4(safeNormalize(worldNormal), 1.0);
    oTangent = vec4(safeNormalize(worldTangent.xyz), worldTangent.w);
    oBiTangent = vec4(worldBitangent, 1.0);
}
)";

const char* const Program0 = R"(
void main() { writeNormalisedFrame(); }
)";

const char* const Program1 = R"(
void main() {
    writeCommonTargets();
    oNormal = vec4(worldNormal, 1.0);
    oTangent = worldTangent;
    oBiTangent = vec4(worldTangent.w * cross(worldNormal, worldTangent.xyz), 1.0);
}
)";

const char* const Program2 = R"(
void main() {
    writeCommonTargets();
    oNormal = vec4(worldNormal, 1.0);
    oTangent = worldTangent;
    oBiTangent = vec4(computedBitangent, 1.0);
}
)";

const char* const Program3 = R"(
void main() {
    writeCommonTargets();
    oNormal = vec4(safeNormalize(worldNormal), 1.0);
    oTangent = vec4(safeNormalize(computedTangent), worldTangent.w);
    oBiTangent = vec4(safeNormalize(computedBitangent), 1.0);
}
)";

// Grid trace of programs 4 and 5. "traceverts" holds six texels per triangle (a, b - a, c - a
// and the vertex normals at a, b, c); "tracegrid" one texel per cell (first triangle, count),
// x fastest, z slowest.
const char* const TraceFunctions = R"(
uniform samplerBuffer traceverts;
uniform isamplerBuffer tracegrid;
uniform int numtriangles;
uniform vec3 traceCellSize;
uniform vec3 traceBoundsMin;
uniform vec3 traceBoundsMax;
uniform vec3 traceWorldToGrid;
uniform ivec3 traceGridCount;

const float EPSILON = 1e-6;
const float FAR = 1e30;

struct TraceHit {
    float t;
    float u;
    float v;
    int triangle;
};

// Moeller-Trumbore with back faces culled.
void intersectTriangle(int triangle, vec3 origin, vec3 direction, inout TraceHit hit) {
    vec3 a = texelFetch(traceverts, triangle * 6).xyz;
    vec3 edge1 = texelFetch(traceverts, triangle * 6 + 1).xyz;
    vec3 edge2 = texelFetch(traceverts, triangle * 6 + 2).xyz;
    vec3 p = cross(direction, edge2);
    float det = dot(edge1, p);
    if (det < EPSILON) return;
    float invDet = 1.0 / det;
    vec3 s = origin - a;
    float u = dot(s, p) * invDet;
    if (u < -EPSILON) return;
    vec3 q = cross(s, edge1);
    float v = dot(direction, q) * invDet;
    if (v < -EPSILON || u + v > 1.0 + EPSILON) return;
    float t = dot(edge2, q) * invDet;
    if (t < EPSILON || t >= hit.t) return;
    hit = TraceHit(t, u, v, triangle);
}

float reciprocal(float x) { return x != 0.0 ? 1.0 / x : FAR; }

bool traceGrid(vec3 origin, vec3 direction, out TraceHit hit) {
    hit = TraceHit(FAR, 0.0, 0.0, -1);
    vec3 invDirection = vec3(reciprocal(direction.x), reciprocal(direction.y), reciprocal(direction.z));

    float tEnter = 0.0;
    bool inside = all(greaterThanEqual(origin, traceBoundsMin)) && all(lessThanEqual(origin, traceBoundsMax));
    if (!inside) {
        vec3 t0 = (traceBoundsMin - origin) * invDirection;
        vec3 t1 = (traceBoundsMax - origin) * invDirection;
        vec3 tNear = min(t0, t1);
        vec3 tFar = max(t0, t1);
        tEnter = max(max(tNear.x, tNear.y), max(tNear.z, 0.0));
        float tExit = min(min(tFar.x, tFar.y), tFar.z);
        if (tEnter > tExit) return false;
    }

    vec3 entry = origin + direction * tEnter;
    ivec3 cell = clamp(ivec3(floor((entry - traceBoundsMin) * traceWorldToGrid)), ivec3(0), traceGridCount - 1);
    ivec3 stepDirection = ivec3(sign(direction));
    vec3 nextBoundary = traceBoundsMin + (vec3(cell) + step(vec3(0.0), direction)) * traceCellSize;
    vec3 tMax = (nextBoundary - origin) * invDirection;
    vec3 tDelta = traceCellSize * abs(invDirection);

    int maxSteps = traceGridCount.x + traceGridCount.y + traceGridCount.z;
    for (int i = 0; i < maxSteps; ++i) {
        int cellIndex = cell.x + traceGridCount.x * (cell.y + traceGridCount.y * cell.z);
        ivec2 range = texelFetch(tracegrid, cellIndex).xy;
        for (int k = 0; k < range.y; ++k) {
            int triangle = range.x + k;
            if (triangle >= 0 && triangle < numtriangles) intersectTriangle(triangle, origin, direction, hit);
        }
        if (hit.triangle >= 0) return true;

        if (tMax.x < tMax.y && tMax.x < tMax.z) {
            cell.x += stepDirection.x;
            tMax.x += tDelta.x;
            if (cell.x < 0 || cell.x >= traceGridCount.x) break;
        } else if (tMax.y < tMax.z) {
            cell.y += stepDirection.y;
            tMax.y += tDelta.y;
            if (cell.y < 0 || cell.y >= traceGridCount.y) break;
        } else {
            cell.z += stepDirection.z;
            tMax.z += tDelta.z;
            if (cell.z < 0 || cell.z >= traceGridCount.z) break;
        }
    }
    return false;
}

vec3 hitNormal(TraceHit hit) {
    vec3 na = texelFetch(traceverts, hit.triangle * 6 + 3).xyz;
    vec3 nb = texelFetch(traceverts, hit.triangle * 6 + 4).xyz;
    vec3 nc = texelFetch(traceverts, hit.triangle * 6 + 5).xyz;
    return safeNormalize(na * (1.0 - hit.u - hit.v) + nb * hit.u + nc * hit.v);
}

// Starts above the surface and looks back down along the geometric normal.
bool traceFromSurface(out TraceHit hit, out vec3 hitPoint) {
    vec3 geometric = safeNormalize(worldGeometryNormal);
    vec3 origin = worldPosition + geometric * 50.0;
    bool found = traceGrid(origin, -geometric, hit);
    hitPoint = origin - geometric * hit.t;
    return found;
}
)";

const char* const Program4 = R"(
void main() {
    writeNormalisedFrame();
    TraceHit hit;
    vec3 hitPoint;
    if (!traceFromSurface(hit, hitPoint)) {
        oUV = vec4(0.0, 0.0, 0.0, -1.0);
        return;
    }
    vec3 n = hitNormal(hit);
    oNormal = vec4((n + 1.0) * 0.5, 1.0);
    mat3 tangentFrame = mat3(safeNormalize(worldTangent.xyz), safeNormalize(worldBitangent), safeNormalize(worldNormal));
    vec3 tangentSpace = safeNormalize(transpose(tangentFrame) * n);
    oTangent = vec4((tangentSpace + 1.0) * 0.5, 1.0);
}
)";

const char* const Program5 = R"(
uniform float SPREAD_ANGLE;
uniform int HEMISPHERE_SPANS;

vec3 rotateAbout(vec3 v, vec3 axis, float angle) {
    float c = cos(angle);
    float s = sin(angle);
    return v * c + cross(axis, v) * s + axis * dot(axis, v) * (1.0 - c);
}

void main() {
    writeNormalisedFrame();
    TraceHit hit;
    vec3 hitPoint;
    if (!traceFromSurface(hit, hitPoint)) {
        oUV = vec4(1.0);
        return;
    }
    vec3 n = hitNormal(hit);
    vec3 axisA = safeNormalize(cross(n, n.zxy));
    vec3 axisB = safeNormalize(cross(axisA, n));
    vec3 start = hitPoint + 0.05 * n;
    float spanAngle = SPREAD_ANGLE / float(max(HEMISPHERE_SPANS, 1));
    int hits = 0;
    for (int i = 0; i < HEMISPHERE_SPANS; ++i) {
        vec3 turned = rotateAbout(n, axisA, -SPREAD_ANGLE * 0.5 + spanAngle * (float(i) + 0.5));
        for (int j = 0; j < HEMISPHERE_SPANS; ++j) {
            vec3 direction = rotateAbout(turned, axisB, -SPREAD_ANGLE * 0.5 + spanAngle * (float(j) + 0.5));
            TraceHit occluder;
            if (traceGrid(start, direction, occluder)) ++hits;
        }
    }
    float rays = float(max(HEMISPHERE_SPANS * HEMISPHERE_SPANS, 1));
    float occlusion = 1.0 - float(hits) / rays;
    oUV = vec4(occlusion, occlusion, occlusion, 1.0);
}
)";

}  // namespace

ProgramSources ProgramSources::Default() {
    ProgramSources sources;
    sources.vertex = VertexProgram;
    const std::string common = FragmentCommon;
    const std::string trace = common + TraceFunctions;
    sources.fragment[0] = common + Program0;
    sources.fragment[1] = common + Program1;
    sources.fragment[2] = common + Program2;
    sources.fragment[3] = common + Program3;
    sources.fragment[4] = trace + Program4;
    sources.fragment[5] = trace + Program5;
    return sources;
}

}  // namespace Pallix::Bake
