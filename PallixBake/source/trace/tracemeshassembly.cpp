#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bakeexception.h"
#include "core/largeblock.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"
#include "trace/vertexsharing.h"

// Turns the scene meshes of one trace group into a world-space SWTraceMesh and builds its grid.
// Scene methods defined beside the tracer, so that the geometry folder does not depend on it.
namespace Pallix::Bake {

using Math::Vec2;
using Math::Vec3;

namespace {

constexpr auto kUnchanged = [](auto value) { return value; };

// Gives step(traceArray, sceneArray, fill, map) every per-vertex array that trace meshes take
// from a scene mesh (Source is SceneMesh, const or not): fill is the entry of a vertex the
// importer left without one, map takes an entry to world space.
template <class Source, class Step>
void ForEachTracedArray(Source& mesh, Mesh& target, Step step) {
    const auto world = [&mesh](Vec3 p) { return mesh.ToWorld(p); };
    const auto worldNormal = [&mesh](Vec3 n) { return Math::NormalizeFast(mesh.NormalToWorld(n)); };
    step(target.positions, mesh.positions, Vec3{}, world);
    const Scene* scene = mesh.scene;
    if (!scene) return;
    if (scene->hasUVs) step(target.uvs, mesh.uvs, Vec2{}, kUnchanged);
    if (scene->hasNormals) step(target.normals, mesh.normals, Vec3{}, worldNormal);
    if (scene->hasColours) step(target.colours, mesh.colours, ColourWhite, kUnchanged);
    if (scene->hasNeighbourDirections) step(target.neighbourDirections, mesh.neighbourDirections, Vec2{}, kUnchanged);
}

// An array the importer left short contributes defaults (fill), so the per-vertex arrays of the
// trace mesh stay parallel to its positions; entries past the vertex count are left out.
template <class T, class Map>
void AppendParallel(std::vector<T>& to, const std::vector<T>& from, size_t vertexCount, T fill, Map map) {
    const size_t given = std::min(from.size(), vertexCount);
    for (size_t j = 0; j < given; ++j) to.push_back(map(from[j]));
    to.insert(to.end(), vertexCount - given, fill);
}

// The same into an empty array: from is mapped in place, in parts on the pool when there is
// one, and handed over.
template <class T, class Map>
void MoveParallel(std::vector<T>& to, std::vector<T>& from, size_t vertexCount, T fill, Map map, ThreadPool* pool) {
    const size_t given = std::min(from.size(), vertexCount);
    ForEachPart(pool, given, kVerticesPerPart, [&from, &map](size_t first, size_t last) {
        for (size_t j = first; j < last; ++j) from[j] = map(from[j]);
    });
    from.resize(vertexCount, fill);
    to = std::move(from);
}

void CheckVertexCount(size_t vertexCount) {
    if (vertexCount > size_t(INT32_MAX)) throw std::length_error("trace mesh has too many vertices");
}

// Appends the mesh's triangles with their vertex indices moved by base; vertexCount is the
// mesh's, which its positions no longer show once handed over.
void AppendTriangles(const SceneMesh& mesh, size_t vertexCount, Mesh& target, size_t base) {
    const size_t triangleCount = mesh.indices.size() / 3;
    for (size_t k = 0; k < triangleCount; ++k) {
        const uint32_t i0 = mesh.indices[3 * k], i1 = mesh.indices[3 * k + 1], i2 = mesh.indices[3 * k + 2];
        if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount)
            throw BakeException("Mesh " + mesh.name + " has a triangle index beyond its vertex count");
        int material = k < mesh.triangleMaterials.size() ? mesh.triangleMaterials[k] : -1;
        if (material < 0) material = 0;
        target.AddTriangle(int(base + i0), int(base + i1), int(base + i2), material);
    }
}

}  // namespace

void SceneMesh::AppendTo(Mesh& target) const {
    const size_t base = target.positions.size();
    const size_t vertexCount = positions.size();
    CheckVertexCount(base + vertexCount);
    ForEachTracedArray(*this, target, [vertexCount](auto& to, const auto& from, auto fill, auto map) {
        AppendParallel(to, from, vertexCount, fill, map);
    });
    AppendTriangles(*this, vertexCount, target, base);
}

