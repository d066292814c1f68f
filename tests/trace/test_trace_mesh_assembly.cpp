#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/bakeexception.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"
#include "tracetesthelpers.h"

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
    EXPECT_NEAR(mesh.TriangleNormal(mesh.triangles[0]).z, 1.0f, 1e-6f);
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
    EXPECT_EQ(target.TriangleMaterial(target.triangles[0]), target.materials[0].get());
    EXPECT_EQ(target.TriangleMaterial(target.triangles[0])->r, 0.5f);
    EXPECT_EQ(target.TriangleMaterial(target.triangles[1])->name, "blue");

    Scene bare;
    AddTriangles(*bare.AddMesh("m"), {Unit({0, 0, 0})}, -1);
    SWTraceMesh plain;
    ASSERT_TRUE(bare.BuildTraceMesh(&plain, nullptr, nullptr));
    EXPECT_EQ(plain.TriangleMaterial(plain.triangles[0]), nullptr);
}

TEST(TraceMeshAssembly, AnIndexBeyondTheVerticesIsRefused) {
    Scene scene;
    SceneMesh* mesh = scene.AddMesh("broken");
    AddTriangles(*mesh, {Unit({0, 0, 0})});
    mesh->indices[1] = 3;
    SWTraceMesh target;
    EXPECT_THROW(scene.BuildTraceMesh(&target, nullptr, nullptr), BakeException);
}

TEST(TraceMeshAssembly, GiantTrianglesStayOutOfTheCellsWithTheSameHits) {
    // A wavy 40 x 40 sheet over [-1, 1]^2 and, under it, one triangle two million units across;
    // or a crowd of 40 giants at slightly different depths: a fan of wedges four million units
    // long, whose tip lies far beside the sheet, which a grid can tell apart, or a stack of
    // triangles like the first at different turns, which overlap everywhere and stay a leaf.
    std::vector<std::array<Vec3, 3>> sheet;
    auto at = [](int i, int j) {
        const float x = -1.0f + float(i) / 20.0f, y = -1.0f + float(j) / 20.0f;
        return Vec3{x, y, 0.05f * std::sin(7.0f * x) * std::cos(5.0f * y)};
    };
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) {
            sheet.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            sheet.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    enum class Crowd { One, Fan, Stack };
    for (const Crowd crowd : {Crowd::One, Crowd::Fan, Crowd::Stack}) {
        const int giantCount = crowd == Crowd::One ? 1 : 40;
        SCOPED_TRACE(std::to_string(giantCount) + " giant triangles" + (crowd == Crowd::Fan ? " in a fan" : ""));
        std::vector<std::array<Vec3, 3>> giants;
        for (int k = 0; k < giantCount; ++k) {
            const float z = -0.5f - 0.01f * float(k);
            auto corner = [&](float angle) { return Vec3{1e6f * std::cos(angle), 1e6f * std::sin(angle), z}; };
            if (crowd == Crowd::Fan) {
                // Wedge 0 lies under the sheet, its edges far from it.
                const float wedge = 6.2831853f / float(giantCount), first = 3.1415927f - 0.5f * wedge;
                auto rim = [&](float angle) { return Vec3{2e6f + 4e6f * std::cos(angle), 4e6f * std::sin(angle), z}; };
                giants.push_back({Vec3{2e6f, 0.0f, z}, rim(first + wedge * float(k)), rim(first + wedge * float(k + 1))});
            } else {
                const float turn = 0.15f * float(k);
                giants.push_back({corner(turn), corner(turn + 2.0944f), corner(turn + 4.1888f)});
            }
        }
        Scene scene, plain;
        AddTriangles(*scene.AddMesh("high"), sheet);
        AddTriangles(*scene.meshes[0], giants);
        AddTriangles(*plain.AddMesh("high"), sheet);
        SWTraceMesh withGiants, without;
        ASSERT_TRUE(scene.BuildTraceMesh(&withGiants, nullptr, nullptr));
        ASSERT_TRUE(plain.BuildTraceMesh(&without, nullptr, nullptr));

        // The grid is laid over the sheet alone, as fine as without the giants, which every ray
        // meets in a leaf of their own (a crowd of them in that leaf's grid); the mesh's bounds
        // still hold the whole scene.
        ASSERT_NE(withGiants.grid.outliers, nullptr);
        EXPECT_EQ(withGiants.grid.outliers->triangleCount, giantCount);
        EXPECT_EQ(withGiants.grid.outliers->nested != nullptr, crowd == Crowd::Fan);
        EXPECT_EQ(without.grid.outliers, nullptr);
        EXPECT_EQ(withGiants.grid.cellCount, without.grid.cellCount);
        EXPECT_FLOAT_EQ(withGiants.grid.cellSize, without.grid.cellSize);
        EXPECT_GT(withGiants.GetBounds().maxX, 9e5f);

        std::vector<TraceTest::Triangle> soup;
        for (const auto& t : sheet) soup.push_back({t[0], t[1], t[2]});
        for (const auto& t : giants) soup.push_back({t[0], t[1], t[2]});

        uint32_t state = 7;
        auto next = [&] {
            state = state * 1664525u + 1013904223u;
            return float(state >> 8) / 16777216.0f;
        };
        int giantHits = 0, sheetHits = 0;
        for (int i = 0; i < 4000; ++i) {
            // From above the sheet (which lies above the giants) and between the two, some far
            // beside the sheet, downwards in every direction.
            const float spread = i % 4 == 0 ? 40.0f : 1.3f;
            const Vec3 origin{spread * (2 * next() - 1), spread * (2 * next() - 1), i % 3 == 0 ? -0.2f : 0.6f};
            const Vec3 direction{2 * next() - 1, 2 * next() - 1, -0.2f - next()};
            const TraceTest::Hit exact = TraceTest::BruteForceClosest(soup, origin, direction, 1e7);
            for (int kernel : {KernelPlueckerDouble, KernelMoellerFloat, KernelPlueckerAvx}) {
                const TraceRay ray = TraceRay::Make(origin, direction, 1e7f, kernel);
                TraceHit hit, sheetOnly;
                hit.distance = sheetOnly.distance = ray.maxDistance;
                const bool found = withGiants.grid.Intersect(ray, &hit);
                if (without.grid.Intersect(ray, &sheetOnly)) {
                    // The sheet is in the way: exactly the hit of the mesh without the giants.
                    ASSERT_TRUE(found) << "ray " << i << " kernel " << kernel;
                    EXPECT_EQ(hit.triangleId, sheetOnly.triangleId) << "ray " << i << " kernel " << kernel;
                    EXPECT_EQ(hit.distance, sheetOnly.distance) << "ray " << i << " kernel " << kernel;
                    EXPECT_EQ(hit.u, sheetOnly.u);
                    EXPECT_EQ(hit.v, sheetOnly.v);
                    sheetHits += kernel == KernelPlueckerDouble;
                    continue;
                }
                ASSERT_EQ(found, exact.hit) << "ray " << i << " kernel " << kernel;
                if (!found) continue;
                EXPECT_EQ(hit.triangleId, exact.id) << "ray " << i << " kernel " << kernel;
                EXPECT_NEAR(hit.distance, exact.t, 1e-4 * exact.t) << "ray " << i << " kernel " << kernel;
                giantHits += kernel == KernelPlueckerDouble;
            }
            const float limit = i % 2 ? 0.4f : 1e7f;
            EXPECT_EQ(withGiants.grid.Occluded(TraceRay::Make(origin, direction, limit, KernelPlueckerDouble)),
                      TraceTest::BruteForceAny(soup, origin, direction, limit))
                << "ray " << i;
        }
        EXPECT_GT(giantHits, 500);
        EXPECT_GT(sheetHits, 500);
    }
}

