#include "trace/traceshader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory_resource>
#include <set>

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

// Projection parameter of p on the segment a-b, unclamped (0 for a degenerate segment).
float Projection(Vec3 p, Vec3 a, Vec3 b) {
    const Vec3 ab = b - a;
    const float lengthSquared = Math::Dot(ab, ab);
    return lengthSquared > 0.0f ? Math::Dot(p - a, ab) / lengthSquared : 0.0f;
}

float DistanceToSegment(Vec3 p, Vec3 a, Vec3 b) {
    const float u = std::clamp(Projection(p, a, b), 0.0f, 1.0f);
    return DistanceToPoint(p, a + (b - a) * u);
}

// Finds the hard edge nearest to a sample among the hard edges connected to the ones it is
// started from. The search is depth-first; an edge whose distance does not improve on the best
// ends its branch. Every index read from the topology is checked, so a mesh with missing or
// inconsistent connectivity only shortens the search.
class HardEdgeWalker {
public:
    HardEdgeWalker(const TraceSample& sample, const SceneMesh& mesh)
        : sample(sample), mesh(mesh), topology(mesh.topology.get()), arena(buffer.data(), buffer.size()),
          visited(&arena), stack(&arena) {
        stack.reserve(64);
        const size_t triangles = mesh.indices.size() / 3;
        usable = topology && sample.polyId < triangles && topology->triangleEdges.size() >= 3 * triangles &&
                 topology->edgeTriangles.size() == topology->edgePositions.size() &&
                 topology->neighbourEdges.size() == topology->neighbours.size() &&
                 topology->neighbourOffset.size() == topology->neighbourCount.size();
    }

    bool Usable() const { return usable; }
    float BestDistance() const { return best; }
    int BestEdge() const { return bestEdge; }

    int TriangleEdge(int triangle, int slot) const { return topology->triangleEdges[size_t(3 * triangle + slot)]; }
    int Triangle() const { return int(sample.polyId); }

    bool IsHard(int edge) const {
        return usable && edge >= 0 && size_t(edge) < mesh.hardEdges.size() && size_t(edge) < EdgeCount() && mesh.hardEdges[edge];
    }

    // Per-corner hard flag of the sample's triangle (vertex 3 * triangle + corner).
    float HardVertex(int corner) const {
        const size_t v = size_t(3) * sample.polyId + size_t(corner);
        return v < mesh.hardVertices.size() ? mesh.hardVertices[v] : 0.0f;
    }

    // World position of corner j of the sample's triangle; false for an index beyond the arrays.
    bool CornerPosition(int corner, Vec3* out) const {
        const size_t slot = size_t(3) * sample.polyId + size_t(corner);
        if (slot >= mesh.indices.size() || mesh.indices[slot] >= mesh.positions.size()) return false;
        *out = mesh.ToWorld(mesh.positions[mesh.indices[slot]]);
        return true;
    }

    // World endpoints of an edge, read from the first triangle that has it, with the welded
    // positions of both ends.
    bool Endpoints(int edge, Vec3* a, Vec3* b, int* positionA, int* positionB) const {
        if (edge < 0 || size_t(edge) >= EdgeCount()) return false;
        int triangle = topology->edgeTriangles[size_t(2 * edge)];
        if (triangle < 0) triangle = topology->edgeTriangles[size_t(2 * edge + 1)];
        if (triangle < 0 || size_t(triangle) >= mesh.indices.size() / 3) return false;
        for (int k = 0; k < 3; ++k) {
            if (TriangleEdge(triangle, k) != edge) continue;
            const uint32_t va = mesh.indices[size_t(3 * triangle + k)];
            const uint32_t vb = mesh.indices[size_t(3 * triangle + (k + 1) % 3)];
            if (va >= mesh.positions.size() || vb >= mesh.positions.size()) return false;
            *a = mesh.ToWorld(mesh.positions[va]);
            *b = mesh.ToWorld(mesh.positions[vb]);
            *positionA = PositionOf(va);
            *positionB = PositionOf(vb);
            return true;
        }
        return false;
    }