void SceneMesh::MoveInto(Mesh& target, ThreadPool* pool) {
    if (!target.positions.empty() || !target.triangles.empty()) {
        AppendTo(target);
        ReleaseArrays();
        return;
    }
    const size_t vertexCount = positions.size();
    CheckVertexCount(vertexCount);
    ForEachTracedArray(*this, target, [vertexCount, pool](auto& to, auto& from, auto fill, auto map) {
        MoveParallel(to, from, vertexCount, fill, map, pool);
    });
    ReserveFilledOnce(target.triangles, TriangleCount());
    AppendTriangles(*this, vertexCount, target, 0);
    ReleaseArrays();
}

GridBox ChooseGridBox(const Scene& scene) { return ChooseGridBox(scene, scene.GetBounds()); }

GridBox ChooseGridBox(const Scene& scene, const Math::AABB3& sceneBounds) {
    // The giants are found among the largest sixteenth of the triangles (at most 65536 of
    // them); one is a giant when it is more than kGiant times as large as the box of every
    // smaller triangle. However many there are, they cost a ray little: a crowd of them gets a
    // grid of its own in the outlier leaf.
    size_t triangleCount = 0;
    for (const auto& mesh : scene.meshes) triangleCount += mesh->indices.size() / 3;
    const size_t kCandidates = std::clamp<size_t>(triangleCount / 16, 16, 65536);
    constexpr float kGiant = 4.0f;
    struct Candidate {
        float size;
        Math::AABB3 box;
    };
    auto longestSide = [](const Math::AABB3& box) {
        return std::max({box.maxX - box.minX, box.maxY - box.minY, box.maxZ - box.minZ});
    };
    auto larger = [](const Candidate& a, const Candidate& b) { return a.size > b.size; };
    std::vector<Candidate> largest;  // a heap whose front is the smallest of them
    largest.reserve(kCandidates);
    Math::AABB3 rest;
    for (const auto& mesh : scene.meshes) {
        const size_t vertexCount = mesh->positions.size();
        const size_t triangleCount = mesh->indices.size() / 3;
        for (size_t k = 0; k < triangleCount; ++k) {
            const uint32_t* corner = &mesh->indices[3 * k];
            if (corner[0] >= vertexCount || corner[1] >= vertexCount || corner[2] >= vertexCount) continue;
            Candidate c{0.0f, {}};
            bool finite = true;
            for (int j = 0; j < 3; ++j) {
                const Vec3 p = mesh->ToWorld(mesh->positions[corner[j]]);
                finite = finite && Math::IsFinite(p);
                c.box.Expand(p);
            }
            if (!finite) continue;  // never binned, so it cannot stretch the grid
            c.size = longestSide(c.box);
            if (largest.size() < kCandidates) {
                largest.push_back(c);
                std::push_heap(largest.begin(), largest.end(), larger);
            } else if (c.size > largest.front().size) {
                rest.Expand(largest.front().box);
                std::pop_heap(largest.begin(), largest.end(), larger);
                largest.back() = c;
                std::push_heap(largest.begin(), largest.end(), larger);
            } else {
                rest.Expand(c.box);
            }
        }
    }
    if (rest.IsEmpty()) return {sceneBounds, false};
    std::sort(largest.begin(), largest.end(), [](const Candidate& a, const Candidate& b) { return a.size < b.size; });
    Math::AABB3 box = rest;
    bool giants = false;
    for (const Candidate& c : largest) {
        if (c.size > kGiant * longestSide(box)) {
            giants = true;  // and so is every larger one
            break;
        }
        box.Expand(c.box);
    }
    if (!giants) return {sceneBounds, false};
    box.Pad(0.004f);
    return {box, true};
}

