#include "geometry/scene.h"

#include <utility>

#include "core/largeblock.h"
#include "core/threadpool.h"

namespace Pallix::Bake {

using Math::AABB3;
using Math::Vec3;

Vec3 FaceNormal(Vec3 p0, Vec3 p1, Vec3 p2) { return Math::NormalizeFast(Math::Cross(p1 - p0, p2 - p0)); }

// ---- SceneMesh ------------------------------------------------------------------------------

SceneMesh::SceneMesh(Scene* owner, std::string meshName) : name(std::move(meshName)), scene(owner) {}

SceneMesh::~SceneMesh() = default;

void SceneMesh::Reserve(size_t vertexCount) {
    ReserveFilledOnce(positions, vertexCount);
    if (scene->hasNormals) ReserveFilledOnce(normals, vertexCount);
    if (scene->hasUVs) ReserveFilledOnce(uvs, vertexCount);
    if (scene->hasColours) ReserveFilledOnce(colours, vertexCount);
    if (scene->hasTangents) {
        ReserveFilledOnce(tangents, vertexCount);
        ReserveFilledOnce(bitangents, vertexCount);
    }
}

void SceneMesh::ReserveIndices(size_t triangleCount) {
    ReserveFilledOnce(indices, 3 * triangleCount);
    ReserveFilledOnce(triangleMaterials, triangleCount);
}

void SceneMesh::ReserveGeometry(size_t vertexCount, size_t triangleCount) {
    Reserve(vertexCount);
    ReserveIndices(triangleCount);
}

void SceneMesh::BeginPolygon(const SceneMaterial* polygonMaterial) {
    cornerCount = 0;
    fanCount = 0;
    firstVertex = int(positions.size());
    firstIndex = int(indices.size());
    material = polygonMaterial ? polygonMaterial->id : -1;
}

void SceneMesh::AddTangent(Vec3 tangent, Vec3 bitangent) {
    const size_t v = tangents.size();
    const Vec3 n = v < normals.size() ? normals[v] : Vec3{};
    const float w = Math::Dot(Math::Cross(n, tangent), bitangent) < 0.0f ? -1.0f : 1.0f;
    tangents.push_back({tangent.x, tangent.y, tangent.z, w});
    bitangents.push_back(bitangent);
}

void SceneMesh::AddCorner() {
    if (fanCount >= 2) {
        indices.push_back(uint32_t(firstVertex));
        indices.push_back(uint32_t(firstVertex + fanCount - 1));
        indices.push_back(uint32_t(firstVertex + fanCount));
        triangleMaterials.push_back(material);
    }
    ++fanCount;
    ++cornerCount;
}

void SceneMesh::FinishPolygon(bool usedDefaultTangent) { usedDefaultTangents = usedDefaultTangents || usedDefaultTangent; }

void SceneMesh::SetTransform(const float affine[12]) {
    for (int i = 0; i < 12; ++i) transform[i] = affine[i];
    // Columns a, b, c of the 3x3 part; the inverse transpose is the cofactor matrix / det,
    // whose columns are b x c, c x a, a x b.
    const Vec3 a{affine[0], affine[1], affine[2]};
    const Vec3 b{affine[3], affine[4], affine[5]};
    const Vec3 c{affine[6], affine[7], affine[8]};
    const Vec3 bc = Math::Cross(b, c), ca = Math::Cross(c, a), ab = Math::Cross(a, b);
    const float det = Math::Dot(a, bc);
    const float inv = det != 0.0f ? 1.0f / det : 0.0f;
    const Vec3 cols[3] = {bc * inv, ca * inv, ab * inv};
    for (int col = 0; col < 3; ++col) {
        normalMatrix[col * 3 + 0] = cols[col].x;
        normalMatrix[col * 3 + 1] = cols[col].y;
        normalMatrix[col * 3 + 2] = cols[col].z;
    }
}

void SceneMesh::ExpandBounds(AABB3& box, ThreadPool* pool) const {
    const size_t count = positions.size();
    if (!pool || count < 2 * kVerticesPerPart) {
        for (const Vec3& p : positions) box.Expand(ToWorld(p));
        return;
    }
    std::vector<AABB3> parts((count + kVerticesPerPart - 1) / kVerticesPerPart);
    pool->ParallelFor(size_t(0), count, kVerticesPerPart, [&](size_t first, size_t last) {
        AABB3& part = parts[first / kVerticesPerPart];
        for (size_t v = first; v < last; ++v) part.Expand(ToWorld(positions[v]));
    });
    // A bound moves only for a strictly smaller or larger value, so of equal ones (+0 and -0)
    // the first stays: merged in order, the parts give what one pass over the points gives.
    for (const AABB3& part : parts) {
        if (part.minX < box.minX) box.minX = part.minX;
        if (part.minY < box.minY) box.minY = part.minY;
        if (part.minZ < box.minZ) box.minZ = part.minZ;
        if (part.maxX > box.maxX) box.maxX = part.maxX;
        if (part.maxY > box.maxY) box.maxY = part.maxY;
        if (part.maxZ > box.maxZ) box.maxZ = part.maxZ;
    }
}

namespace {

// clear() keeps the capacity; a swap with an empty array gives the memory back.
template <class Array>
void Release(Array& array) {
    Array().swap(array);
}

}  // namespace

void SceneMesh::ReleaseArrays() {
    Release(positions);
    Release(normals);
    Release(uvs);
    Release(colours);
    Release(neighbourDirections);
    Release(indices);
    Release(triangleMaterials);
    ReleaseUntracedArrays();
}

void SceneMesh::ReleaseUntracedArrays() {
    Release(smoothNormals);
    Release(tangents);
    Release(bitangents);
    Release(hardVertices);
    Release(hardEdges);
    Release(edgeNormals);
    topology.reset();
    topologyParts = 0;
    if (!scene || !scene->hasNormals) Release(normals);
    if (!scene || !scene->hasUVs) Release(uvs);
    if (!scene || !scene->hasColours) Release(colours);
    if (!scene || !scene->hasNeighbourDirections) Release(neighbourDirections);
}

// ---- Scene ----------------------------------------------------------------------------------

Scene::Scene(int needFlags)
    : needs(needFlags),
      hasTangents((needFlags & NeedTangents) != 0),
      hasUVs((needFlags & NeedUVsAndColours) != 0),
      hasColours((needFlags & NeedUVsAndColours) != 0),
      hasNormals((needFlags & NeedNormals) != 0),
      hasNeighbourDirections((needFlags & NeedNeighbourDirections) != 0) {}

Scene::~Scene() = default;

SceneMesh* Scene::AddMesh(const std::string& name) {
    meshes.push_back(std::make_unique<SceneMesh>(this, name));
    return meshes.back().get();
}

SceneMaterial* Scene::FindOrAddMaterial(const std::string& name) {
    for (; materialsIndexed_ < materials.size(); ++materialsIndexed_) {
        SceneMaterial* material = materials[materialsIndexed_].get();
        materialByName_.try_emplace(material->name, material);
    }
    if (const auto found = materialByName_.find(name); found != materialByName_.end()) return found->second;
    auto material = std::make_unique<SceneMaterial>();
    material->id = int(materials.size());
    material->name = name;
    SceneMaterial* added = material.get();
    materials.push_back(std::move(material));
    materialByName_.emplace(name, added);
    materialsIndexed_ = materials.size();
    return added;
}

int Scene::CountTriangles() const {
    size_t count = 0;
    for (const auto& mesh : meshes) count += mesh->indices.size() / 3;
    return int(count);
}

AABB3 Scene::GetBounds(ThreadPool* pool) const {
    AABB3 box;
    for (const auto& mesh : meshes) mesh->ExpandBounds(box, pool);
    box.Pad(0.004f);
    return box;
}

void Scene::Translate(Vec3 offset) {
    for (const auto& mesh : meshes) {
        mesh->transform[9] += offset.x;
        mesh->transform[10] += offset.y;
        mesh->transform[11] += offset.z;
    }
}

// ---- Mesh -----------------------------------------------------------------------------------

Mesh::Mesh() = default;

Mesh::~Mesh() = default;

void Mesh::Reserve(size_t vertexCount, size_t triangleCount, bool withUVs, bool withColours) {
    ReserveFilledOnce(positions, vertexCount);
    ReserveFilledOnce(normals, vertexCount);
    if (withUVs) ReserveFilledOnce(uvs, vertexCount);
    if (withColours) ReserveFilledOnce(colours, vertexCount);
    ReserveFilledOnce(triangles, triangleCount);
}

int Mesh::AddMaterial(const SceneMaterial& material) {
    auto copy = std::make_unique<SceneMaterial>(material);
    copy->id = int(materials.size());
    materials.push_back(std::move(copy));
    return int(materials.size()) - 1;
}

int Mesh::AddTriangle(int vertex0, int vertex1, int vertex2, int materialIndex) {
    MeshTriangle& t = triangles.emplace_back();
    t.vertex0 = vertex0;
    t.vertex1 = vertex1;
    t.vertex2 = vertex2;
    t.material = materialIndex >= 0 && size_t(materialIndex) < materials.size() ? materialIndex : -1;
    return int(triangles.size()) - 1;
}

Vec3 Mesh::TriangleNormal(const MeshTriangle& t) const {
    const size_t count = positions.size();
    if (size_t(t.vertex0) >= count || size_t(t.vertex1) >= count || size_t(t.vertex2) >= count) return {};
    return FaceNormal(positions[size_t(t.vertex0)], positions[size_t(t.vertex1)], positions[size_t(t.vertex2)]);
}

double Mesh::Finalize() {
    centre = bounds.Centre();
    const Vec3 diagonal = bounds.Max() - bounds.Min();
    const double length = std::sqrt(double(diagonal.x) * diagonal.x + double(diagonal.y) * diagonal.y +
                                    double(diagonal.z) * diagonal.z);
    radius = float(length * 0.5);
    radiusSquared = radius * radius;
    return length;
}

}  // namespace Pallix::Bake