    // Hard edges that meet at a welded position.
    int HardEdgesAt(int position) const {
        int count = 0;
        ForEachEdgeAt(position, [&](int edge) { count += IsHard(edge) ? 1 : 0; });
        return count;
    }

    void Search(int start) {
        stack.clear();
        stack.push_back(start);
        while (!stack.empty()) {
            const int edge = stack.back();
            stack.pop_back();
            if (!visited.insert(edge).second) continue;
            Vec3 a, b;
            int positionA = -1, positionB = -1;
            if (!Endpoints(edge, &a, &b, &positionA, &positionB)) continue;
            const float distance = DistanceToSegment(sample.position, a, b);
            if (!(distance < best)) continue;
            best = distance;
            bestEdge = edge;
            // Children go on the stack in reverse so that they are taken in the order a
            // recursive walk would visit them: the second position's edges, then the first's.
            const size_t mark = stack.size();
            const int second = topology->edgePositions[size_t(2 * edge + 1)];
            const int first = topology->edgePositions[size_t(2 * edge)];
            for (int position : {second, first})
                ForEachEdgeAt(position, [&](int next) {
                    if (IsHard(next)) stack.push_back(next);
                });
            std::reverse(stack.begin() + std::ptrdiff_t(mark), stack.end());
        }
    }

    // Turns around corner j of the sample's triangle, first crossing edge slot, and starts the
    // search from the first hard edge met. A non-manifold fan can lead in circles that never
    // return to the start, so the number of crossings is bounded by what the corner's position
    // can have around it.
    void WalkAroundCorner(int corner, int slot) {
        const int start = Triangle();
        const size_t cornerSlot = size_t(3 * start + corner);
        if (mesh.indices[cornerSlot] >= topology->vertexPosition.size()) return;
        const int position = topology->vertexPosition[mesh.indices[cornerSlot]];
        if (position < 0 || size_t(position) >= topology->positionVertexCount.size()) return;
        int bound = topology->positionVertexCount[size_t(position)] + 2;
        if (size_t(position) < topology->neighbourCount.size()) bound += topology->neighbourCount[size_t(position)];

        const int triangleCount = int(mesh.indices.size() / 3);
        int triangle = start;
        for (int steps = 0; steps < bound; ++steps) {
            const int edge = TriangleEdge(triangle, slot);
            if (edge < 0 || size_t(edge) >= EdgeCount()) return;
            const int t0 = topology->edgeTriangles[size_t(2 * edge)], t1 = topology->edgeTriangles[size_t(2 * edge + 1)];
            const int next = t0 == triangle ? t1 : t0;
            if (next < 0 || next >= triangleCount || next == start || next == triangle) return;
            int nextSlot = -1;
            for (int k = 0; k < 3 && nextSlot < 0; ++k) {
                const int candidate = TriangleEdge(next, k);
                if (candidate == edge || candidate < 0 || size_t(candidate) >= EdgeCount()) continue;
                if (topology->edgePositions[size_t(2 * candidate)] == position ||
                    topology->edgePositions[size_t(2 * candidate + 1)] == position)
                    nextSlot = k;
            }
            if (nextSlot < 0) return;
            const int nextEdge = TriangleEdge(next, nextSlot);
            if (IsHard(nextEdge)) {
                Search(nextEdge);
                return;
            }
            triangle = next;
            slot = nextSlot;
        }
    }

    // The searches both queries start with: from every hard edge of the sample's triangle, then
    // around every hard corner through its soft edges. onCorner sees each hard corner first.
    // Without usable connectivity only the hard corners themselves are reported.
    template <class OnCorner>
    void SearchFromTriangle(OnCorner&& onCorner) {
        if (sample.polyId >= mesh.indices.size() / 3) return;
        const int triangle = Triangle();
        if (usable) {
            for (int j = 0; j < 3; ++j)
                if (IsHard(TriangleEdge(triangle, j))) Search(TriangleEdge(triangle, j));
        }
        for (int j = 0; j < 3; ++j) {
            if (!(HardVertex(j) > 0.0f)) continue;
            onCorner(j);
            if (!usable) continue;
            if (!IsHard(TriangleEdge(triangle, j))) WalkAroundCorner(j, j);
            if (!IsHard(TriangleEdge(triangle, (j + 2) % 3))) WalkAroundCorner(j, (j + 2) % 3);
        }
    }

private:
    size_t EdgeCount() const { return topology->edgePositions.size() / 2; }

