#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "bake/aomapbaker.h"
#include "bake/occlusionrays.h"
#include "bake/thicknessbaker.h"
#include "surfacetargets.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;
using namespace SurfaceTest;

namespace {

const float kPi = 3.1415927f;

Vec3 Unit(Vec3 v) { return v * (1.0f / Pallix::Math::Length(v)); }

void ExpectVec(Vec3 got, Vec3 want, float tolerance) {
    EXPECT_NEAR(got.x, want.x, tolerance);
    EXPECT_NEAR(got.y, want.y, tolerance);
    EXPECT_NEAR(got.z, want.z, tolerance);
}

// Every covered texel of the output has this grey value and alpha 1.
void ExpectGrey(const Image& image, float value, float tolerance = 0.0f) {
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const float* p = image.Pixel(x, y);
            ASSERT_NEAR(p[0], value, tolerance) << x << " " << y;
            ASSERT_EQ(p[1], p[0]);
            ASSERT_EQ(p[2], p[0]);
            ASSERT_EQ(p[3], 1.0f);
        }
}

template <class Baker>
std::unique_ptr<Baker> BakeTile(Rig& rig, const ReadbackSet& targets) {
    auto baker = rig.template Make<Baker>();
    baker->BeginTiles();
    baker->ProcessTile(targets);
    return baker;
}

enum class Cover { None, Roof, Room };

// The plane z = 0 over [-1, 1]^2 facing up; with a wide roof 0.2 above it; or inside a closed
// room, for cones so wide that their jittered rays reach below the horizon.
std::unique_ptr<SWTraceMesh> Ground(Cover cover) {
    std::vector<SurfaceTest::Triangle> soup;
    AddRectangle(soup, -1, -1, 1, 1, 0);
    if (cover != Cover::None) AddRectangle(soup, -3, -3, 3, 3, 0.2f, {0, 0, -1});
    if (cover == Cover::Room) {
        AddRectangle(soup, -3, -3, 3, 3, -1.0f);
        AddQuad(soup, {-3, -3, -1}, {3, -3, -1}, {3, -3, 0.2f}, {-3, -3, 0.2f}, {0, 1, 0});
        AddQuad(soup, {-3, 3, -1}, {3, 3, -1}, {3, 3, 0.2f}, {-3, 3, 0.2f}, {0, -1, 0});
        AddQuad(soup, {-3, -3, -1}, {-3, 3, -1}, {-3, 3, 0.2f}, {-3, -3, 0.2f}, {1, 0, 0});
        AddQuad(soup, {3, -3, -1}, {3, 3, -1}, {3, 3, 0.2f}, {3, -3, 0.2f}, {-1, 0, 0});
    }
    return MakeTraceMesh(soup);
}

// A closed box [-1, 1]^2 x [-depth, 0].
std::unique_ptr<SWTraceMesh> Slab(float depth) {
    std::vector<SurfaceTest::Triangle> soup;
    AddRectangle(soup, -1, -1, 1, 1, 0);
    AddQuad(soup, {-1, -1, -depth}, {-1, 1, -depth}, {1, 1, -depth}, {1, -1, -depth}, {0, 0, -1});
    AddQuad(soup, {-1, -1, 0}, {-1, -1, -depth}, {1, -1, -depth}, {1, -1, 0}, {0, -1, 0});
    AddQuad(soup, {-1, 1, 0}, {1, 1, 0}, {1, 1, -depth}, {-1, 1, -depth}, {0, 1, 0});
    AddQuad(soup, {-1, -1, 0}, {-1, 1, 0}, {-1, 1, -depth}, {-1, -1, -depth}, {-1, 0, 0});
    AddQuad(soup, {1, -1, 0}, {1, -1, -depth}, {1, 1, -depth}, {1, 1, 0}, {1, 0, 0});
    return MakeTraceMesh(soup);
}

}  // namespace

TEST(OcclusionRays, DrawsAreTheStandardGeneratorsFirstOutputs) {
    for (uint32_t seed : {0u, 1u, 3945u, 3946u + 8192u, 123456789u, 0xFFFFFFFFu}) {
        std::mt19937 reference(seed);
        float draws[3];
        FirstThreeDraws(seed, draws);
        for (float draw : draws) {
            const float expected = float(double(reference()) / 4294967296.0);
            EXPECT_FLOAT_EQ(draw, std::min(expected, 0x1.fffffep-1f)) << seed;
            EXPECT_LT(draw, 1.0f);
            EXPECT_GE(draw, 0.0f);
        }
    }
    // The texel's axis is seeded from its tile coordinates and jittered around +Y.
    const float a = 0.25f;
    std::mt19937 reference(5 + 8192 * 7 + 3945);
    float u[3];
    for (float& draw : u) draw = float(double(reference()) / 4294967296.0);
    ExpectVec(JitteredAxis(5, 7, a), Unit({2 * a * u[2] - a, 1 - (2 * a * u[1] - a), 2 * a * u[0] - a}), 1e-6f);
}

