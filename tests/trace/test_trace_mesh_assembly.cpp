#include <gtest/gtest.h>

#include <string>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

namespace {

// Adds triangles to a mesh, stored per corner, with the scene's per-vertex arrays as its
// flags ask.
void AddTriangles(SceneMesh& mesh, const std::vector<std::array<Vec3, 3>>& triangles, int material = -1) {
    const Scene& scene = *mesh.scene;
    for (const auto& t : triangles) {
        for (const Vec3& p : t) {
            mesh.positions.push_back(p);
            if (scene.hasNormals) mesh.normals.push_back({0, 0, 1});
            if (scene.hasUVs) mesh.uvs.push_back({p.x, p.y});
            if (scene.hasColours) mesh.colours.push_back(PackColour(1, 2, 3, 4));
            if (scene.hasNeighbourDirections) mesh.neighbourDirections.push_back({0.25f, 0.5f});
        }
        const uint32_t base = uint32_t(mesh.positions.size() - 3);
        mesh.indices.insert(mesh.indices.end(), {base, base + 1, base + 2});
        mesh.triangleMaterials.push_back(material);
    }
}

std::array<Vec3, 3> Unit(Vec3 at) { return {at, at + Vec3{1, 0, 0}, at + Vec3{0, 1, 0}}; }

TraceHit CastDown(const SWTraceMesh& mesh, Vec3 from) {
    const TraceRay ray = TraceRay::Make(from, {0, 0, -1}, 100.0f, KernelPlueckerSse);
    TraceHit hit;
    hit.distance = ray.maxDistance;
    if (!mesh.grid.Intersect(ray, &hit)) hit.triangleId = -1;
    return hit;
}

}  // namespace

TEST(TraceMeshAssembly, NameFilterSelectsBySubstring) {
    Scene scene;
    AddTriangles(*scene.AddMesh("arm_high"), {Unit({0, 0, 0})});
    AddTriangles(*scene.AddMesh("left_arm"), {Unit({2, 0, 0})});
    AddTriangles(*scene.AddMesh("Arm"), {Unit({4, 0, 0})});
    const std::string arm = "arm", none = "", leg = "leg";

    SWTraceMesh filtered;
    EXPECT_TRUE(scene.BuildTraceMesh(&filtered, nullptr, &arm));
    EXPECT_EQ(filtered.triangles.size(), 2u);
    EXPECT_EQ(CastDown(filtered, {2.2f, 0.2f, 1}).triangleId, 1);
    EXPECT_EQ(CastDown(filtered, {4.2f, 0.2f, 1}).triangleId, -1);  // "Arm": case matters

    SWTraceMesh everything, emptyFilter;
    EXPECT_TRUE(scene.BuildTraceMesh(&everything, nullptr, nullptr));
    EXPECT_TRUE(scene.BuildTraceMesh(&emptyFilter, nullptr, &none));
    EXPECT_EQ(everything.triangles.size(), 3u);
    EXPECT_EQ(emptyFilter.triangles.size(), 3u);
    EXPECT_EQ(CastDown(everything, {4.2f, 0.2f, 1}).triangleId, 2);

    // Nothing selected: still a grid over the whole scene, on which everything misses.
    SWTraceMesh nothing;
    EXPECT_TRUE(scene.BuildTraceMesh(&nothing, nullptr, &leg));
    EXPECT_EQ(nothing.triangles.size(), 0u);
    const Pallix::Math::AABB3 bounds = scene.GetBounds();
    EXPECT_EQ(nothing.grid.bounds.minX, bounds.minX);
    EXPECT_EQ(nothing.grid.bounds.maxX, bounds.maxX);
    EXPECT_GT(nothing.grid.cellCount, 0);
    EXPECT_EQ(CastDown(nothing, {0.2f, 0.2f, 1}).triangleId, -1);
}

