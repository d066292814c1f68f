#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/bakejob.h"
#include "core/largeblock.h"
#include "geometry/mikktspace.h"
#include "geometry/scene.h"

namespace Pallix::Bake {

using Math::Vec2;
using Math::Vec3;

namespace {

bool SameVector(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

Vec3 NormalOf(const SceneMesh& mesh, size_t vertex) {
    return vertex < mesh.normals.size() ? mesh.normals[vertex] : Vec3{};
}

// Unit vector, or zero for a vector without a direction (zero length or not finite).
Vec3 UnitOrZero(Vec3 v) {
    const float lengthSquared = Math::Dot(v, v);
    if (!(lengthSquared > 0.0f) || !std::isfinite(lengthSquared)) return {};
    const Vec3 unit = Math::NormalizeFast(v);
    return Math::IsFinite(unit) ? unit : Vec3{};
}

// Angle between two unit vectors; rounding can push their dot product just past +-1.
float AngleBetween(Vec3 a, Vec3 b) { return std::acos(std::clamp(Math::Dot(a, b), -1.0f, 1.0f)); }

Vec3 TriangleNormal(const SceneMesh& mesh, int32_t triangle) {
    const uint32_t* t = &mesh.indices[3 * size_t(triangle)];
    return FaceNormal(mesh.positions[t[0]], mesh.positions[t[1]], mesh.positions[t[2]]);
}

// What the tangent generator sees of one scene mesh.
class TangentMesh : public MikkTSpace::IMesh {
public:
    TangentMesh(SceneMesh& mesh, bool negateSign) : mesh_(mesh), negateSign_(negateSign) {}

    int FaceCount() const override { return int(mesh_.indices.size() / 3); }
    Vec3 Position(int face, int corner) const override { return mesh_.positions[Vertex(face, corner)]; }
    Vec3 Normal(int face, int corner) const override { return mesh_.normals[Vertex(face, corner)]; }
    Vec2 TexCoord(int face, int corner) const override { return mesh_.uvs[Vertex(face, corner)]; }
    void SetTangentSpace(Vec3 tangent, float sign, int face, int corner) override {
        const uint32_t v = Vertex(face, corner);
        const Vec3 n = mesh_.normals[v];
        mesh_.tangents[v] = {tangent.x, tangent.y, tangent.z, negateSign_ ? -sign : sign};
        // The bitangent follows the generator's own sign, whatever is stored in w.
        mesh_.bitangents[v] = sign * Math::Cross(n, tangent);
    }

private:
    uint32_t Vertex(int face, int corner) const { return mesh_.indices[3 * size_t(face) + size_t(corner)]; }

    SceneMesh& mesh_;
    bool negateSign_;
};

}  // namespace

void SceneMesh::EnsureTopology(int parts) {
    int wanted = parts & (MeshTopology::PartWeld | MeshTopology::PartAdjacency | MeshTopology::PartEdges);
    // Adjacency and edges are built on the weld.
    if (wanted != 0) wanted |= MeshTopology::PartWeld;
    if (topology && (topologyParts & wanted) == wanted) return;
    // A rebuild keeps the parts the old record had, so no pass loses what an earlier one built.
    if (topology) wanted |= topologyParts;
    auto rebuilt = std::make_unique<MeshTopology>();
    if (wanted & MeshTopology::PartWeld) rebuilt->Weld(positions);
    if (wanted & MeshTopology::PartAdjacency) rebuilt->BuildVertexAdjacency(indices);
    if (wanted & MeshTopology::PartEdges) rebuilt->BuildEdges(indices);
    topology = std::move(rebuilt);
    topologyParts = wanted;
}

void Scene::BuildTopology(int parts) {
    for (const auto& mesh : meshes) mesh->EnsureTopology(parts);
}

void SceneMesh::MarkHardVertices() {
    EnsureTopology(MeshTopology::PartWeld | MeshTopology::PartAdjacency);
    const MeshTopology& topo = *topology;
    const int positionCount = topo.PositionCount();
    std::vector<uint8_t> hardPosition(size_t(positionCount), 0);
    for (int p = 0; p < positionCount; ++p) {
        const int32_t* run = &topo.positionVertices[size_t(topo.positionVertexOffset[p])];
        const Vec3 first = NormalOf(*this, size_t(run[0]));
        for (int32_t i = 1; i < topo.positionVertexCount[p]; ++i) {
            if (!SameVector(NormalOf(*this, size_t(run[i])), first)) {
                hardPosition[size_t(p)] = 1;
                break;
            }
        }
    }
    hardVertices.resize(positions.size());
    for (size_t v = 0; v < positions.size(); ++v) hardVertices[v] = hardPosition[size_t(topo.vertexPosition[v])] ? 1.0f : 0.0f;
}

void SceneMesh::MarkHardEdges() {
    EnsureTopology(MeshTopology::PartWeld | MeshTopology::PartAdjacency | MeshTopology::PartEdges);
    const MeshTopology& topo = *topology;
    const int edgeCount = topo.EdgeCount();
    hardEdges.assign(size_t(edgeCount), false);
    for (int e = 0; e < edgeCount; ++e) {
        const int32_t t0 = topo.edgeTriangles[2 * size_t(e)], t1 = topo.edgeTriangles[2 * size_t(e) + 1];
        if (t0 < 0 || t1 < 0) {
            hardEdges[size_t(e)] = true;  // open edge
            continue;
        }
        auto slotOf = [&](int32_t t) {
            const int32_t* edges = &topo.triangleEdges[3 * size_t(t)];
            return edges[0] == e ? 0 : (edges[1] == e ? 1 : 2);
        };
        const int j = slotOf(t0), k = slotOf(t1);
        const uint32_t a = indices[3 * size_t(t0) + size_t(j)], b = indices[3 * size_t(t0) + size_t((j + 1) % 3)];
        uint32_t c = indices[3 * size_t(t1) + size_t(k)], d = indices[3 * size_t(t1) + size_t((k + 1) % 3)];
        const int32_t* position = topo.vertexPosition.data();
        if (position[a] != position[c]) {
            // The triangles run the edge in opposite directions, so A meets D.
            if (position[a] != position[d]) std::printf("Should not happen\n");
            std::swap(c, d);
        }
        const bool soft = SameVector(NormalOf(*this, a), NormalOf(*this, c)) && SameVector(NormalOf(*this, b), NormalOf(*this, d));
        hardEdges[size_t(e)] = !soft;
    }
}

void Scene::ComputeNeighbourDirections() {
    for (const auto& meshPtr : meshes) {
        SceneMesh& mesh = *meshPtr;
        mesh.EnsureTopology(MeshTopology::PartWeld | MeshTopology::PartAdjacency);
        const MeshTopology& topo = *mesh.topology;
        const size_t vertexCount = mesh.positions.size();
        // Written once, in vertex order: no zeroing pass first.
        mesh.neighbourDirections.clear();
        ReserveFilledOnce(mesh.neighbourDirections, vertexCount);
        for (size_t v = 0; v < vertexCount; ++v) {
            const Vec3 p = mesh.positions[v];
            const Vec3 n = NormalOf(mesh, v);
            const int32_t position = topo.vertexPosition[v];
            const int32_t* run = topo.neighbours.data() + topo.neighbourOffset[position];
            float below = 0.0f, above = 0.0f;
            for (int32_t i = 0; i < topo.neighbourCount[position]; ++i) {
                const Vec3 d = mesh.positions[size_t(topo.positionVertex[run[i]])] - p;
                const float lengthSquared = Math::Dot(d, d);
                if (!(std::sqrt(lengthSquared) > 1e-5f)) continue;
                const float s = Math::Dot(d * Math::RsqrtNewton(lengthSquared), n);
                if (!std::isfinite(s)) continue;  // a vertex without a usable normal
                if (s < 0.0f) below = std::max(below, -s);
                else above = std::max(above, s);
            }
            mesh.neighbourDirections.push_back({below, above});
        }
    }
}

void Scene::ComputeEdgeNormals() {
    for (const auto& meshPtr : meshes) {
        SceneMesh& mesh = *meshPtr;
        mesh.EnsureTopology(MeshTopology::PartWeld | MeshTopology::PartAdjacency | MeshTopology::PartEdges);
        const MeshTopology& topo = *mesh.topology;
        const int edgeCount = topo.EdgeCount();
        mesh.edgeNormals.resize(size_t(edgeCount));
        for (int e = 0; e < edgeCount; ++e) {
            const int32_t t0 = topo.edgeTriangles[2 * size_t(e)], t1 = topo.edgeTriangles[2 * size_t(e) + 1];
            // A degenerate triangle has no normal; it must not spoil the edge it shares.
            const Vec3 n0 = t0 >= 0 ? TriangleNormal(mesh, t0) : Vec3{};
            const Vec3 n1 = t1 >= 0 ? TriangleNormal(mesh, t1) : Vec3{};
            const bool has0 = t0 >= 0 && Math::IsFinite(n0), has1 = t1 >= 0 && Math::IsFinite(n1);
            Vec3 normal{};
            if (has0 && has1) {
                normal = UnitOrZero(n0 + n1);
                // Back-to-back faces cancel; the first face then stands for the edge.
                if (SameVector(normal, Vec3{})) normal = n0;
            } else if (has0) {
                normal = n0;
            } else if (has1) {
                normal = n1;
            }
            mesh.edgeNormals[size_t(e)] = normal;
        }
    }
}

namespace {

// Unit normal per welded position over the triangles around it, each corner weighted by its
// angle in mode 2 and by 1 otherwise. Degenerate triangles have no direction and add nothing;
// a position in no healthy triangle keeps a zero vector.
std::vector<Vec3> PositionNormals(const SceneMesh& mesh, int mode, std::vector<int32_t>& vertexPosition) {
    const std::vector<Vec3>& positions = mesh.positions;
    const std::vector<uint32_t>& indices = mesh.indices;
    const int positionCount = WeldPositions(positions, vertexPosition);
    std::vector<Vec3> sums(static_cast<size_t>(positionCount));
    const size_t vertexCount = positions.size();
    for (size_t i = 0; i + 2 < indices.size(); i += 3) {
        const uint32_t i0 = indices[i], i1 = indices[i + 1], i2 = indices[i + 2];
        if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount) continue;
        const Vec3 p0 = positions[i0], p1 = positions[i1], p2 = positions[i2];
        const Vec3 n = FaceNormal(p0, p1, p2);
        if (!Math::IsFinite(n)) continue;
        float w0 = 1.0f, w1 = 1.0f, w2 = 1.0f;
        if (mode == NormalsAngleWeighted) {
            const Vec3 e01 = UnitOrZero(p1 - p0), e02 = UnitOrZero(p2 - p0), e12 = UnitOrZero(p2 - p1);
            w0 = AngleBetween(e01, e02);
            w1 = AngleBetween(-e01, e12);
            w2 = AngleBetween(-e02, -e12);
        }
        sums[size_t(vertexPosition[i0])] = sums[size_t(vertexPosition[i0])] + n * w0;
        sums[size_t(vertexPosition[i1])] = sums[size_t(vertexPosition[i1])] + n * w1;
        sums[size_t(vertexPosition[i2])] = sums[size_t(vertexPosition[i2])] + n * w2;
    }
    for (Vec3& sum : sums) sum = UnitOrZero(sum);
    return sums;
}

bool HasDirection(Vec3 n) {
    const float lengthSquared = Math::Dot(n, n);
    return lengthSquared > 0.0f && std::isfinite(lengthSquared);
}

}  // namespace

void SceneMesh::RebuildNormals(int mode, bool toSmoothNormals) {
    std::vector<int32_t> vertexPosition;
    const std::vector<Vec3> sums = PositionNormals(*this, mode, vertexPosition);
    std::vector<Vec3>& target = toSmoothNormals ? smoothNormals : normals;
    target.resize(positions.size());
    for (size_t v = 0; v < positions.size(); ++v) target[v] = sums[size_t(vertexPosition[v])];
}

size_t SceneMesh::FillMissingNormals() {
    normals.resize(positions.size());
    size_t missing = 0;
    for (const Vec3& n : normals) missing += !HasDirection(n);
    if (missing == 0) return 0;
    std::vector<int32_t> vertexPosition;
    const std::vector<Vec3> sums = PositionNormals(*this, NormalsAngleWeighted, vertexPosition);
    for (size_t v = 0; v < normals.size(); ++v) {
        if (HasDirection(normals[v])) continue;
        normals[v] = sums[size_t(vertexPosition[v])];
        // The handedness of a frame read from the file was taken against the missing normal.
        if (v < tangents.size() && v < bitangents.size()) {
            Math::Vec4& t = tangents[v];
            t.w = Math::Dot(Math::Cross(normals[v], Vec3{t.x, t.y, t.z}), bitangents[v]) < 0.0f ? -1.0f : 1.0f;
        }
    }
    return missing;
}

void Scene::GenerateTangents(SceneMesh& mesh, bool negateSign) {
    const size_t vertexCount = mesh.positions.size();
    mesh.tangents.resize(vertexCount);
    mesh.bitangents.resize(vertexCount);
    // The generator reads a normal and a texture coordinate for every corner; a mesh that
    // lacks them (or has a stray index) keeps its frames as they are.
    if (mesh.normals.size() < vertexCount || mesh.uvs.size() < vertexCount) return;
    if (std::any_of(mesh.indices.begin(), mesh.indices.end(), [&](uint32_t i) { return i >= vertexCount; }))
        return;
    TangentMesh adapter(mesh, negateSign);
    MikkTSpace::Generate(adapter, 180.0f);
}

void Scene::GenerateTangents(bool negateSign) {
    for (const auto& mesh : meshes) GenerateTangents(*mesh, negateSign);
}

void Scene::Prepare(const MapSettings& map) {
    const int flags = needs;
    if (flags & NeedAdjacency) BuildTopology(7);
    else if (flags & (NeedNeighbourDirections | NeedHardVertices)) BuildTopology(3);
    else BuildTopology(0);
    if (flags & NeedHardVertices)
        for (const auto& mesh : meshes) mesh->MarkHardVertices();
    if (flags & NeedHardEdges)
        for (const auto& mesh : meshes) mesh->MarkHardEdges();
    if (flags & NeedNeighbourDirections) ComputeNeighbourDirections();
    if (flags & NeedEdgeNormals) ComputeEdgeNormals();
    if (flags & NeedSmoothNormals)
        for (const auto& mesh : meshes) mesh->RebuildNormals(NormalsAngleWeighted, true);
    if (!(flags & NeedTangents)) return;
    auto rebuildVertexNormals = [&] {
        if (map.rebuildNormals)
            for (const auto& mesh : meshes) mesh->RebuildNormals(NormalsUnweighted, false);
    };
    bool generated = false;
    switch (map.tangentSpace) {
        case TangentMikkt:
            GenerateTangents(false);
            generated = true;
            break;
        case TangentUe47:
            rebuildVertexNormals();
            if (map.generateTangents) GenerateTangents(true);
            generated = map.generateTangents;
            break;
        case TangentUnity:
            rebuildVertexNormals();
            if (map.generateTangents) GenerateTangents(false);
            generated = map.generateTangents;
            break;
        case TangentSource:
            if (map.generateTangents) GenerateTangents(true);
            generated = map.generateTangents;
            break;
        default:
            break;  // the importer's tangents stay
    }
    // A mesh whose file holds no tangent frame (an OBJ low-poly, an FBX exported without
    // tangents) would keep the placeholder frame, which is degenerate on most faces and turns
    // the tangent-space map into noise: it gets generated frames instead.
    if (!generated) {
        const bool negateSign = map.tangentSpace == TangentUe47 || map.tangentSpace == TangentSource;
        for (const auto& mesh : meshes)
            if (mesh->usedDefaultTangents) GenerateTangents(*mesh, negateSign);
    }
}

}  // namespace Pallix::Bake
