#include "geometry/meshtopology.h"

#include <bit>
#include <cmath>
#include <stdexcept>

#include "core/largeblock.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

// Bits of a coordinate for hashing and comparison: -0.0 becomes +0.0 so that equal floats give
// equal bits.
uint32_t CoordinateBits(float value) { return value == 0.0f ? 0u : std::bit_cast<uint32_t>(value); }

uint64_t HashPosition(const uint32_t bits[3]) {
    uint64_t h = bits[0] * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29) ^ bits[1]) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ bits[2]) * 0x94D049BB133111EBull;
    return h ^ (h >> 32);
}

void CheckIndices(const std::vector<uint32_t>& indices, size_t vertexCount) {
    if (indices.size() % 3 != 0) throw std::invalid_argument("Index list is not a list of triangles");
    for (uint32_t index : indices)
        if (index >= vertexCount) throw std::out_of_range("Triangle index beyond the vertex list");
}

}  // namespace

int WeldPositions(const std::vector<Vec3>& positions, std::vector<int32_t>& vertexPosition) {
    const size_t count = positions.size();
    if (count > size_t(INT32_MAX)) throw std::length_error("Too many vertices to weld");
    vertexPosition = FilledArray<int32_t>(count);
    // Open addressing over the first vertex of each position; a power-of-two table at most half
    // full keeps probes short.
    size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    const size_t mask = capacity - 1;
    std::vector<int32_t> slots = FilledArray<int32_t>(capacity, -1);  // first vertex of the position in this slot
    int32_t positionCount = 0;
    for (size_t v = 0; v < count; ++v) {
        const Vec3 p = positions[v];
        if (std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z)) {
            // NaN equals nothing, not even itself, so such a vertex is a position of its own.
            vertexPosition[v] = positionCount++;
            continue;
        }
        const uint32_t bits[3] = {CoordinateBits(p.x), CoordinateBits(p.y), CoordinateBits(p.z)};
        size_t slot = size_t(HashPosition(bits)) & mask;
        for (;;) {
            const int32_t first = slots[slot];
            if (first < 0) {
                slots[slot] = int32_t(v);
                vertexPosition[v] = positionCount++;
                break;
            }
            if (positions[first] == p) {
                vertexPosition[v] = vertexPosition[first];
                break;
            }
            slot = (slot + 1) & mask;
        }
    }
    return positionCount;
}

void MeshTopology::Clear() {
    neighbourCount.clear();
    neighbourOffset.clear();
    neighbours.clear();
    vertexPosition.clear();
    positionVertex.clear();
    positionVertexCount.clear();
    positionVertexOffset.clear();
    positionVertices.clear();
    edgeTriangles.clear();
    edgePositions.clear();
    neighbourEdges.clear();
    triangleEdges.clear();
}

void MeshTopology::Weld(const std::vector<Vec3>& positions) {
    const int positionCount = WeldPositions(positions, vertexPosition);
    positionVertexCount = FilledArray<int32_t>(size_t(positionCount));
    for (int32_t p : vertexPosition) ++positionVertexCount[p];
    positionVertexOffset = FilledArray<int32_t>(size_t(positionCount));
    int32_t offset = 0;
    for (int p = 0; p < positionCount; ++p) {
        positionVertexOffset[p] = offset;
        offset += positionVertexCount[p];
    }
    positionVertex = FilledArray<int32_t>(size_t(positionCount));
    positionVertices = FilledArray<int32_t>(positions.size());
    std::vector<int32_t> filled = FilledArray<int32_t>(size_t(positionCount));
    for (size_t v = 0; v < positions.size(); ++v) {
        const int32_t p = vertexPosition[v];
        positionVertex[p] = int32_t(v);  // the last vertex wins
        positionVertices[positionVertexOffset[p] + filled[p]++] = int32_t(v);
    }
}

void MeshTopology::BuildVertexAdjacency(const std::vector<uint32_t>& indices) {
    CheckIndices(indices, vertexPosition.size());
    const size_t positionCount = positionVertexCount.size();
    const size_t cornerCount = indices.size();

    // Every corner names two candidates: the next corner's position for its own position and
    // its own position for the next corner's. Keeping the first occurrence of each candidate in
    // corner order gives every run in the order its edges were first met.
    std::vector<int32_t> candidateOffset = FilledArray<int32_t>(positionCount + 1);
    for (size_t c = 0; c < cornerCount; ++c) {
        const size_t next = c % 3 == 2 ? c - 2 : c + 1;
        const int32_t a = vertexPosition[indices[c]], b = vertexPosition[indices[next]];
        if (a == b) continue;  // the edge of a degenerate triangle joins a position to itself
        ++candidateOffset[a + 1];
        ++candidateOffset[b + 1];
    }
    for (size_t p = 0; p < positionCount; ++p) candidateOffset[p + 1] += candidateOffset[p];
    std::vector<int32_t> candidates = FilledArray<int32_t>(size_t(candidateOffset[positionCount]));
    {
        std::vector<int32_t> fill(candidateOffset.begin(), candidateOffset.end() - 1);
        for (size_t c = 0; c < cornerCount; ++c) {
            const size_t next = c % 3 == 2 ? c - 2 : c + 1;
            const int32_t a = vertexPosition[indices[c]], b = vertexPosition[indices[next]];
            if (a == b) continue;
            candidates[fill[a]++] = b;
            candidates[fill[b]++] = a;
        }
    }

    neighbourCount = FilledArray<int32_t>(positionCount);
    neighbourOffset = FilledArray<int32_t>(positionCount);
    std::vector<int32_t> seenBy = FilledArray<int32_t>(positionCount, -1);
    int32_t kept = 0;
    for (size_t p = 0; p < positionCount; ++p) {
        neighbourOffset[p] = kept;
        for (int32_t i = candidateOffset[p]; i < candidateOffset[p + 1]; ++i) {
            const int32_t q = candidates[i];
            if (seenBy[q] == int32_t(p)) continue;
            seenBy[q] = int32_t(p);
            candidates[kept++] = q;  // compaction never overtakes the read position
        }
        neighbourCount[p] = kept - neighbourOffset[p];
    }
    candidates.resize(size_t(kept));
    candidates.shrink_to_fit();
    neighbours.swap(candidates);
}