TEST(TraceMeshAssembly, AppendsInWorldSpace) {
    Scene scene(NeedNormals | NeedUVsAndColours | NeedNeighbourDirections);
    SceneMesh* first = scene.AddMesh("first");
    AddTriangles(*first, {Unit({0, 0, 0}), Unit({0, 0, 1})});
    SceneMesh* second = scene.AddMesh("second");
    AddTriangles(*second, {Unit({0, 0, 2}), Unit({0, 0, 3}), {{{1, 0, 0}, {1, 0, 1}, {1, 1, 0}}}});
    second->normals.back() = {1, 0, 0};
    // A quarter turn about z, then a shift by (1, 0, 0).
    const float quarterTurn[12] = {0, 1, 0, -1, 0, 0, 0, 0, 1, 1, 0, 0};
    second->SetTransform(quarterTurn);

    SWTraceMesh mesh;
    ASSERT_TRUE(scene.BuildTraceMesh(&mesh, nullptr, nullptr));
    ASSERT_EQ(mesh.positions.size(), 15u);
    ASSERT_EQ(mesh.triangles.size(), 5u);
    EXPECT_EQ(mesh.triangles[2].vertex0, 6);  // the second mesh's indices start after the first's vertices
    EXPECT_EQ(mesh.triangles[4].vertex2, 14);
    const Vec3 moved = mesh.positions[12];   // (1, 0, 0) of the second mesh
    EXPECT_NEAR(moved.x, 1.0f, 1e-6f);
    EXPECT_NEAR(moved.y, 1.0f, 1e-6f);
    EXPECT_NEAR(moved.z, 0.0f, 1e-6f);
    const Vec3 turned = mesh.normals[14];    // normal (1, 0, 0)
    EXPECT_NEAR(turned.x, 0.0f, 1e-6f);
    EXPECT_NEAR(turned.y, 1.0f, 1e-6f);
    ASSERT_EQ(mesh.uvs.size(), 15u);
    ASSERT_EQ(mesh.colours.size(), 15u);
    EXPECT_EQ(mesh.colours[3], PackColour(1, 2, 3, 4));
    ASSERT_EQ(mesh.neighbourDirections.size(), 15u);
    EXPECT_EQ(mesh.neighbourDirections[9].y, 0.5f);
    EXPECT_NEAR(mesh.triangles[0].normal.z, 1.0f, 1e-6f);  // face normals are computed by the build
}

TEST(TraceMeshAssembly, MaterialsAreCopiedAndMissingOnesTakeTheFirst) {
    Scene scene;
    scene.FindOrAddMaterial("red")->r = 0.5f;
    scene.FindOrAddMaterial("blue");
    SceneMesh* mesh = scene.AddMesh("m");
    AddTriangles(*mesh, {Unit({0, 0, 0})}, -1);
    AddTriangles(*mesh, {Unit({2, 0, 0})}, 1);
    SWTraceMesh target;
    ASSERT_TRUE(scene.BuildTraceMesh(&target, nullptr, nullptr));
    ASSERT_EQ(target.materials.size(), 2u);
    EXPECT_EQ(target.triangles[0].material, target.materials[0].get());
    EXPECT_EQ(target.triangles[0].material->r, 0.5f);
    EXPECT_EQ(target.triangles[1].material->name, "blue");

    Scene bare;
    AddTriangles(*bare.AddMesh("m"), {Unit({0, 0, 0})}, -1);
    SWTraceMesh plain;
    ASSERT_TRUE(bare.BuildTraceMesh(&plain, nullptr, nullptr));
    EXPECT_EQ(plain.triangles[0].material, nullptr);
}

TEST(TraceMeshAssembly, AnIndexBeyondTheVerticesIsRefused) {
    Scene scene;
    SceneMesh* mesh = scene.AddMesh("broken");
    AddTriangles(*mesh, {Unit({0, 0, 0})});
    mesh->indices[1] = 3;
    SWTraceMesh target;
    EXPECT_THROW(scene.BuildTraceMesh(&target, nullptr, nullptr), BakeException);
}
