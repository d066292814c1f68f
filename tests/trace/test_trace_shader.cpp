#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "bake/traceshader.h"
#include "geometry/meshbuilders.h"
#include "support/testsupport.h"
#include "tracetesthelpers.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;
using TraceTest::Triangle;
using KelvorTest::ExpectNear;
using KelvorTest::Unit;

namespace {

class Probe : public TraceShader {
public:
    void Shade(float* out, const TraceSample&, void*, int) const override { out[0] = out[1] = out[2] = out[3] = 0; }
};

// A square of side 8 around the z axis at the given height.
std::vector<Triangle> PlaneAt(float z) {
    return {{{-4, -4, z}, {4, -4, z}, {4, 4, z}}, {{-4, -4, z}, {4, 4, z}, {-4, 4, z}}};
}

std::unique_ptr<SWTraceMesh> Planes(std::initializer_list<float> heights) {
    std::vector<Triangle> soup;
    for (float z : heights) {
        const auto plane = PlaneAt(z);
        soup.insert(soup.end(), plane.begin(), plane.end());
    }
    Pallix::Math::AABB3 box;
    box.Expand(Vec3{-5, -5, -5});
    box.Expand(Vec3{5, 5, 5});
    return TraceTest::MakeTraceMesh(soup, TraceGridSettings(), 2, &box);
}

TraceSample SampleAt(Vec3 position, Vec3 normal = {0, 0, 1}) {
    TraceSample s;
    s.position = position;
    s.normal = normal;
    s.geometricNormal = normal;
    return s;
}

// Flat-shaded triangles (a, b, c, normal) stored per corner, prepared by the scene's own passes
// for the hard-edge queries: connectivity, hard vertices and edges, edge normals.
void BuildLowPoly(SceneMesh& mesh, const std::vector<std::array<Vec3, 4>>& faces) {
    for (const auto& [a, b, c, n] : faces) MeshBuilders::AddPolygon(mesh, {{a, n, {}}, {b, n, {}}, {c, n, {}}});
    mesh.EnsureTopology(7);
    mesh.MarkHardVertices();
    mesh.MarkHardEdges();
    mesh.scene->ComputeEdgeNormals();
}

// Flat-shaded cube [-1, 1]^3 wound outwards, two triangles per face; triangle 0 covers y < x on
// the top face.
std::vector<std::array<Vec3, 4>> Cube() {
    std::vector<std::array<Vec3, 4>> faces;
    auto quad = [&](Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3, Vec3 n) {
        faces.push_back({p0, p1, p2, n});
        faces.push_back({p0, p2, p3, n});
    };
    quad({-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}, {0, 0, 1});
    quad({-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {1, -1, -1}, {0, 0, -1});
    quad({-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}, {0, -1, 0});
    quad({-1, 1, -1}, {-1, 1, 1}, {1, 1, 1}, {1, 1, -1}, {0, 1, 0});
    quad({-1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {-1, 1, -1}, {-1, 0, 0});
    quad({1, -1, -1}, {1, 1, -1}, {1, 1, 1}, {1, -1, 1}, {1, 0, 0});
    return faces;
}

}  // namespace

TEST(TraceShader, OneSidedSearchesFromTheOuterEnd) {
    Probe shader;
    shader.maxDistance = 1.0f;
    for (float z : {-0.3f, 0.3f}) {
        const auto mesh = Planes({z});
        const TraceMeshList meshes{mesh.get()};
        shader.traceMeshes = &meshes;
        TraceHit hit;
        ASSERT_TRUE(shader.Trace(SampleAt({0.5f, 0.25f, 0}), &hit));
        EXPECT_NEAR(hit.distance, z, 1e-6);
        ExpectNear(hit.position, {0.5f, 0.25f, z}, 1e-5f);
        EXPECT_EQ(hit.mesh, mesh.get());
        ASSERT_NE(hit.triangle, nullptr);
        EXPECT_EQ(hit.triangle, &mesh->triangles[size_t(hit.triangleId)]);
        EXPECT_EQ(hit.material, hit.mesh->TriangleMaterial(*hit.triangle));
    }
    // Two surfaces in front: the one nearest the outer end wins, not the one nearest the sample.
    const auto two = Planes({0.2f, 0.6f});
    const TraceMeshList meshes{two.get()};
    shader.traceMeshes = &meshes;
    TraceHit hit;
    ASSERT_TRUE(shader.Trace(SampleAt({0, 0, 0}), &hit));
    EXPECT_NEAR(hit.distance, 0.6, 1e-6);
    // Beyond the search range on both sides: nothing.
    const auto far = Planes({1.5f, -1.5f});
    const TraceMeshList farMeshes{far.get()};
    shader.traceMeshes = &farMeshes;
    EXPECT_FALSE(shader.Trace(SampleAt({0, 0, 0}), &hit));
}

TEST(TraceShader, TheEnvelopeCutsTheOutwardSearch) {
    Probe shader;
    shader.maxDistance = 1.0f;
    const auto mesh = Planes({0.3f, 0.6f, -0.8f});
    const auto envelope = Planes({0.4f});
    const TraceMeshList meshes{mesh.get()}, envelopes{envelope.get()};
    shader.traceMeshes = &meshes;
    shader.envelopeMeshes = &envelopes;
    TraceHit hit;
    ASSERT_TRUE(shader.Trace(SampleAt({0, 0, 0}), &hit));
    EXPECT_NEAR(hit.distance, 0.3, 1e-6);  // 0.6 lies beyond the envelope

    // Two-sided: the envelope at 0.1 hides the surfaces in front, yet the backward ray still
    // searches the full distance.
    const auto nearEnvelope = Planes({0.1f});
    const TraceMeshList nearEnvelopes{nearEnvelope.get()};
    shader.envelopeMeshes = &nearEnvelopes;
    shader.twoSided = 1;
    ASSERT_TRUE(shader.Trace(SampleAt({0, 0, 0}), &hit));
    EXPECT_NEAR(hit.distance, 0.8, 1e-6);
    ExpectNear(hit.position, {0, 0, -0.8f}, 1e-5f);

    // An envelope list without an entry for the mesh id leaves the search as it is.
    const TraceMeshList noEnvelope;
    shader.envelopeMeshes = &noEnvelope;
    shader.twoSided = 0;
    ASSERT_TRUE(shader.Trace(SampleAt({0, 0, 0}), &hit));
    EXPECT_NEAR(hit.distance, 0.6, 1e-6);
}

TEST(TraceShader, TwoSidedPrefersTheNearerSideAndTheForwardOneOnATie) {
    Probe shader;
    shader.maxDistance = 1.0f;
    shader.twoSided = 1;
    const auto tie = Planes({0.3f, -0.3f});
    const auto behind = Planes({0.5f, -0.2f});
    const TraceMeshList meshes{tie.get(), behind.get()};
    shader.traceMeshes = &meshes;

    TraceSample sample = SampleAt({0, 0, 0});
    TraceHit hit;
    ASSERT_TRUE(shader.Trace(sample, &hit));
    EXPECT_NEAR(hit.distance, 0.3, 1e-6);
    ExpectNear(hit.position, {0, 0, 0.3f}, 1e-5f);

    sample.meshId = 1;
    ASSERT_TRUE(shader.Trace(sample, &hit));
    EXPECT_NEAR(hit.distance, 0.2, 1e-6);  // reported positive
    ExpectNear(hit.position, {0, 0, -0.2f}, 1e-5f);
}

TEST(TraceShader, DirectionModesAndUnusableQueries) {
    Probe shader;
    shader.maxDistance = 1.0f;
    std::vector<Triangle> wall = {{{0.5f, -4, -4}, {0.5f, 4, -4}, {0.5f, 4, 4}}, {{0.5f, -4, -4}, {0.5f, 4, 4}, {0.5f, -4, 4}}};
    const auto plane = Planes({0.7f});
    const auto walls = TraceTest::MakeTraceMesh(wall, TraceGridSettings(), 2);
    const TraceMeshList meshes{plane.get(), walls.get(), nullptr};
    shader.traceMeshes = &meshes;

    TraceSample sample = SampleAt({0, 0, 0});
    sample.geometricNormal = {1, 0, 0};
    sample.meshId = 1;
    TraceHit hit;
    EXPECT_FALSE(shader.Trace(sample, &hit));  // mode 0 looks along the interpolated normal
    shader.directionMode = DirectionGeometric;
    ASSERT_TRUE(shader.Trace(sample, &hit));
    EXPECT_NEAR(hit.distance, 0.5, 1e-6);
    shader.directionMode = 7;  // unknown modes behave as the interpolated normal
    sample.meshId = 0;
    ASSERT_TRUE(shader.Trace(sample, &hit));
    EXPECT_NEAR(hit.distance, 0.7, 1e-6);

    sample.meshId = 2;  // a null trace mesh
    EXPECT_FALSE(shader.Trace(sample, &hit));
    sample.meshId = 3;  // beyond the list
    EXPECT_FALSE(shader.Trace(sample, &hit));
    shader.traceMeshes = nullptr;
    sample.meshId = 0;
    EXPECT_FALSE(shader.Trace(sample, &hit));

    shader.traceMeshes = &meshes;
    sample.position.x = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(shader.Trace(sample, &hit));
    sample.position = {0, 0, 0};
    sample.normal = {0, 0, std::numeric_limits<float>::infinity()};
    EXPECT_FALSE(shader.Trace(sample, &hit));
}

class HardEdges : public ::testing::Test {
protected:
    void SetUp() override {
        BuildLowPoly(*cube, Cube());
        shader.hardEdgeDistance = 0.5f;
        shader.directionMode = DirectionRounded;
    }

    // A sample on the cube's top face (triangle 0 covers y < x).
    TraceSample OnTop(float x, float y) const {
        TraceSample s = SampleAt({x, y, 1}, Unit({0.1f, 0.2f, 1}));
        s.geometricNormal = Unit({0.3f, -0.2f, 1});
        s.mesh = cube;
        s.polyId = 0;
        return s;
    }

    Scene scene{NeedNormals};
    SceneMesh* cube = scene.AddMesh("cube");
    Probe shader;
};

TEST_F(HardEdges, RoundedDirectionAndDistanceFallFromTheEdgeToTheInterpolatedNormal) {
    const Vec3 edgeNormal = Unit({0, -1, 1});  // between the top and the front face
    // On the edge: the edge's direction.
    ExpectNear(shader.GetHardEdgeDirection(OnTop(0.0f, -1.0f)), edgeNormal, 2e-5f);
    // Half way into the rounding distance.
    const TraceSample mid = OnTop(0.0f, -0.75f);
    const float w = 1.0f - std::atan(1.0f - 0.25f / 0.5f) / (3.1415927f / 4.0f);
    ExpectNear(shader.GetHardEdgeDirection(mid), Unit(edgeNormal * (1 - w) + mid.normal * w), 2e-5f);
    // At the rounding distance and beyond: the interpolated normal, unchanged.
    const TraceSample centre = OnTop(0.1f, 0.0f);
    EXPECT_EQ(shader.GetHardEdgeDirection(centre), centre.normal);
    // Near a corner where three hard edges meet: the geometric normal, unchanged.
    const TraceSample corner = OnTop(0.9f, -0.95f);
    EXPECT_EQ(shader.GetHardEdgeDirection(corner), corner.geometricNormal);
    // The search ray follows the rounded direction.
    EXPECT_EQ(shader.GetRayDirection(corner), corner.geometricNormal);

    // The hard-edge distance falls from one on the edge to zero at the rounding distance.
    EXPECT_NEAR(shader.GetHardEdgeDistance(OnTop(0.0f, -1.0f)), 1.0f, 1e-6f);
    EXPECT_NEAR(shader.GetHardEdgeDistance(mid), 0.5f, 1e-5f);
    EXPECT_NEAR(shader.GetHardEdgeDistance(centre), 0.0f, 1e-6f);
    shader.hardEdgeDistance = 0.0f;  // no rounding range: nothing is near an edge
    EXPECT_EQ(shader.GetHardEdgeDistance(OnTop(0.0f, -1.0f)), 0.0f);
}

TEST_F(HardEdges, PositionPairsWithoutAnEdgeAreSkipped) {
    // Corner (1, -1, 1) loses its edge entries: it no longer counts as a corner of three hard
    // edges, so a sample near it blends from the geometric normal like one along the edge.
    MeshTopology& t = *cube->topology;
    const int corner = t.vertexPosition[1];
    for (int i = 0; i < t.neighbourCount[size_t(corner)]; ++i) t.neighbourEdges[size_t(t.neighbourOffset[size_t(corner)] + i)] = -1;
    const TraceSample sample = OnTop(0.9f, -0.95f);
    const float w = 1.0f - std::atan(1.0f - 0.05f / 0.5f) / (3.1415927f / 4.0f);
    ExpectNear(shader.GetHardEdgeDirection(sample), Unit(sample.geometricNormal * (1 - w) + sample.normal * w), 2e-5f);
    EXPECT_NEAR(shader.GetHardEdgeDistance(sample), 1.0f - 0.05f / 0.5f, 1e-5f);
}

TEST_F(HardEdges, EdgesOfOtherTrianglesAreReachedAroundHardCorners) {
    // Only the top face's left edge (an edge of triangle 1) stays hard, and only corner 0 of
    // triangle 0 is hard: the edge is found by turning around that corner.
    const int leftTop = cube->topology->triangleEdges[3 * 1 + 2];
    std::fill(cube->hardEdges.begin(), cube->hardEdges.end(), false);
    cube->hardEdges[size_t(leftTop)] = true;
    std::fill(cube->hardVertices.begin(), cube->hardVertices.end(), 0.0f);
    cube->hardVertices[0] = 1.0f;
    shader.hardEdgeDistance = 1.0f;
    EXPECT_NEAR(shader.GetHardEdgeDistance(OnTop(-0.5f, -0.7f)), 0.5f, 1e-5f);
}

TEST_F(HardEdges, SoftMeshesAndMissingConnectivity) {
    TraceSample sample = OnTop(0.8f, -0.9f);
    std::fill(cube->hardEdges.begin(), cube->hardEdges.end(), false);
    std::fill(cube->hardVertices.begin(), cube->hardVertices.end(), 0.0f);
    EXPECT_EQ(shader.GetHardEdgeDirection(sample), sample.normal);
    EXPECT_EQ(shader.GetHardEdgeDistance(sample), 0.0f);

    // Without connectivity only the hard corners themselves count.
    cube->topology.reset();
    std::fill(cube->hardVertices.begin(), cube->hardVertices.end(), 1.0f);
    EXPECT_EQ(shader.GetHardEdgeDirection(sample), sample.normal);
    EXPECT_NEAR(shader.GetHardEdgeDistance(sample), 1.0f - std::sqrt(0.05f) / 0.5f, 1e-5f);

    sample.polyId = 12;  // beyond the triangles
    EXPECT_EQ(shader.GetHardEdgeDistance(sample), 0.0f);
    sample.mesh = nullptr;
    EXPECT_EQ(shader.GetHardEdgeDirection(sample), sample.normal);
    EXPECT_EQ(shader.GetHardEdgeDistance(sample), 0.0f);
}

TEST(HardEdgeWalk, TheEndNearestTheSampleDecidesAboutTheCorner) {
    // A flat-shaded roof: ridge R0-R1 along x at z = 1, eaves at y = -1 and y = 1, z = 0. The
    // gable edge E1-R1 is open (hard); three hard edges meet at R1, two at E1. Its triangle runs
    // it from E1 to R1 while R1 has the smaller position id.
    const Vec3 r0{-1, 0, 1}, r1{1, 0, 1}, e0{-1, -1, 0}, e1{1, -1, 0}, f0{-1, 1, 0}, f1{1, 1, 0};
    const Vec3 left = Unit({0, -1, 1}), right = Unit({0, 1, 1});
    Scene scene(NeedNormals);
    SceneMesh* roof = scene.AddMesh("roof");
    BuildLowPoly(*roof, {{r0, f1, f0, right}, {r0, r1, f1, right}, {e0, e1, r0, left}, {e1, r1, r0, left}});
    ASSERT_LT(roof->topology->vertexPosition[4], roof->topology->vertexPosition[7]);

    Probe shader;
    shader.hardEdgeDistance = 0.25f;
    TraceSample sample = SampleAt({0.9f, -0.2f, 0.8f}, {0, 0, 1});
    sample.geometricNormal = {1, 0, 0};
    sample.mesh = roof;
    sample.polyId = 3;
    // 0.1 from the gable edge, nearer its R1 end and 0.3 from R1: the edge's own direction
    // is the base, blended towards the interpolated normal.
    const float w = 1.0f - std::atan(1.0f - 0.1f / 0.25f) / (3.1415927f / 4.0f);
    ExpectNear(shader.GetHardEdgeDirection(sample), Unit(left * (1 - w) + sample.normal * w), 2e-5f);
}

TEST(HardEdgeWalk, ACyclicFanAroundACornerEnds) {
    // Three triangles around P; the connectivity is edited so that crossing from the last
    // triangle leads back into the middle one, never to the start: a walk that relies on coming
    // back would turn forever.
    const Vec3 p{0, 0, 0}, a{1, 0, 0}, b{0.5f, 1, 0}, c{-0.5f, 1, 0}, d{-1, 0, 0};
    Scene scene(NeedNormals);
    SceneMesh* fan = scene.AddMesh("fan");
    BuildLowPoly(*fan, {{p, a, b, {0, 0, 1}}, {p, b, c, {0, 0, 1}}, {p, c, d, {0, 0, 1}}});
    MeshTopology& t = *fan->topology;
    const int edgeBP = t.triangleEdges[2], edgeCP = t.triangleEdges[5], edgeDP = t.triangleEdges[8];
    t.triangleEdges[3] = edgeCP;  // the middle triangle lists C-P first
    t.triangleEdges[5] = edgeBP;
    t.edgeTriangles[size_t(2 * edgeDP + 1)] = 1;
    std::fill(fan->hardEdges.begin(), fan->hardEdges.end(), false);
    fan->hardVertices.assign(fan->hardVertices.size(), 1.0f);

    Probe shader;
    TraceSample sample = SampleAt({0.5f, 0.3f, 0}, Unit({0.2f, 0, 1}));
    sample.mesh = fan;
    sample.polyId = 0;
    EXPECT_EQ(shader.GetHardEdgeDirection(sample), sample.normal);
    // No hard edge anywhere: the nearest hard corners (P and A, both 0.583 away) decide.
    EXPECT_NEAR(shader.GetHardEdgeDistance(sample), 1.0f - std::sqrt(0.34f), 1e-5f);
}
