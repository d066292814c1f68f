#include "geometry/hardedgequery.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory_resource>
#include <set>
#include <vector>

#include "geometry/scene.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

float DistanceToPoint(Vec3 p, Vec3 q) { return Math::Length(p - q); }

// Projection parameter of p on the segment a-b, unclamped (0 for a degenerate segment).
float Projection(Vec3 p, Vec3 a, Vec3 b) {
    const Vec3 ab = b - a;
    const float lengthSquared = Math::Dot(ab, ab);
    return lengthSquared > 0.0f ? Math::Dot(p - a, ab) / lengthSquared : 0.0f;
}

float DistanceToSegment(Vec3 p, Vec3 a, Vec3 b, float u) {
    return DistanceToPoint(p, a + (b - a) * std::clamp(u, 0.0f, 1.0f));
}

// The connectivity arrays a walk reads agree in size with each other and with the mesh.
bool Walkable(const SceneMesh& mesh, const MeshTopology* topology) {
    const size_t triangles = mesh.indices.size() / 3;
    return topology && topology->triangleEdges.size() >= 3 * triangles &&
           topology->edgeTriangles.size() == topology->edgePositions.size() &&
           topology->neighbourEdges.size() == topology->neighbours.size() &&
           topology->neighbourOffset.size() == topology->neighbourCount.size();
}

size_t TopologyEdgeCount(const MeshTopology& topology) { return topology.edgePositions.size() / 2; }

bool IsHardEdge(const SceneMesh& mesh, const MeshTopology& topology, int edge) {
    return edge >= 0 && size_t(edge) < mesh.hardEdges.size() && size_t(edge) < TopologyEdgeCount(topology) && mesh.hardEdges[edge];
}

// Calls f(edge) for every entry of the position's neighbour-edge run, skipping the -1 entries of
// pairs that have no edge.
template <class F>
void ForEachEdgeAt(const MeshTopology& topology, int position, F&& f) {
    if (position < 0 || size_t(position) >= topology.neighbourOffset.size()) return;
    const int64_t begin = topology.neighbourOffset[size_t(position)];
    const int64_t end = begin + topology.neighbourCount[size_t(position)];
    if (begin < 0 || end > int64_t(topology.neighbourEdges.size())) return;
    for (int64_t i = begin; i < end; ++i) {
        const int edge = topology.neighbourEdges[size_t(i)];
        if (edge >= 0) f(edge);
    }
}

// The depth-first walk behind FindNearestHardEdge; an edge whose distance does not improve on
// the best ends its branch.
class HardEdgeWalker {
public:
    HardEdgeWalker(const SceneMesh& mesh, const MeshTopology* topology, uint32_t triangle, Vec3 point, bool usable)
        : mesh(mesh), topology(topology), triangle(triangle), point(point), usable(usable),
          arena(buffer.data(), buffer.size()), visited(&arena), stack(&arena) {
        stack.reserve(64);
    }

    const NearestHardEdge& Result() const { return result; }

    int TriangleEdge(int t, int slot) const { return topology->triangleEdges[size_t(3 * t + slot)]; }
    int Triangle() const { return int(triangle); }

    bool IsHard(int edge) const { return usable && IsHardEdge(mesh, *topology, edge); }

    // Per-corner hard flag of the triangle (vertex 3 * triangle + corner).
    float HardVertex(int corner) const {
        const size_t v = size_t(3) * triangle + size_t(corner);
        return v < mesh.hardVertices.size() ? mesh.hardVertices[v] : 0.0f;
    }

    // World position of corner j of the triangle; false for an index beyond the arrays.
    bool CornerPosition(int corner, Vec3* out) const {
        const size_t slot = size_t(3) * triangle + size_t(corner);
        if (slot >= mesh.indices.size() || mesh.indices[slot] >= mesh.positions.size()) return false;
        *out = mesh.ToWorld(mesh.positions[mesh.indices[slot]]);
        return true;
    }

