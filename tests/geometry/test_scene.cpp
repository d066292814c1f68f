#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/scene.h"
#include "meshbuilders.h"

using namespace Pallix::Bake;
using Pallix::Math::AABB3;
using Pallix::Math::Vec3;

namespace {

void AddCorners(SceneMesh& mesh, int count, const SceneMaterial* material) {
    mesh.BeginPolygon(material);
    for (int i = 0; i < count; ++i) {
        mesh.positions.push_back({float(i), float(i * i), 0.0f});
        mesh.AddCorner();
    }
    mesh.FinishPolygon(false);
}

}  // namespace

TEST(Scene, PolygonsFanFromTheirFirstCorner) {
    Scene scene;
    SceneMesh* mesh = scene.AddMesh("m");
    EXPECT_EQ(mesh->scene, &scene);
    EXPECT_EQ(mesh->topologyParts, 0);
    const SceneMaterial* red = scene.FindOrAddMaterial("red");
    const SceneMaterial* blue = scene.FindOrAddMaterial("blue");
    AddCorners(*mesh, 2, red);  // too few corners: vertices but no triangle
    AddCorners(*mesh, 4, blue);
    AddCorners(*mesh, 5, nullptr);
    EXPECT_EQ(mesh->VertexCount(), 11u);
    EXPECT_EQ(mesh->indices, (std::vector<uint32_t>{2, 3, 4, 2, 4, 5, 6, 7, 8, 6, 8, 9, 6, 9, 10}));
    EXPECT_EQ(mesh->triangleMaterials, (std::vector<int>{1, 1, -1, -1, -1}));
    EXPECT_EQ(mesh->firstVertex, 6);
    EXPECT_EQ(mesh->firstIndex, 6);
    EXPECT_EQ(mesh->cornerCount, 5);
    EXPECT_EQ(scene.CountTriangles(), 5);
}

TEST(Scene, MaterialsMatchWholeNames) {
    Scene scene;
    SceneMaterial* metal = scene.FindOrAddMaterial("metal");
    SceneMaterial* longer = scene.FindOrAddMaterial("metal_rough");
    EXPECT_NE(metal, longer);
    EXPECT_EQ(scene.FindOrAddMaterial("metal"), metal);
    EXPECT_EQ(metal->id, 0);
    EXPECT_EQ(longer->id, 1);
    EXPECT_EQ(longer->r, 1.0f);
    EXPECT_EQ(longer->b, 1.0f);

    // A material put in the list directly is found by name too, and the first of two
    // namesakes is the one returned.
    for (int copy = 0; copy < 2; ++copy) {
        auto direct = std::make_unique<SceneMaterial>();
        direct->id = int(scene.materials.size());
        direct->name = "direct";
        scene.materials.push_back(std::move(direct));
    }
    EXPECT_EQ(scene.FindOrAddMaterial("direct"), scene.materials[2].get());
    EXPECT_EQ(scene.FindOrAddMaterial("new")->id, 4);
    EXPECT_EQ(scene.materials.size(), 5u);
}

TEST(Scene, TangentHandednessFromNormalAndBitangent) {
    Scene scene(NeedTangents | NeedNormals);
    SceneMesh* mesh = scene.AddMesh("m");
    mesh->normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    mesh->AddTangent({1, 0, 0}, {0, 1, 0});
    mesh->AddTangent({1, 0, 0}, {0, -1, 0});
    mesh->AddTangent({1, 0, 0}, {0, 0, 1});  // zero product counts as right-handed
    ASSERT_EQ(mesh->tangents.size(), 3u);
    EXPECT_EQ(mesh->tangents[0].w, 1.0f);
    EXPECT_EQ(mesh->tangents[1].w, -1.0f);
    EXPECT_EQ(mesh->tangents[2].w, 1.0f);
    EXPECT_EQ(mesh->bitangents[1].y, -1.0f);
}

TEST(Scene, TransformsBoundsAndTranslation) {
    Scene scene;
    EXPECT_TRUE(scene.GetBounds().IsEmpty());
    SceneMesh* mesh = scene.AddMesh("m");
    mesh->positions = {{0, 0, 0}};
    AABB3 box = scene.GetBounds();
    EXPECT_FLOAT_EQ(box.minX, -0.004f);
    EXPECT_FLOAT_EQ(box.maxZ, 0.004f);

    // A quarter turn about z, scaled by 2 along x, then moved by (1, 0, 0).
    const float affine[12] = {0, 2, 0, -1, 0, 0, 0, 0, 1, 1, 0, 0};
    mesh->SetTransform(affine);
    const Vec3 p = mesh->ToWorld({1, 0, 0});
    EXPECT_FLOAT_EQ(p.x, 1.0f);
    EXPECT_FLOAT_EQ(p.y, 2.0f);
    // The normal of the plane x = 0 turns with the axes but not with the scale.
    const Vec3 n = mesh->NormalToWorld({1, 0, 0});
    EXPECT_NEAR(n.x, 0.0f, 1e-7f);
    EXPECT_FLOAT_EQ(n.y, 0.5f);
    // A sheared map: normals must stay perpendicular to mapped tangents.
    const float shear[12] = {1, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0};
    mesh->SetTransform(shear);
    const Vec3 mappedTangent = mesh->ToWorld({0, 1, 0});
    EXPECT_NEAR(Pallix::Math::Dot(mesh->NormalToWorld({0, 0, 1}), mappedTangent), 0.0f, 1e-6f);
    EXPECT_NEAR(Pallix::Math::Dot(mesh->NormalToWorld({1, 0, 0}), mappedTangent), 0.0f, 1e-6f);

    mesh->SetTransform(affine);
    scene.Translate({1, 2, 3});
    EXPECT_EQ(mesh->transform[9], 2.0f);
    EXPECT_EQ(mesh->transform[10], 2.0f);
    EXPECT_EQ(mesh->transform[11], 3.0f);
    EXPECT_EQ(mesh->positions[0], (Vec3{0, 0, 0}));
    box = scene.GetBounds();
    EXPECT_FLOAT_EQ(box.minX, 2.0f - 0.004f);
}