    int PositionOf(uint32_t vertex) const {
        return vertex < topology->vertexPosition.size() ? topology->vertexPosition[vertex] : -1;
    }

    // Calls f(edge) for every entry of the position's neighbour-edge run, skipping the -1
    // entries of pairs that have no edge.
    template <class F>
    void ForEachEdgeAt(int position, F&& f) const {
        if (position < 0 || size_t(position) >= topology->neighbourOffset.size()) return;
        const int64_t begin = topology->neighbourOffset[size_t(position)];
        const int64_t end = begin + topology->neighbourCount[size_t(position)];
        if (begin < 0 || end > int64_t(topology->neighbourEdges.size())) return;
        for (int64_t i = begin; i < end; ++i) {
            const int edge = topology->neighbourEdges[size_t(i)];
            if (edge >= 0) f(edge);
        }
    }

    const TraceSample& sample;
    const SceneMesh& mesh;
    const MeshTopology* topology;
    bool usable = false;
    float best = std::numeric_limits<float>::infinity();
    int bestEdge = -1;
    // The visited set and the stack live in a buffer on the caller's stack; only an unusually
    // long search spills to the heap.
    std::array<std::byte, 8192> buffer;
    std::pmr::monotonic_buffer_resource arena;
    std::pmr::set<int> visited;
    std::pmr::vector<int> stack;
};

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
    found.material = triangle.material;
    *hit = found;
    return true;
}

Vec3 TraceShader::GetHardEdgeDirection(const TraceSample& sample) const {
    if (!sample.mesh) return sample.normal;
    HardEdgeWalker walker(sample, *sample.mesh);
    if (!walker.Usable()) return sample.normal;
    walker.SearchFromTriangle([](int) {});

    const float d = walker.BestDistance();
    if (walker.BestEdge() < 0 || !(hardEdgeDistance > d)) return sample.normal;

    Vec3 a, b;
    int positionA = -1, positionB = -1;
    if (!walker.Endpoints(walker.BestEdge(), &a, &b, &positionA, &positionB)) return sample.normal;
    const float u = Projection(sample.position, a, b);
    // The end of the edge nearer to the sample, and whether the sample projects onto the edge
    // from that end's side.
    const bool nearA = u < 0.5f;
    const int endPosition = nearA ? positionA : positionB;
    const Vec3 end = nearA ? a : b;
    const bool alongEdge = nearA ? u > 0.0f : u < 1.0f;

    Vec3 base = sample.geometricNormal;
    if (walker.HardEdgesAt(endPosition) > 2 && alongEdge) {
        // Near a corner where three or more hard edges meet no single edge direction fits.
        if (DistanceToPoint(sample.position, end) < hardEdgeDistance) return sample.geometricNormal;
        const int edge = walker.BestEdge();
        if (size_t(edge) < sample.mesh->edgeNormals.size()) base = sample.mesh->NormalToWorld(sample.mesh->edgeNormals[size_t(edge)]);
    }

    const float angle = std::atan(1.0f - d / hardEdgeDistance);
    const float w = 1.0f - angle / (3.1415927f / 4.0f);
    return Math::NormalizeFast(base * (1.0f - w) + sample.normal * w);
}

float TraceShader::GetHardEdgeDistance(const TraceSample& sample) const {
    if (!sample.mesh || !(hardEdgeDistance > 0.0f)) return 0.0f;
    HardEdgeWalker walker(sample, *sample.mesh);
    float cornerNearest = std::numeric_limits<float>::infinity();
    walker.SearchFromTriangle([&](int corner) {
        Vec3 p;
        if (walker.CornerPosition(corner, &p)) cornerNearest = std::min(cornerNearest, DistanceToPoint(sample.position, p));
    });
    const float m = std::min(std::min(walker.BestDistance(), cornerNearest), hardEdgeDistance);
    return 1.0f - m / hardEdgeDistance;
}

}  // namespace Pallix::Bake