namespace {

template <class T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// A high-poly scene as the bake manager hands it over: centred, every kind of per-vertex array,
// a turned mesh, a mesh whose importer left its normals short and tangents nobody traces.
std::unique_ptr<Scene> MakeGroupScene() {
    auto scene = std::make_unique<Scene>(NeedNormals | NeedUVsAndColours | NeedNeighbourDirections | NeedTangents);
    scene->FindOrAddMaterial("skin");
    scene->FindOrAddMaterial("cloth");
    AddTriangles(*scene->AddMesh("arm_high"), {Unit({0, 0, 0}), Unit({0, 0, 1})}, 1);
    SceneMesh* left = scene->AddMesh("left_arm");
    AddTriangles(*left, {Unit({2, 0, 0}), Unit({2, 1, 0}), Unit({3, 0, 2})}, -1);
    const float quarterTurn[12] = {0, 1, 0, -1, 0, 0, 0, 0, 1, 1, 0, 0};
    left->SetTransform(quarterTurn);
    left->normals[4] = {0.6f, 0, 0.8f};
    SceneMesh* body = scene->AddMesh("body");
    AddTriangles(*body, {Unit({5, 0, 0}), Unit({5, 0, 3})}, 0);
    body->normals.pop_back();
    body->tangents.assign(body->positions.size(), {1, 0, 0, 1});
    body->bitangents.assign(body->positions.size(), {0, 1, 0});
    AddTriangles(*scene->AddMesh("unused"), {Unit({-4, -4, -4})});
    scene->Translate({-0.5f, 0.25f, -1.0f});
    return scene;
}

void ExpectSameTraceMesh(const SWTraceMesh& copied, const SWTraceMesh& used) {
    EXPECT_TRUE(SameBytes(copied.positions, used.positions));
    EXPECT_TRUE(SameBytes(copied.normals, used.normals));
    EXPECT_TRUE(SameBytes(copied.uvs, used.uvs));
    EXPECT_TRUE(SameBytes(copied.colours, used.colours));
    EXPECT_TRUE(SameBytes(copied.neighbourDirections, used.neighbourDirections));
    ASSERT_EQ(copied.triangles.size(), used.triangles.size());
    for (size_t t = 0; t < copied.triangles.size(); ++t) {
        const MeshTriangle &a = copied.triangles[t], &b = used.triangles[t];
        EXPECT_EQ(a.vertex0, b.vertex0);
        EXPECT_EQ(a.vertex1, b.vertex1);
        EXPECT_EQ(a.vertex2, b.vertex2);
        EXPECT_EQ(a.material, b.material) << "triangle " << t;
    }
    ASSERT_EQ(copied.materials.size(), used.materials.size());
    EXPECT_EQ(std::memcmp(&copied.bounds, &used.bounds, sizeof copied.bounds), 0);
    EXPECT_EQ(std::memcmp(&copied.grid.bounds, &used.grid.bounds, sizeof copied.grid.bounds), 0);
    EXPECT_EQ(copied.grid.cellSize, used.grid.cellSize);
    const TraceGridStatistics a = ComputeGridStatistics(copied.grid), b = ComputeGridStatistics(used.grid);
    EXPECT_EQ(a.cellCount, b.cellCount);
    EXPECT_EQ(a.highWater, b.highWater);
    EXPECT_EQ(a.meanCount, b.meanCount);
    EXPECT_EQ(a.usage, b.usage);
}

}  // namespace