TEST(OcclusionRays, DirectionSetIsAHaltonConeAroundY) {
    ExpectVec(OcclusionRaySet::Candidate(0), {0, 0, -1}, 0);
    // k = 1: radical inverses 1/3 and 1/5.
    ExpectVec(OcclusionRaySet::Candidate(1), {0.4f, 0.8f * std::sin(kPi / 3), -0.6f}, 1e-6f);

    OcclusionRaySet set;
    set.Build(16, 1.5707951f);
    ASSERT_EQ(set.Count(), 16);
    EXPECT_EQ(set.Found(), 16);
    EXPECT_FLOAT_EQ(set.JitterRadius(), 0.25f);
    for (int i = 0; i < set.Count(); ++i) {
        const Vec3 d = set.Directions()[i];
        EXPECT_NEAR(Pallix::Math::Length(d), 1.0f, 1e-6f);
        EXPECT_GE(d.y, std::cos(1.5707951f / 2));
        for (int j = 0; j < i; ++j) EXPECT_FALSE(d == set.Directions()[j]) << i << " " << j;
    }

    // The half turn accepts the south pole first; many directions spread evenly over the
    // hemisphere, whose mean is half the axis.
    set.Build(4096, kPi);
    ExpectVec(set.Directions()[0], {0, 0, -1}, 0);
    Vec3 mean{};
    for (int i = 0; i < set.Count(); ++i) mean = mean + set.Directions()[i] * (1.0f / 4096);
    ExpectVec(mean, {0, 0.5f, 0}, 0.01f);
}

TEST(OcclusionRays, ANarrowOrEmptyConeAndTooFewRaysStillGiveASet) {
    OcclusionRaySet set;
    set.Build(16, 0.0f);  // no candidate lies exactly on the axis
    EXPECT_EQ(set.Count(), 16);
    EXPECT_EQ(set.Found(), 0);
    for (int i = 0; i < set.Count(); ++i) EXPECT_EQ(set.Directions()[i], (Vec3{0, 1, 0}));

    for (float spread : {1e-3f, 0.05f, std::nanf("")}) {
        set.Build(64, spread);
        EXPECT_EQ(set.Count(), 64);
        const float threshold = std::isnan(spread) ? 1.0f : std::cos(spread / 2);
        for (int i = 0; i < set.Count(); ++i) EXPECT_GE(set.Directions()[i].y, threshold - 1e-6f) << spread;
    }
    set.Build(64, 0.05f);
    EXPECT_GT(set.Found(), 0);  // a narrow cone still finds some of its own directions

    for (int count : {0, -3}) {
        set.Build(count, 1.0f);
        EXPECT_EQ(set.Count(), 1);
        EXPECT_EQ(set.JitterRadius(), 1.0f);
    }
}

TEST(OcclusionRays, RotationTakesTheAxisOntoTheNormalWithoutNaN) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> range(-1.0f, 1.0f);
    auto direction = [&]() { return Unit({range(random), range(random), range(random)}); };
    auto check = [](Vec3 j, Vec3 n, float tolerance) {
        const Rotation r = RotationOnto(j, n);
        for (float m : r.m) ASSERT_TRUE(std::isfinite(m));
        ExpectVec(r * j, n, tolerance);
        // Orthonormal with determinant +1: lengths and handedness are kept.
        const Vec3 x = r * Vec3{1, 0, 0}, y = r * Vec3{0, 1, 0}, z = r * Vec3{0, 0, 1};
        EXPECT_NEAR(Pallix::Math::Length(x), 1.0f, 1e-5f);
        EXPECT_NEAR(Pallix::Math::Dot(x, y), 0.0f, 1e-5f);
        ExpectVec(Pallix::Math::Cross(x, y), z, 1e-5f);
    };
    for (int i = 0; i < 200; ++i) check(direction(), direction(), 1e-5f);
    for (int i = 0; i < 20; ++i) {
        const Vec3 j = direction();
        check(j, j, 1e-6f);   // the dot product may round above 1
        check(j, -j, 1e-6f);  // no axis from the cross product
        const Vec3 nearlyOpposite = Unit(-j + Pallix::Math::Cross(j, Vec3{0.3f, 0.5f, 0.8f}) * 1e-4f);
        check(j, nearlyOpposite, 1e-3f);
        const Vec3 nearlyEqual = Unit(j + Pallix::Math::Cross(j, Vec3{0.3f, 0.5f, 0.8f}) * 1e-5f);
        check(j, nearlyEqual, 1e-5f);
    }
}

