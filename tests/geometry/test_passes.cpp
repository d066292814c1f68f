#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "core/bakejob.h"
#include "geometry/scene.h"
#include "meshbuilders.h"

using namespace Pallix::Bake;
using MeshBuilders::AddPolygon;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

bool Near(Vec3 a, Vec3 b, float tolerance) {
    return std::fabs(a.x - b.x) <= tolerance && std::fabs(a.y - b.y) <= tolerance && std::fabs(a.z - b.z) <= tolerance;
}

int CountTrue(const std::vector<bool>& bits) {
    int count = 0;
    for (bool b : bits) count += b ? 1 : 0;
    return count;
}

}  // namespace

TEST(ScenePasses, FlatCubeHasHardCornersAndEdges) {
    Scene scene(NeedHardVertices | NeedHardEdges | NeedEdgeNormals);
    SceneMesh* cube = scene.AddMesh("cube");
    MeshBuilders::AddFlatCube(*cube);
    scene.Prepare(MapSettings{});
    ASSERT_EQ(cube->hardVertices.size(), 36u);
    for (float hard : cube->hardVertices) EXPECT_EQ(hard, 1.0f);
    ASSERT_EQ(cube->hardEdges.size(), 18u);
    EXPECT_EQ(CountTrue(cube->hardEdges), 12);
    const MeshTopology& topo = *cube->topology;
    for (int e = 0; e < topo.EdgeCount(); ++e) {
        const Vec3 a = cube->positions[size_t(topo.positionVertex[topo.edgePositions[2 * size_t(e)]])];
        const Vec3 b = cube->positions[size_t(topo.positionVertex[topo.edgePositions[2 * size_t(e) + 1]])];
        const Vec3 d = b - a;
        const bool diagonal = Pallix::Math::Dot(d, d) > 1.5f;
        EXPECT_EQ(bool(cube->hardEdges[size_t(e)]), !diagonal) << "edge " << e;
        // A cube edge's normal points out between its two faces; a diagonal's is its face's.
        const Vec3 n = cube->edgeNormals[size_t(e)];
        EXPECT_NEAR(Pallix::Math::Length(n), 1.0f, 1e-5f);
        if (!diagonal) EXPECT_NEAR(std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z), std::sqrt(2.0f), 1e-5f);
        else EXPECT_NEAR(std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z), 1.0f, 1e-5f);
    }
}

TEST(ScenePasses, SmoothSphereHasNoHardVerticesOrEdges) {
    Scene scene(NeedAdjacency | NeedHardVertices | NeedHardEdges);
    SceneMesh* sphere = scene.AddMesh("sphere");
    MeshBuilders::AddSmoothSphere(*sphere, 8, 12);
    scene.Prepare(MapSettings{});
    EXPECT_EQ(sphere->topologyParts, 7);
    for (float hard : sphere->hardVertices) EXPECT_EQ(hard, 0.0f);
    EXPECT_EQ(CountTrue(sphere->hardEdges), 0);
    EXPECT_EQ(sphere->hardEdges.size(), size_t(sphere->topology->EdgeCount()));
}

TEST(ScenePasses, NeighbourExtentsOfATent) {
    // A ridge vertex at the origin looking up, one neighbour below its tangent plane at 45
    // degrees and one above at about 26.6 degrees.
    Scene scene(NeedNeighbourDirections);
    SceneMesh* mesh = scene.AddMesh("tent");
    const Vec3 up{0, 0, 1};
    AddPolygon(*mesh, {{{0, 0, 0}, up, {}}, {{1, 0, -1}, up, {}}, {{0, 2, 1}, up, {}}});
    scene.Prepare(MapSettings{});
    EXPECT_EQ(mesh->topologyParts, 3);
    ASSERT_EQ(mesh->neighbourDirections.size(), 3u);
    EXPECT_NEAR(mesh->neighbourDirections[0].x, std::sqrt(0.5f), 1e-4f);
    EXPECT_NEAR(mesh->neighbourDirections[0].y, 1.0f / std::sqrt(5.0f), 1e-4f);
}

TEST(ScenePasses, AngleWeightedAndPlainNormals) {
    // Two triangles meet at the origin: one with a right angle there in the plane z = 0, one
    // with a thin sliver corner there in the plane x = 0.
    auto build = [](Scene& scene) {
        SceneMesh* mesh = scene.AddMesh("m");
        mesh->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 0}, {0, 1, 0.05f}};
        mesh->normals.assign(6, Vec3{});
        mesh->indices = {0, 1, 2, 3, 4, 5};
        return mesh;
    };
    Scene weighted, plain;
    SceneMesh* a = build(weighted);
    SceneMesh* b = build(plain);
    a->RebuildNormals(2, true);
    b->RebuildNormals(0, false);
    ASSERT_EQ(a->smoothNormals.size(), 6u);
    EXPECT_EQ(a->normals[0], (Vec3{}));  // the other destination is left alone
    const float sliver = std::atan(0.05f);
    const Vec3 expected = Pallix::Math::NormalizeFast(Vec3{sliver, 0, 1.5707964f});
    EXPECT_TRUE(Near(a->smoothNormals[0], expected, 1e-4f));
    EXPECT_EQ(a->smoothNormals[0], a->smoothNormals[3]);
    EXPECT_TRUE(Near(b->normals[0], Vec3{std::sqrt(0.5f), 0, std::sqrt(0.5f)}, 1e-4f));
    EXPECT_TRUE(Near(b->normals[1], Vec3{0, 0, 1}, 1e-5f));
}