void MeshTopology::BuildEdges(const std::vector<uint32_t>& indices) {
    CheckIndices(indices, vertexPosition.size());
    const size_t positionCount = positionVertexCount.size();
    const size_t cornerCount = indices.size();
    auto ends = [&](size_t c, int32_t& low, int32_t& high) {
        const size_t next = c % 3 == 2 ? c - 2 : c + 1;
        const int32_t a = vertexPosition[indices[c]], b = vertexPosition[indices[next]];
        low = a < b ? a : b;
        high = a < b ? b : a;
    };

    // Bucket the corners by the smaller position of their edge, keeping corner order, so that
    // within a bucket the first corner of each edge is the first one met.
    std::vector<int32_t> bucketOffset(positionCount + 1, 0);
    for (size_t c = 0; c < cornerCount; ++c) {
        int32_t low, high;
        ends(c, low, high);
        ++bucketOffset[low + 1];
    }
    for (size_t p = 0; p < positionCount; ++p) bucketOffset[p + 1] += bucketOffset[p];
    std::vector<int32_t> bucket(cornerCount);
    {
        std::vector<int32_t> fill(bucketOffset.begin(), bucketOffset.end() - 1);
        for (size_t c = 0; c < cornerCount; ++c) {
            int32_t low, high;
            ends(c, low, high);
            bucket[fill[low]++] = int32_t(c);
        }
    }
    // leader[c]: the first corner that has the same edge as corner c.
    std::vector<int32_t> leader(cornerCount);
    {
        std::vector<int32_t> seenBy(positionCount, -1), firstCorner(positionCount, 0);
        for (size_t p = 0; p < positionCount; ++p) {
            for (int32_t i = bucketOffset[p]; i < bucketOffset[p + 1]; ++i) {
                const int32_t c = bucket[i];
                int32_t low, high;
                ends(size_t(c), low, high);
                if (seenBy[high] != int32_t(p)) {
                    seenBy[high] = int32_t(p);
                    firstCorner[high] = c;
                }
                leader[c] = firstCorner[high];
            }
        }
    }

    // Edge ids in order of first appearance; a later triangle on the edge takes the second slot.
    edgeTriangles.clear();
    edgePositions.clear();
    triangleEdges.resize(cornerCount);
    edgeTriangles.reserve(cornerCount);
    edgePositions.reserve(cornerCount);
    for (size_t c = 0; c < cornerCount; ++c) {
        const int32_t t = int32_t(c / 3);
        if (leader[c] == int32_t(c)) {
            int32_t low, high;
            ends(c, low, high);
            triangleEdges[c] = int32_t(edgePositions.size() / 2);
            edgePositions.push_back(low);
            edgePositions.push_back(high);
            edgeTriangles.push_back(t);
            edgeTriangles.push_back(-1);
        } else {
            const int32_t e = triangleEdges[leader[c]];
            triangleEdges[c] = e;
            edgeTriangles[2 * size_t(e) + 1] = t;
        }
    }

    // neighbourEdges: look every neighbour pair up among the edges at its position.
    neighbourEdges.clear();
    if (neighbourCount.size() != positionCount) return;  // no adjacency part
    const size_t edgeCount = edgePositions.size() / 2;
    std::vector<int32_t> incidentOffset(positionCount + 1, 0);
    for (size_t e = 0; e < edgeCount; ++e) {
        ++incidentOffset[edgePositions[2 * e] + 1];
        if (edgePositions[2 * e + 1] != edgePositions[2 * e]) ++incidentOffset[edgePositions[2 * e + 1] + 1];
    }
    for (size_t p = 0; p < positionCount; ++p) incidentOffset[p + 1] += incidentOffset[p];
    std::vector<int32_t> incident(static_cast<size_t>(incidentOffset[positionCount]));
    {
        std::vector<int32_t> fill(incidentOffset.begin(), incidentOffset.end() - 1);
        for (size_t e = 0; e < edgeCount; ++e) {
            const int32_t a = edgePositions[2 * e], b = edgePositions[2 * e + 1];
            incident[fill[a]++] = int32_t(e);
            if (b != a) incident[fill[b]++] = int32_t(e);
        }
    }
    neighbourEdges.assign(neighbours.size(), -1);
    std::vector<int32_t> seenBy(positionCount, -1), edgeTo(positionCount, -1);
    for (size_t p = 0; p < positionCount; ++p) {
        for (int32_t i = incidentOffset[p]; i < incidentOffset[p + 1]; ++i) {
            const int32_t e = incident[i];
            const int32_t other = edgePositions[2 * size_t(e)] == int32_t(p) ? edgePositions[2 * size_t(e) + 1]
                                                                             : edgePositions[2 * size_t(e)];
            seenBy[other] = int32_t(p);
            edgeTo[other] = e;
        }
        for (int32_t i = 0; i < neighbourCount[p]; ++i) {
            const int32_t slot = neighbourOffset[p] + i;
            const int32_t q = neighbours[slot];
            neighbourEdges[slot] = seenBy[q] == int32_t(p) ? edgeTo[q] : -1;
        }
    }
}

}  // namespace Pallix::Bake