TEST(TraceMeshAssembly, UsingTheSceneUpBuildsWhatCopyingBuilds) {
    // "body" makes up the first group alone but is read again by the last, so only the last
    // one is handed it; "arm" takes two meshes, which are copied; left_arm is read again by
    // "left", which it makes up alone and is handed; "leg" selects nothing; "unused" is in no
    // group but still counts for the shared frame.
    const std::vector<std::string> groups = {"body", "arm", "left", "leg", "dy"};
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "name matching" : "one group");
        const auto kept = MakeGroupScene();
        const auto used = MakeGroupScene();
        const Vec3* bodyPositions = used->meshes[2]->positions.data();
        std::vector<std::unique_ptr<SWTraceMesh>> built;
        BuildTraceMeshes(*used, nullptr, named ? &groups : nullptr, built);
        ASSERT_EQ(built.size(), named ? groups.size() : 1u);
        for (size_t g = 0; g < built.size(); ++g) {
            SCOPED_TRACE(named ? groups[g] : "whole scene");
            SWTraceMesh copied;
            ASSERT_TRUE(kept->BuildTraceMesh(&copied, nullptr, named ? &groups[g] : nullptr));
            ExpectSameTraceMesh(copied, *built[g]);
        }
        if (named) {
            EXPECT_EQ(built[4]->positions.data(), bodyPositions);  // handed over, not copied
        }
        for (const auto& mesh : used->meshes) {
            EXPECT_EQ(mesh->positions.capacity(), 0u) << mesh->name;
            EXPECT_EQ(mesh->normals.capacity(), 0u) << mesh->name;
            EXPECT_EQ(mesh->tangents.capacity(), 0u) << mesh->name;
            EXPECT_EQ(mesh->indices.capacity(), 0u) << mesh->name;
        }
    }
}

TEST(TraceMeshAssembly, OnAPoolTheSceneIsUsedUpIntoTheSameMesh) {
    // A sheet of enough vertices for the passes over them to run in parts.
    const auto makeScene = [] {
        auto scene = std::make_unique<Scene>(NeedNormals | NeedNeighbourDirections);
        std::vector<std::array<Vec3, 3>> sheet;
        for (int i = 0; i < 300; ++i)
            for (int j = 0; j < 300; ++j) {
                const auto at = [](int x, int y) {
                    return Vec3{float(x), float(y), 0.3f * std::sin(0.1f * float(x)) * std::cos(0.07f * float(y))};
                };
                sheet.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
                sheet.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
            }
        SceneMesh* mesh = scene->AddMesh("high");
        AddTriangles(*mesh, sheet);
        mesh->normals[7] = {0.6f, 0, 0.8f};
        const float quarterTurn[12] = {0, 1, 0, -1, 0, 0, 0, 0, 1, 1, 0, 0};
        mesh->SetTransform(quarterTurn);
        scene->Translate({-150.0f, 20.0f, 0.25f});
        return scene;
    };
    const auto kept = makeScene();
    const auto used = makeScene();
    ASSERT_GE(used->meshes[0]->positions.size(), 2 * kVerticesPerPart);
    SWTraceMesh copied;
    ASSERT_TRUE(kept->BuildTraceMesh(&copied, nullptr, nullptr));
    ThreadPool pool(4);
    std::vector<std::unique_ptr<SWTraceMesh>> built;
    BuildTraceMeshes(*used, nullptr, nullptr, built, &pool);
    ASSERT_EQ(built.size(), 1u);
    ExpectSameTraceMesh(copied, *built[0]);
}