TEST(ScenePasses, DegenerateTrianglesDoNotSpreadNaN) {
    Scene scene(NeedEdgeNormals | NeedSmoothNormals);
    SceneMesh* mesh = scene.AddMesh("m");
    const Vec3 n{0, 0, 1};
    AddPolygon(*mesh, {{{0, 0, 0}, n, {}}, {{1, 0, 0}, n, {}}, {{0, 1, 0}, n, {}}});
    AddPolygon(*mesh, {{{0, 0, 0}, n, {}}, {{1, 0, 0}, n, {}}, {{1, 0, 0}, n, {}}});  // zero area
    AddPolygon(*mesh, {{{5, 5, 5}, n, {}}, {{5, 5, 5}, n, {}}, {{5, 5, 5}, n, {}}});  // a point
    // Thin but healthy triangles whose unit edges can meet at a dot product just over 1.
    for (int i = 1; i <= 40; ++i) {
        const float h = 1e-4f * float(i);
        AddPolygon(*mesh, {{{10, 0, 0}, n, {}}, {{11 + h, 0, 0}, n, {}}, {{11, h, 0}, n, {}}});
    }
    scene.Prepare(MapSettings{});
    for (const Vec3& e : mesh->edgeNormals) EXPECT_TRUE(Pallix::Math::IsFinite(e));
    EXPECT_TRUE(Near(mesh->edgeNormals[0], n, 1e-5f));  // shared with the zero-area triangle
    for (size_t v = 0; v < mesh->VertexCount(); ++v) ASSERT_TRUE(Pallix::Math::IsFinite(mesh->smoothNormals[v])) << v;
    EXPECT_TRUE(Near(mesh->smoothNormals[0], n, 1e-5f));
    EXPECT_EQ(mesh->smoothNormals[6], (Vec3{}));  // a position in no healthy triangle
    EXPECT_TRUE(Near(mesh->smoothNormals[9], n, 1e-5f));
}

TEST(ScenePasses, MissingNormalsAreFilledFromTheFacesAroundThem) {
    // The two triangles of the angle-weighting case, stored per corner, with a zero-area
    // triangle on the shared corner; only some vertices carry a normal.
    Scene scene;
    SceneMesh* mesh = scene.AddMesh("m");
    mesh->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 0}, {0, 1, 0.05f}, {0, 0, 0}, {1, 0, 0}, {1, 0, 0}};
    mesh->indices = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    const float nan = std::nanf("");
    mesh->normals = {{0, 0, 1}, {}, {nan, 0, 1}, {}, {0, 1, 0}, {}, {}};  // two short of the vertices
    // Frames whose handedness flips with the normal: b = n x t for n = (0, 0, 1).
    mesh->tangents.assign(9, {1, 0, 0, -1});
    mesh->bitangents.assign(9, {0, 1, 0});
    mesh->tangents[4].w = 1;

    Scene reference;
    SceneMesh* smooth = reference.AddMesh("m");
    smooth->positions = mesh->positions;
    smooth->indices = mesh->indices;
    smooth->RebuildNormals(NormalsAngleWeighted, true);

    EXPECT_EQ(mesh->FillMissingNormals(), 7u);
    ASSERT_EQ(mesh->normals.size(), 9u);
    EXPECT_EQ(mesh->normals[0], (Vec3{0, 0, 1}));
    EXPECT_EQ(mesh->normals[4], (Vec3{0, 1, 0}));
    for (size_t v : {1, 2, 3, 5, 6, 7, 8}) {
        EXPECT_EQ(mesh->normals[v], smooth->smoothNormals[v]) << v;
        EXPECT_TRUE(Pallix::Math::IsFinite(mesh->normals[v])) << v;
    }
    EXPECT_TRUE(Near(mesh->normals[1], {0, 0, 1}, 1e-5f));
    // A filled vertex's frame takes the handedness of its new normal; the others keep theirs.
    EXPECT_EQ(mesh->tangents[1].w, 1.0f);
    EXPECT_EQ(mesh->tangents[0].w, -1.0f);
    EXPECT_EQ(mesh->tangents[4].w, 1.0f);
    // Nothing left to fill.
    EXPECT_EQ(mesh->FillMissingNormals(), 0u);
}