namespace {

void CheckTriangleTotal(size_t triangleTotal) {
    if (triangleTotal > size_t(INT32_MAX)) throw std::length_error("trace mesh has too many triangles");
}

// The assembly's steps before the meshes: the root grid over the box every trace mesh of the
// scene shares (the whole scene's but its giant triangles, selected or not), the whole scene's
// bounds and the scene's materials.
void PrepareTarget(const Scene& scene, const GridBox& grid, const Math::AABB3& bounds, size_t triangleTotal,
                   const TraceGridSettings& settings, SWTraceMesh& target) {
    target.grid.Init(grid.box, ChooseRootCellSize(settings, grid.box, int(triangleTotal)));
    target.outsideToOutliers = grid.leavesOutGiants;
    target.bounds = bounds;
    for (const auto& material : scene.materials) target.AddMaterial(*material);
}

void ReserveFor(const Scene& scene, size_t triangleTotal, Mesh& target) {
    target.Reserve(3 * triangleTotal, triangleTotal, scene.hasUVs, scene.hasColours);
    if (scene.hasNeighbourDirections) ReserveFilledOnce(target.neighbourDirections, target.positions.capacity());
}

}  // namespace

bool Scene::BuildTraceMesh(SWTraceMesh* target, const TraceGridSettings* settings, const std::string* nameFilter) const {
    const TraceGridSettings defaults;
    if (!settings) settings = &defaults;
    auto selected = [nameFilter](const SceneMesh& mesh) {
        return !nameFilter || mesh.name.find(*nameFilter) != std::string::npos;
    };

    size_t triangleTotal = 0;
    for (const auto& mesh : meshes)
        if (selected(*mesh)) triangleTotal += mesh->TriangleCount();
    CheckTriangleTotal(triangleTotal);
    ReserveFor(*this, triangleTotal, *target);
    const Math::AABB3 bounds = GetBounds();
    PrepareTarget(*this, ChooseGridBox(*this, bounds), bounds, triangleTotal, *settings, *target);
    for (const auto& mesh : meshes)
        if (selected(*mesh)) mesh->AppendTo(*target);
    ShareIdenticalVertices(*target);
    return target->Build(settings);
}

void BuildTraceMeshes(Scene& scene, const TraceGridSettings* settings, const std::vector<std::string>* groupNames,
                      std::vector<std::unique_ptr<SWTraceMesh>>& into, ThreadPool* pool,
                      const TraceMeshMaker& makeMesh) {
    const TraceGridSettings defaults;
    if (!settings) settings = &defaults;
    const size_t groupCount = groupNames ? groupNames->size() : 1;
    auto selects = [groupNames](size_t group, const SceneMesh& mesh) {
        return !groupNames || mesh.name.find((*groupNames)[group]) != std::string::npos;
    };
    const size_t meshCount = scene.meshes.size();
    constexpr size_t kNoGroup = SIZE_MAX;
    std::vector<size_t> lastGroup(meshCount, kNoGroup);
    for (size_t i = 0; i < meshCount; ++i)
        for (size_t group = 0; group < groupCount; ++group)
            if (selects(group, *scene.meshes[i])) lastGroup[i] = group;

    for (const auto& mesh : scene.meshes) mesh->ReleaseUntracedArrays();
    // Every group shares the frame of the whole scene, so it is taken before any mesh goes.
    const Math::AABB3 bounds = scene.GetBounds(pool);
    const GridBox grid = ChooseGridBox(scene, bounds);
    for (size_t i = 0; i < meshCount; ++i)
        if (lastGroup[i] == kNoGroup) scene.meshes[i]->ReleaseArrays();

    std::vector<size_t> selected;
    for (size_t group = 0; group < groupCount; ++group) {
        selected.clear();
        size_t triangleTotal = 0;
        for (size_t i = 0; i < meshCount; ++i) {
            if (!selects(group, *scene.meshes[i])) continue;
            selected.push_back(i);
            triangleTotal += scene.meshes[i]->TriangleCount();
        }
        CheckTriangleTotal(triangleTotal);
        std::unique_ptr<SWTraceMesh> target = makeMesh ? makeMesh() : std::make_unique<SWTraceMesh>();
        PrepareTarget(scene, grid, bounds, triangleTotal, *settings, *target);
        if (selected.size() == 1 && lastGroup[selected[0]] == group) {
            scene.meshes[selected[0]]->MoveInto(*target, pool);
        } else {
            ReserveFor(scene, triangleTotal, *target);
            for (size_t i : selected) {
                scene.meshes[i]->AppendTo(*target);
                if (lastGroup[i] == group) scene.meshes[i]->ReleaseArrays();
            }
        }
        ShareIdenticalVertices(*target, pool);
        target->Build(settings);
        into.push_back(std::move(target));
    }
}

}  // namespace Pallix::Bake