TEST(TraceMeshAssembly, CopiesStoredPerCornerAreTracedOnce) {
    // A triangle stored 20000 times over corners of its own, as a polygon importer stores a
    // file that repeats one face, beside another triangle: once their corners are shared the
    // copies are equal, and the grid holds the references of the two, as in a scene of as many
    // triangles whose others are not traced at all (two of their corners are equal).
    const auto build = [](bool copies) {
        Scene scene(NeedNormals);
        SceneMesh* mesh = scene.AddMesh("high");
        std::vector<std::array<Vec3, 3>> triangles = {Unit({0, 0, 0}), Unit({2, 0, 0.5f})};
        const std::array<Vec3, 3> segment = {Vec3{0, 0, 0}, Vec3{0, 0, 0}, Vec3{1, 1, 0}};
        triangles.insert(triangles.begin() + 1, 19999, copies ? Unit({0, 0, 0}) : segment);
        AddTriangles(*mesh, triangles);
        ThreadPool pool(4);
        std::vector<std::unique_ptr<SWTraceMesh>> built;
        BuildTraceMeshes(scene, nullptr, nullptr, built, &pool);
        return std::move(built.at(0));
    };
    const auto copied = build(true), apart = build(false);
    ASSERT_EQ(copied->triangles.size(), 20001u);
    EXPECT_EQ(copied->Footprint().references, apart->Footprint().references);
    const std::pair<Vec3, int> rays[] = {{{0.2f, 0.3f, 1}, 0}, {{2.6f, 0.1f, 1}, 20000}, {{0.9f, 0.9f, 1}, -1}};
    for (const auto& [from, id] : rays) {
        const TraceHit a = CastDown(*copied, from), b = CastDown(*apart, from);
        EXPECT_EQ(a.triangleId, id);
        EXPECT_EQ(b.triangleId, id);
        EXPECT_EQ(a.distance, b.distance);
        EXPECT_EQ(a.u, b.u);
        EXPECT_EQ(a.v, b.v);
    }
}

TEST(TraceMeshAssembly, CollinearCornersAreJudgedAsTheWorldStoresThem) {
    // A real triangle and 2000 triangles with three corners on one line exactly as floats, in
    // a mesh moved to world space: by a translation the floats stay on their line, and turned by
    // 30 degrees they are rounded apart into slivers no wider than that rounding. Either way no
    // cell takes them, as none takes a triangle collapsed onto a point. A corner some tens of units in
    // the last place off the line makes a triangle, which it bins.
    const auto build = [](const float transform[12], int onLines) {
        Scene scene(NeedNormals);
        SceneMesh* mesh = scene.AddMesh("high");
        std::vector<std::array<Vec3, 3>> triangles = {Unit({0, 0, 0})};
        for (int i = 0; i < 2000; ++i) {
            const Vec3 start{float(i % 40) / 64.0f, float(i / 40) / 64.0f, 0.5f};
            const Vec3 step{0.125f, 0.0625f, float(1 + i % 5) / 256.0f};
            const Vec3 off{0, 0, onLines == 2 ? 0x1p-14f : 0.0f};
            triangles.push_back({start, onLines ? start + step * 3.0f : start, onLines ? start + step + off : start});
        }
        AddTriangles(*mesh, triangles);
        mesh->SetTransform(transform);
        std::vector<std::unique_ptr<SWTraceMesh>> built;
        BuildTraceMeshes(scene, nullptr, nullptr, built);
        return built.at(0)->Footprint().references;
    };
    const float c = std::cos(0.5235988f), s = std::sin(0.5235988f);
    const float moved[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 8, 4, 0};
    const float turned[12] = {c, s, 0, -s, c, 0, 0, 0, 1, 0, 0, 0};
    for (const float* transform : {moved, turned}) {
        // The real triangle takes a few cells of whichever grid the bounds lay out.
        EXPECT_LT(build(transform, 1), build(transform, 0) + 100);
        EXPECT_GT(build(transform, 2), build(transform, 0) + 2000);
    }
}