TEST(AOMapBaker, OpenPlaneIsUnoccludedAndAPlaneUnderARoofIsDark) {
    const ReadbackSet targets = PlaneTargets(16, 16, 0.9f);
    // A cone of 90 degrees tilted by its jitter stays above the horizon; one of 160 does not.
    for (float spread : {1.5707951f, 160 * kPi / 180}) {
        Rig open(16, MapAmbientOcclusion);
        open.map->spread = spread;
        const auto plane = Ground(Cover::None);
        open.meshes = {plane.get()};
        ExpectGrey(*BakeTile<AOMapBaker>(open, targets)->GetImage(), 1.0f);

        // The search stays below the roof, so the rays start on the plane and all meet the roof.
        Rig covered(16, MapAmbientOcclusion);
        covered.map->spread = spread;
        covered.job.searchDistance = 0.05f;
        const auto roofed = Ground(spread < 2.0f ? Cover::Roof : Cover::Room);
        covered.meshes = {roofed.get()};
        ExpectGrey(*BakeTile<AOMapBaker>(covered, targets)->GetImage(), 0.0f);

        // A cover beyond the occlusion distance does not count.
        covered.map->aoDistance = 0.1f;
        ExpectGrey(*BakeTile<AOMapBaker>(covered, targets)->GetImage(), 1.0f);
    }
}

TEST(AOMapBaker, AWallBesideThePlaneDarkensTexelsByTheirDistance) {
    // A wall along x = 1: texels near it lose more of their cone than those far from it.
    std::vector<SurfaceTest::Triangle> soup;
    AddRectangle(soup, -1, -1, 1, 1, 0);
    AddQuad(soup, {1, -3, 0}, {1, 3, 0}, {1, 3, 0.5f}, {1, -3, 0.5f}, {-1, 0, 0});
    const auto mesh = MakeTraceMesh(soup);
    Rig rig(32, MapAmbientOcclusion);
    rig.map->rayCount = 64;
    rig.map->spread = 160 * kPi / 180;
    rig.meshes = {mesh.get()};
    auto baker = BakeTile<AOMapBaker>(rig, PlaneTargets(32, 32, 0.95f));
    auto columnMean = [&](int x) {
        float sum = 0;
        for (int y = 0; y < 32; ++y) sum += baker->GetImage()->Pixel(x, y)[0];
        return sum / 32;
    };
    // Close to the wall nearly half of the cone is blocked; far from it hardly any.
    EXPECT_NEAR(columnMean(31), 0.55f, 0.1f);
    EXPECT_GT(columnMean(0), 0.9f);
    EXPECT_LT(columnMean(31), columnMean(24));
    EXPECT_LT(columnMean(24), columnMean(8));
}

TEST(OcclusionBakers, TexelsWithoutAHighPolySurfaceAreWhite) {
    const auto far = Ground(Cover::None);
    const ReadbackSet targets = MakeTargets(4, 4, [](int x, int y) {
        Texel t;
        t.position = PlanePoint(x, y, 4, 4) + Vec3{10, 0, 0};
        return t;
    });
    Rig ao(4, MapAmbientOcclusion), thickness(4, MapThickness);
    ao.meshes = thickness.meshes = {far.get()};
    ao.job.searchDistance = thickness.job.searchDistance = 0.5f;
    ExpectGrey(*BakeTile<AOMapBaker>(ao, targets)->GetImage(), 1.0f);
    ExpectGrey(*BakeTile<ThicknessBaker>(thickness, targets)->GetImage(), 1.0f);
}