TEST(ScenePasses, TangentConventionsByTargetApplication) {
    // A quad tilted in its plane's normal, with imported frames that are easy to recognise.
    auto build = [](Scene& scene) {
        SceneMesh* mesh = scene.AddMesh("quad");
        const Vec3 tilted = Pallix::Math::NormalizeFast(Vec3{1, 0, 1});
        AddPolygon(*mesh, {{{0, 0, 0}, tilted, {0, 0}}, {{1, 0, 0}, {0, 0, 1}, {1, 0}}, {{1, 1, 0}, {0, 0, 1}, {1, 1}}});
        AddPolygon(*mesh, {{{0, 0, 0}, {0, 0, 1}, {0, 0}}, {{1, 1, 0}, {0, 0, 1}, {1, 1}}, {{0, 1, 0}, {0, 0, 1}, {0, 1}}});
        mesh->tangents.assign(6, {0, 0, 7, 1});
        mesh->bitangents.assign(6, {0, 0, 7});
        return mesh;
    };
    auto prepare = [&](int tangentSpace, bool generate, bool rebuild) {
        auto scene = std::make_unique<Scene>(NeedTangents | NeedNormals | NeedUVsAndColours);
        build(*scene);
        MapSettings map;
        map.tangentSpace = tangentSpace;
        map.generateTangents = generate;
        map.rebuildNormals = rebuild;
        scene->Prepare(map);
        return scene;
    };
    const auto mikkt = prepare(TangentMikkt, false, false);
    EXPECT_TRUE(Near(Vec3{mikkt->meshes[0]->tangents[1].x, mikkt->meshes[0]->tangents[1].y, mikkt->meshes[0]->tangents[1].z}, {1, 0, 0}, 1e-5f));
    EXPECT_EQ(mikkt->meshes[0]->tangents[1].w, 1.0f);

    const auto source = prepare(TangentSource, false, false);
    EXPECT_EQ(source->meshes[0]->tangents[1].z, 7.0f);
    const auto sourceGenerated = prepare(TangentSource, true, false);
    EXPECT_EQ(sourceGenerated->meshes[0]->tangents[1].w, -1.0f);
    EXPECT_FLOAT_EQ(sourceGenerated->meshes[0]->bitangents[1].y, 1.0f);

    const auto fbx = prepare(TangentFbx, true, true);
    EXPECT_EQ(fbx->meshes[0]->tangents[4].z, 7.0f);
    EXPECT_EQ(fbx->meshes[0]->normals[0].x, Pallix::Math::NormalizeFast(Vec3{1, 0, 1}).x);

    // Rebuilt normals are plain averages: the tilted imported normal is gone.
    const auto unreal = prepare(TangentUe47, true, true);
    EXPECT_TRUE(Near(unreal->meshes[0]->normals[0], {0, 0, 1}, 1e-5f));
    EXPECT_EQ(unreal->meshes[0]->tangents[0].w, -1.0f);
    const auto unity = prepare(TangentUnity, false, true);
    EXPECT_TRUE(Near(unity->meshes[0]->normals[0], {0, 0, 1}, 1e-5f));
    EXPECT_EQ(unity->meshes[0]->tangents[0].z, 7.0f);
}

TEST(ScenePasses, MeshesWithoutTangentsInTheFileGetGeneratedFrames) {
    // The placeholder frame (1, 0, 0), (0, 0, 1) collapses on a face looking along z; a mesh
    // that used it must come out with the generated frame in every convention.
    auto prepare = [](int tangentSpace, bool placeholder) {
        auto scene = std::make_unique<Scene>(NeedTangents | NeedNormals | NeedUVsAndColours);
        SceneMesh* mesh = scene->AddMesh("quad");
        AddPolygon(*mesh, {{{0, 0, 0}, {0, 0, 1}, {0, 0}}, {{1, 0, 0}, {0, 0, 1}, {1, 0}}, {{1, 1, 0}, {0, 0, 1}, {1, 1}}});
        AddPolygon(*mesh, {{{0, 0, 0}, {0, 0, 1}, {0, 0}}, {{1, 1, 0}, {0, 0, 1}, {1, 1}}, {{0, 1, 0}, {0, 0, 1}, {0, 1}}});
        mesh->tangents.assign(6, {1, 0, 0, 1});
        mesh->bitangents.assign(6, {0, 0, 1});
        mesh->FinishPolygon(placeholder);
        MapSettings map;
        map.tangentSpace = tangentSpace;
        scene->Prepare(map);
        return scene;
    };
    for (int space : {TangentNone, TangentFbx, TangentMaya, TangentUe4, TangentUe3, TangentUe47, TangentSource}) {
        SCOPED_TRACE(space);
        const auto scene = prepare(space, true);
        const SceneMesh& mesh = *scene->meshes[0];
        for (size_t v = 0; v < 6; ++v) {
            EXPECT_TRUE(Near(Vec3{mesh.tangents[v].x, mesh.tangents[v].y, mesh.tangents[v].z}, {1, 0, 0}, 1e-5f));
            EXPECT_TRUE(Near(mesh.bitangents[v], {0, 1, 0}, 1e-5f));
        }
        // The sign follows the convention: negated for ue47 and source.
        const bool negated = space == TangentUe47 || space == TangentSource;
        EXPECT_EQ(mesh.tangents[0].w, negated ? -1.0f : 1.0f);
    }
    // Frames the file did provide are kept.
    const auto kept = prepare(TangentFbx, false);
    EXPECT_EQ(kept->meshes[0]->bitangents[2].z, 1.0f);
}