    // World endpoints of an edge, read from the first triangle that has it, with the welded
    // positions of both ends.
    bool Endpoints(int edge, Vec3* a, Vec3* b, int* positionA, int* positionB) const {
        if (edge < 0 || size_t(edge) >= EdgeCount()) return false;
        int t = topology->edgeTriangles[size_t(2 * edge)];
        if (t < 0) t = topology->edgeTriangles[size_t(2 * edge + 1)];
        if (t < 0 || size_t(t) >= mesh.indices.size() / 3) return false;
        for (int k = 0; k < 3; ++k) {
            if (TriangleEdge(t, k) != edge) continue;
            const uint32_t va = mesh.indices[size_t(3 * t + k)];
            const uint32_t vb = mesh.indices[size_t(3 * t + (k + 1) % 3)];
            if (va >= mesh.positions.size() || vb >= mesh.positions.size()) return false;
            *a = mesh.ToWorld(mesh.positions[va]);
            *b = mesh.ToWorld(mesh.positions[vb]);
            *positionA = PositionOf(va);
            *positionB = PositionOf(vb);
            return true;
        }
        return false;
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
            const float u = Projection(point, a, b);
            const float distance = DistanceToSegment(point, a, b, u);
            if (!(distance < result.edgeDistance)) continue;
            result.edgeDistance = distance;
            result.edge = edge;
            result.endA = a;
            result.endB = b;
            result.positionA = positionA;
            result.positionB = positionB;
            result.along = u;
            // Children go on the stack in reverse so that they are taken in the order a
            // recursive walk would visit them: the second position's edges, then the first's.
            const size_t mark = stack.size();
            const int second = topology->edgePositions[size_t(2 * edge + 1)];
            const int first = topology->edgePositions[size_t(2 * edge)];
            for (int position : {second, first})
                ForEachEdgeAt(*topology, position, [&](int next) {
                    if (IsHard(next)) stack.push_back(next);
                });
            std::reverse(stack.begin() + std::ptrdiff_t(mark), stack.end());
        }
    }

    // Turns around corner j of the triangle, first crossing edge slot, and starts the search
    // from the first hard edge met. A non-manifold fan can lead in circles that never return to
    // the start, so the number of crossings is bounded by what the corner's position can have
    // around it.
    void WalkAroundCorner(int corner, int slot) {
        const int start = Triangle();
        const size_t cornerSlot = size_t(3 * start + corner);
        if (mesh.indices[cornerSlot] >= topology->vertexPosition.size()) return;
        const int position = topology->vertexPosition[mesh.indices[cornerSlot]];
        if (position < 0 || size_t(position) >= topology->positionVertexCount.size()) return;
        int bound = topology->positionVertexCount[size_t(position)] + 2;
        if (size_t(position) < topology->neighbourCount.size()) bound += topology->neighbourCount[size_t(position)];

        const int triangleCount = int(mesh.indices.size() / 3);
        int t = start;
        for (int steps = 0; steps < bound; ++steps) {
            const int edge = TriangleEdge(t, slot);
            if (edge < 0 || size_t(edge) >= EdgeCount()) return;
            const int t0 = topology->edgeTriangles[size_t(2 * edge)], t1 = topology->edgeTriangles[size_t(2 * edge + 1)];
            const int next = t0 == t ? t1 : t0;
            if (next < 0 || next >= triangleCount || next == start || next == t) return;
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
            t = next;
            slot = nextSlot;
        }
    }

    // From every hard edge of the triangle, then around every hard corner through its soft
    // edges; each hard corner's own distance counts as well. Without usable connectivity only
    // the hard corners themselves are measured.
    void SearchFromTriangle() {
        result.connected = usable;
        if (triangle >= mesh.indices.size() / 3) return;
        const int start = Triangle();
        if (usable) {
            for (int j = 0; j < 3; ++j)
                if (IsHard(TriangleEdge(start, j))) Search(TriangleEdge(start, j));
        }
        for (int j = 0; j < 3; ++j) {
            if (!(HardVertex(j) > 0.0f)) continue;
            Vec3 p;
            if (CornerPosition(j, &p)) result.cornerDistance = std::min(result.cornerDistance, DistanceToPoint(point, p));
            if (!usable) continue;
            if (!IsHard(TriangleEdge(start, j))) WalkAroundCorner(j, j);
            if (!IsHard(TriangleEdge(start, (j + 2) % 3))) WalkAroundCorner(j, (j + 2) % 3);
        }
    }

private:
    size_t EdgeCount() const { return TopologyEdgeCount(*topology); }

    int PositionOf(uint32_t vertex) const {
        return vertex < topology->vertexPosition.size() ? topology->vertexPosition[vertex] : -1;
    }

    const SceneMesh& mesh;
    const MeshTopology* topology;
    uint32_t triangle;
    Vec3 point;
    bool usable;
    NearestHardEdge result;
    // The visited set and the stack live in a buffer on the caller's stack; only an unusually
    // long search spills to the heap.
    std::array<std::byte, 8192> buffer;
    std::pmr::monotonic_buffer_resource arena;
    std::pmr::set<int> visited;
    std::pmr::vector<int> stack;
};

}  // namespace

NearestHardEdge FindNearestHardEdge(const SceneMesh& mesh, uint32_t triangle, Vec3 point) {
    const MeshTopology* topology = mesh.topology.get();
    const bool usable = Walkable(mesh, topology) && triangle < mesh.indices.size() / 3;
    HardEdgeWalker walker(mesh, topology, triangle, point, usable);
    walker.SearchFromTriangle();
    return walker.Result();
}

int CountHardEdgesAt(const SceneMesh& mesh, int position) {
    const MeshTopology* topology = mesh.topology.get();
    if (!Walkable(mesh, topology)) return 0;
    int count = 0;
    ForEachEdgeAt(*topology, position, [&](int edge) { count += IsHardEdge(mesh, *topology, edge) ? 1 : 0; });
    return count;
}

}  // namespace Pallix::Bake
