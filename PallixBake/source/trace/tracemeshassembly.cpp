#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

// Turns the scene meshes of one trace group into a world-space SWTraceMesh and builds its grid.
// Scene methods defined beside the tracer, so that the geometry folder does not depend on it.
namespace Pallix::Bake {

using Math::Vec3;

void SceneMesh::AppendTo(Mesh& target) const {
    const size_t base = target.positions.size();
    const size_t vertexCount = positions.size();
    if (base + vertexCount > size_t(INT32_MAX)) throw std::length_error("trace mesh has too many vertices");

    const bool withUVs = scene && scene->hasUVs;
    const bool withNormals = scene && scene->hasNormals;
    const bool withColours = scene && scene->hasColours;
    const bool withNeighbours = scene && scene->hasNeighbourDirections;
    for (size_t j = 0; j < vertexCount; ++j) {
        target.positions.push_back(ToWorld(positions[j]));
        // An array the importer left short contributes defaults, so the per-vertex arrays of the
        // trace mesh stay parallel to its positions.
        if (withUVs) target.uvs.push_back(j < uvs.size() ? uvs[j] : Math::Vec2{});
        if (withNormals) target.normals.push_back(j < normals.size() ? Math::NormalizeFast(NormalToWorld(normals[j])) : Vec3{});
        if (withColours) target.colours.push_back(j < colours.size() ? colours[j] : ColourWhite);
        if (withNeighbours)
            target.neighbourDirections.push_back(j < neighbourDirections.size() ? neighbourDirections[j] : Math::Vec2{});
    }

    const size_t triangleCount = indices.size() / 3;
    for (size_t k = 0; k < triangleCount; ++k) {
        const uint32_t i0 = indices[3 * k], i1 = indices[3 * k + 1], i2 = indices[3 * k + 2];
        if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount)
            throw BakeException("Mesh " + name + " has a triangle index beyond its vertex count");
        int material = k < triangleMaterials.size() ? triangleMaterials[k] : -1;
        if (material < 0) material = 0;
        target.AddTriangle(int(base + i0), int(base + i1), int(base + i2), material);
    }
}

GridBox ChooseGridBox(const Scene& scene) {
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
    if (rest.IsEmpty()) return {scene.GetBounds(), false};
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
    if (!giants) return {scene.GetBounds(), false};
    box.Pad(0.004f);
    return {box, true};
}

bool Scene::BuildTraceMesh(SWTraceMesh* target, const TraceGridSettings* settings, const std::string* nameFilter) const {
    const TraceGridSettings defaults;
    if (!settings) settings = &defaults;
    auto selected = [nameFilter](const SceneMesh& mesh) {
        return !nameFilter || mesh.name.find(*nameFilter) != std::string::npos;
    };

    size_t triangleTotal = 0;
    for (const auto& mesh : meshes)
        if (selected(*mesh)) triangleTotal += mesh->indices.size() / 3;
    if (triangleTotal > size_t(INT32_MAX)) throw std::length_error("trace mesh has too many triangles");

    target->Reserve(3 * triangleTotal, triangleTotal, hasUVs, hasColours);
    if (hasNeighbourDirections) target->neighbourDirections.reserve(target->positions.capacity());

    // The grid covers the whole scene (but its giant triangles), selected or not, so every
    // trace group of a job shares one frame; the mesh's bounds are the whole scene's.
    const GridBox grid = ChooseGridBox(*this);
    target->grid.Init(grid.box, ChooseRootCellSize(*settings, grid.box, int(triangleTotal)));
    target->outsideToOutliers = grid.leavesOutGiants;
    target->bounds = GetBounds();

    for (const auto& material : materials) target->AddMaterial(*material);
    for (const auto& mesh : meshes)
        if (selected(*mesh)) mesh->AppendTo(*target);
    return target->Build(settings);
}

}  // namespace Pallix::Bake