TEST(ThicknessBaker, ThinnerSlabsScoreHigherAndNothingBehindScoresZero) {
    const ReadbackSet targets = PlaneTargets(8, 8, 0.5f);
    auto bake = [&](const SWTraceMesh* mesh, bool highPoly, float aoDistance = 1.0f) {
        Rig rig(8, MapThickness);
        rig.job.hasHighPoly = highPoly;
        rig.job.searchDistance = 0.05f;
        rig.map->aoDistance = aoDistance;
        if (mesh) rig.meshes = {const_cast<SWTraceMesh*>(mesh)};
        auto baker = BakeTile<ThicknessBaker>(rig, targets);
        float sum = 0.0f;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) sum += baker->GetImage()->Pixel(x, y)[0];
        return sum / 64;
    };
    const auto thin = Slab(0.1f), thick = Slab(0.3f);
    const float thinValue = bake(thin.get(), true), thickValue = bake(thick.get(), true);
    // Every ray starts 0.05 inside, so it travels depth / cos(angle) - 0.05 to the bottom; the
    // cone's half-angle of 45 degrees and the jitter's tilt of at most 25 degrees bound the angle.
    EXPECT_LE(thinValue, 1.0f - 0.05f + 1e-6f);
    EXPECT_GE(thinValue, 1.0f - (0.1f / std::cos(70 * kPi / 180) - 0.05f));
    EXPECT_LT(thickValue, thinValue);
    EXPECT_EQ(bake(thick.get(), true, 0.2f), 0.0f);  // the far side lies beyond the ray length
    EXPECT_EQ(bake(nullptr, false), 0.0f);             // no high-poly mesh: nothing to reach
    const auto plane = Ground(Cover::None);
    EXPECT_EQ(bake(plane.get(), true), 0.0f);          // an open plane has no far side
}

TEST(OcclusionBakers, RayLengthIsTheMapsDistanceCutToTheSceneSize) {
    Rig rig(4, MapAmbientOcclusion);
    rig.state.sceneExtent = 6.0f;
    const struct {
        float aoDistance, length;
    } cases[] = {{0.0f, 6.0f}, {-1.0f, 6.0f}, {2.5f, 2.5f}, {40.0f, 6.0f}};
    for (const auto& c : cases) {
        rig.map->aoDistance = c.aoDistance;
        EXPECT_EQ(rig.Make<AOMapBaker>()->Shader()->occlusionDistance, c.length) << c.aoDistance;
        EXPECT_EQ(rig.Make<ThicknessBaker>()->Shader()->occlusionDistance, c.length) << c.aoDistance;
    }
    auto baker = rig.Make<AOMapBaker>();
    EXPECT_EQ(baker->GetSuffix(), "_ao");
    EXPECT_EQ(baker->GetTraceRequirements(), NeedNormals);
    EXPECT_EQ(rig.Make<ThicknessBaker>()->GetSuffix(), "_thickness");
}

TEST(OcclusionBakers, BakesDoNotDependOnTheThreadCount) {
    // Ridges of varying height give the texels partial occlusion, a sloping floor below
    // varying thickness.
    std::vector<SurfaceTest::Triangle> soup;
    AddRectangle(soup, -1, -1, 1, 1, 0);
    AddQuad(soup, {-1, -1, -0.1f}, {-1, 1, -0.1f}, {1, 1, -0.5f}, {1, -1, -0.5f}, {0, 0, 1});
    for (int i = 0; i < 6; ++i) {
        const float x = -0.8f + 0.3f * float(i), h = 0.05f + 0.04f * float(i % 3);
        AddQuad(soup, {x, -1, 0}, {x, 1, 0}, {x, 1, h}, {x, -1, h}, {-1, 0, 0});
    }
    const auto mesh = MakeTraceMesh(soup);
    const ReadbackSet targets = PlaneTargets(24, 24);
    for (int type : {int(MapAmbientOcclusion), int(MapThickness)}) {
        std::vector<std::vector<float>> results;
        for (int threads : {1, 3, 8}) {
            Rig rig(24, type, threads);
            rig.job.searchDistance = 0.02f;
            rig.meshes = {mesh.get()};
            std::unique_ptr<SingleMapBaker> baker;
            std::unique_ptr<OcclusionShaderBase> unprepared;
            if (type == MapAmbientOcclusion) {
                auto ao = BakeTile<AOMapBaker>(rig, targets);
                unprepared = std::make_unique<AOMapBaker::AOShader>(*ao->Shader());
                baker = std::move(ao);
            } else {
                auto thickness = BakeTile<ThicknessBaker>(rig, targets);
                unprepared = std::make_unique<ThicknessBaker::ThicknessShader>(*thickness->Shader());
                baker = std::move(thickness);
            }
            const Image& image = *baker->GetImage();
            results.emplace_back(image.data, image.data + image.FloatCount());
            // The per-tile table of jittered axes holds what each texel would compute itself.
            unprepared->PrepareTile(0, 0);
            Image tile(24, 24);
            rig.software.Render(rig.state, &tile, targets, unprepared.get(), nullptr, 0);
            EXPECT_EQ(std::vector<float>(tile.data, tile.data + tile.FloatCount()), results.back());
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_EQ(results[0], results[2]);
        // The map is not uniform, so equality above says something.
        const auto [low, high] = std::minmax_element(results[0].begin(), results[0].end());
        if (type == MapAmbientOcclusion) {
            EXPECT_LT(*low, 0.9f);
        }
        EXPECT_GT(*high - *low, 0.05f);
    }
}
