#include "bake/traceshader.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "geometry/hardedgequery.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

const SWTraceMesh* MeshAt(const TraceMeshList* list, uint32_t id) {
    if (!list || id >= list->size()) return nullptr;
    return (*list)[id];
}

bool Cast(const SWTraceMesh& mesh, Vec3 origin, Vec3 direction, float limit, int32_t kernel, TraceHit* hit) {
    const TraceRay ray = TraceRay::Make(origin, direction, limit, kernel);
    hit->distance = ray.maxDistance;
    return mesh.grid.Intersect(ray, hit);
}

float DistanceToPoint(Vec3 p, Vec3 q) { return Math::Length(p - q); }

}  // namespace

Vec3 TraceShader::GetRayDirection(const TraceSample& sample) const {
    if (directionMode == DirectionGeometric) return sample.geometricNormal;
    if (directionMode == DirectionRounded) return GetHardEdgeDirection(sample);
    return sample.normal;
}

bool TraceShader::Trace(const TraceSample& sample, TraceHit* hit) const {
    const SWTraceMesh* mesh = MeshAt(traceMeshes, sample.meshId);
    if (!mesh) return false;
    const Vec3 d = GetRayDirection(sample);
    const Vec3 p = sample.position;

    float limit = maxDistance;
    if (const SWTraceMesh* envelope = MeshAt(envelopeMeshes, sample.meshId)) {
        TraceHit envelopeHit;
        if (Cast(*envelope, p, d, limit, kernel, &envelopeHit) && envelopeHit.distance < maxDistance)
            limit = float(envelopeHit.distance);
    }

    TraceHit found;
    if (twoSided) {
        // The envelope bounds only the outward search.
        TraceHit forward, backward;
        const bool forwardHit = Cast(*mesh, p, d, limit, kernel, &forward);
        const bool backwardHit = Cast(*mesh, p, -d, maxDistance, kernel, &backward);
        if (forwardHit && !(backwardHit && backward.distance < forward.distance)) {
            found = forward;
            found.position = p + d * float(forward.distance);
        } else if (backwardHit) {
            found = backward;
            found.position = p - d * float(backward.distance);
        } else {
            return false;
        }
    } else {
        const Vec3 s = p + d * limit;
        if (!Cast(*mesh, s, -d, limit + maxDistance, kernel, &found)) return false;
        found.position = s - d * float(found.distance);
        found.distance = double(limit) - found.distance;
        if (std::isnan(found.distance) || std::isnan(found.u) || std::isnan(found.v)) return false;
    }

    if (found.triangleId < 0 || size_t(found.triangleId) >= mesh->triangles.size()) return false;
    const MeshTriangle& triangle = mesh->triangles[size_t(found.triangleId)];
    found.triangle = &triangle;
    found.mesh = mesh;
    found.material = mesh->TriangleMaterial(triangle);
    *hit = found;
    return true;
}

Vec3 TraceShader::GetHardEdgeDirection(const TraceSample& sample) const {
    if (!sample.mesh) return sample.normal;
    const NearestHardEdge nearest = FindNearestHardEdge(*sample.mesh, sample.polyId, sample.position);
    if (!nearest.connected) return sample.normal;

    const float d = nearest.edgeDistance;
    if (nearest.edge < 0 || !(hardEdgeDistance > d)) return sample.normal;

    const float u = nearest.along;
    // The end of the edge nearer to the sample, and whether the sample projects onto the edge
    // from that end's side.
    const bool nearA = u < 0.5f;
    const int endPosition = nearA ? nearest.positionA : nearest.positionB;
    const Vec3 end = nearA ? nearest.endA : nearest.endB;
    const bool alongEdge = nearA ? u > 0.0f : u < 1.0f;

    Vec3 base = sample.geometricNormal;
    if (CountHardEdgesAt(*sample.mesh, endPosition) > 2 && alongEdge) {
        // Near a corner where three or more hard edges meet no single edge direction fits.
        if (DistanceToPoint(sample.position, end) < hardEdgeDistance) return sample.geometricNormal;
        const int edge = nearest.edge;
        if (size_t(edge) < sample.mesh->edgeNormals.size()) base = sample.mesh->NormalToWorld(sample.mesh->edgeNormals[size_t(edge)]);
    }

    const float angle = std::atan(1.0f - d / hardEdgeDistance);
    const float w = 1.0f - angle / (3.1415927f / 4.0f);
    return Math::NormalizeFast(base * (1.0f - w) + sample.normal * w);
}

float TraceShader::GetHardEdgeDistance(const TraceSample& sample) const {
    if (!sample.mesh || !(hardEdgeDistance > 0.0f)) return 0.0f;
    const NearestHardEdge nearest = FindNearestHardEdge(*sample.mesh, sample.polyId, sample.position);
    const float m = std::min(std::min(nearest.edgeDistance, nearest.cornerDistance), hardEdgeDistance);
    return 1.0f - m / hardEdgeDistance;
}

}  // namespace Pallix::Bake
