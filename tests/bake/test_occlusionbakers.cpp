#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "bake/aomapbaker.h"
#include "bake/occlusionrays.h"
#include "bake/thicknessbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

const float kPi = 3.1415927f;

// Every texel of the output has this grey value and alpha 1.
void ExpectGrey(const Image& image, float value) {
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const float* p = image.Pixel(x, y);
            ASSERT_EQ(p[0], value) << x << " " << y;
            ASSERT_EQ(p[1], p[0]);
            ASSERT_EQ(p[2], p[0]);
            ASSERT_EQ(p[3], 1.0f);
        }
}

template <class Baker>
std::unique_ptr<Baker> BakeTile(Rig& rig) {
    auto baker = rig.template Make<Baker>();
    baker->Init();
    rig.BakeTile(*baker);
    return baker;
}

float Mean(const Image& image) {
    float sum = 0.0f;
    for (size_t i = 0; i < image.PixelCount(); ++i) sum += image.data[4 * i];
    return sum / float(image.PixelCount());
}

// The plane z = 0 over [-1, 1]^2 facing up, with more surfaces added by the caller.
std::unique_ptr<Scene> Ground() {
    auto scene = std::make_unique<Scene>(NeedNormals);
    AddRectangle(*scene->AddMesh("high"), -1, -1, 1, 1, 0);
    return scene;
}

// A closed box [-1, 1]^2 x [-depth, 0].
std::unique_ptr<Scene> Slab(float depth) {
    auto scene = Ground();
    SceneMesh& mesh = *scene->meshes[0];
    AddQuad(mesh, {-1, -1, -depth}, {-1, 1, -depth}, {1, 1, -depth}, {1, -1, -depth}, {0, 0, -1});
    AddQuad(mesh, {-1, -1, 0}, {-1, -1, -depth}, {1, -1, -depth}, {1, -1, 0}, {0, -1, 0});
    AddQuad(mesh, {-1, 1, 0}, {1, 1, 0}, {1, 1, -depth}, {-1, 1, -depth}, {0, 1, 0});
    AddQuad(mesh, {-1, -1, 0}, {-1, 1, 0}, {-1, 1, -depth}, {-1, -1, -depth}, {-1, 0, 0});
    AddQuad(mesh, {1, -1, 0}, {1, -1, -depth}, {1, 1, -depth}, {1, 1, 0}, {1, 0, 0});
    return scene;
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
        }
    }
    // The texel's axis is seeded from its tile coordinates and jittered around +Y.
    const float a = 0.25f;
    std::mt19937 reference(5 + 8192 * 7 + 3945);
    float u[3];
    for (float& draw : u) draw = float(double(reference()) / 4294967296.0);
    ExpectNear(JitteredAxis(5, 7, a), Unit({2 * a * u[2] - a, 1 - (2 * a * u[1] - a), 2 * a * u[0] - a}), 1e-6f);
}

TEST(OcclusionRays, DirectionSetIsAHaltonConeAroundY) {
    ExpectNear(OcclusionRaySet::Candidate(0), {0, 0, -1}, 0);
    // k = 1: radical inverses 1/3 and 1/5.
    ExpectNear(OcclusionRaySet::Candidate(1), {0.4f, 0.8f * std::sin(kPi / 3), -0.6f}, 1e-6f);

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
    // Directions are normalised with the processor's square-root estimate, exact or a bit off.
    ExpectNear(set.Directions()[0], {0, 0, -1}, 2e-7f);
    Vec3 mean{};
    for (int i = 0; i < set.Count(); ++i) mean = mean + set.Directions()[i] * (1.0f / 4096);
    ExpectNear(mean, {0, 0.5f, 0}, 0.01f);
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

TEST(OcclusionRays, JitteredFramesKeepEveryRayAboveTheSurface) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> range(-1.0f, 1.0f);
    for (float degrees : {1.0f, 60.0f, 120.0f, 160.0f, 170.0f, 179.0f}) {
        for (int count : {1, 4, 16, 64, 256}) {
            OcclusionRaySet set;
            set.Build(count, degrees * kPi / 180.0f);
            float worst = 1.0f;
            for (int y = 0; y < 32; ++y) {
                for (int x = 0; x < 32; ++x) {
                    const Vec3 axis = JitteredAxis(x, y, set.JitterRadius(), set.MaxTilt());
                    EXPECT_LE(std::acos(std::min(axis.y, 1.0f)), set.MaxTilt() + 1e-4f);
                    const Vec3 n = Unit({range(random), range(random), range(random)});
                    const Rotation frame = RotationOnto(axis, n);
                    for (int i = 0; i < set.Count(); ++i)
                        worst = std::min(worst, Pallix::Math::Dot(frame * set.Directions()[i], n));
                }
            }
            EXPECT_GT(worst, 0.0f) << degrees << " degrees, " << count << " rays";
        }
    }
    // A cone narrow enough for the whole jitter keeps it untouched.
    OcclusionRaySet narrow;
    narrow.Build(16, 1.5707951f);
    EXPECT_GT(narrow.MaxTilt(), 0.7f);
    for (int x = 0; x < 16; ++x) EXPECT_EQ(JitteredAxis(x, 3, 0.25f, narrow.MaxTilt()), JitteredAxis(x, 3, 0.25f)) << x;
    // A half turn leaves no room to tilt at all.
    narrow.Build(16, kPi);
    EXPECT_EQ(narrow.MaxTilt(), 0.0f);
    EXPECT_EQ(LimitTilt(Unit({0.3f, 0.9f, -0.2f}), 0.0f), (Vec3{0, 1, 0}));
}

TEST(OcclusionRays, RotationTakesTheAxisOntoTheNormalWithoutNaN) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> range(-1.0f, 1.0f);
    auto direction = [&]() { return Unit({range(random), range(random), range(random)}); };
    auto check = [](Vec3 j, Vec3 n, float tolerance) {
        const Rotation r = RotationOnto(j, n);
        for (float m : r.m) ASSERT_TRUE(std::isfinite(m));
        ExpectNear(r * j, n, tolerance);
        // Orthonormal with determinant +1: lengths and handedness are kept.
        const Vec3 x = r * Vec3{1, 0, 0}, y = r * Vec3{0, 1, 0}, z = r * Vec3{0, 0, 1};
        EXPECT_NEAR(Pallix::Math::Length(x), 1.0f, 1e-5f);
        EXPECT_NEAR(Pallix::Math::Dot(x, y), 0.0f, 1e-5f);
        ExpectNear(Pallix::Math::Cross(x, y), z, 1e-5f);
    };
    for (int i = 0; i < 200; ++i) check(direction(), direction(), 1e-5f);
    for (int i = 0; i < 20; ++i) {
        const Vec3 j = direction(), side = Pallix::Math::Cross(j, Vec3{0.3f, 0.5f, 0.8f});
        check(j, j, 1e-6f);   // the dot product may round above 1
        check(j, -j, 1e-6f);  // no axis from the cross product
        check(j, Unit(-j + side * 1e-4f), 1e-3f);
        check(j, Unit(j + side * 1e-5f), 1e-5f);
    }
}

TEST(AOMapBaker, AWallBesideThePlaneDarkensTexelsByTheirDistance) {
    // A wall along x = 1: texels near it lose more of their cone than those far from it.
    const auto high = Ground();
    AddQuad(*high->meshes[0], {1, -3, 0}, {1, 3, 0}, {1, 3, 0.5f}, {1, -3, 0.5f}, {-1, 0, 0});
    Rig rig(32, MapAmbientOcclusion);
    rig.map->rayCount = 64;
    rig.map->spread = 160 * kPi / 180;
    rig.AddLowPolySquare(0.95f);
    rig.AddHighPoly(*high);
    auto baker = BakeTile<AOMapBaker>(rig);
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

    // A wall beyond the occlusion distance does not count.
    rig.map->aoDistance = 0.01f;
    ExpectGrey(*BakeTile<AOMapBaker>(rig)->GetImage(), 1.0f);
}

TEST(OcclusionBakers, TexelsWithoutAHighPolySurfaceAreWhite) {
    Rig ao(4, MapAmbientOcclusion), thickness(4, MapThickness);
    for (Rig* rig : {&ao, &thickness}) {
        AddRectangle(*rig->lowPoly->AddMesh("low"), 9, -1, 11, 1, 0);
        rig->AddHighPoly(*Ground());
        rig->job.searchDistance = 0.5f;
    }
    ExpectGrey(*BakeTile<AOMapBaker>(ao)->GetImage(), 1.0f);
    ExpectGrey(*BakeTile<ThicknessBaker>(thickness)->GetImage(), 1.0f);
}

TEST(ThicknessBaker, ThinnerSlabsScoreHigherAndNothingBehindScoresZero) {
    auto bake = [&](const Scene* high, float aoDistance = 1.0f) {
        Rig rig(8, MapThickness);
        rig.AddLowPolySquare(0.5f);
        if (high) rig.AddHighPoly(*high);
        rig.job.searchDistance = 0.05f;
        rig.map->aoDistance = aoDistance;
        return Mean(*BakeTile<ThicknessBaker>(rig)->GetImage());
    };
    const auto thin = Slab(0.1f), thick = Slab(0.3f), plane = Ground();
    const float thinValue = bake(thin.get()), thickValue = bake(thick.get());
    // Every ray starts 0.05 inside, so it travels depth / cos(angle) - 0.05 to the bottom; the
    // cone's half-angle of 45 degrees and the jitter's tilt of at most 25 degrees bound the angle.
    EXPECT_LE(thinValue, 1.0f - 0.05f + 1e-6f);
    EXPECT_GE(thinValue, 1.0f - (0.1f / std::cos(70 * kPi / 180) - 0.05f));
    EXPECT_LT(thickValue, thinValue);
    EXPECT_EQ(bake(thick.get(), 0.2f), 0.0f);  // the far side lies beyond the ray length
    EXPECT_EQ(bake(nullptr), 0.0f);        // no high-poly mesh: nothing to reach
    EXPECT_EQ(bake(plane.get()), 0.0f);         // an open plane has no far side
}

TEST(OcclusionBakers, RayLengthIsTheMapsDistanceCutToTheSceneSize) {
    Rig rig(4, MapAmbientOcclusion);
    rig.state.sceneExtent = 6.0f;
    const struct {
        float aoDistance, length;
    } cases[] = {{0.0f, 6.0f}, {-1.0f, 6.0f}, {2.5f, 2.5f}, {40.0f, 6.0f}};
    for (const auto& c : cases) {
        rig.map->aoDistance = c.aoDistance;
        auto ao = rig.Make<AOMapBaker>();
        auto thickness = rig.Make<ThicknessBaker>();
        ao->Init();
        thickness->Init();
        EXPECT_EQ(ao->Shader()->occlusionDistance, c.length) << c.aoDistance;
        EXPECT_EQ(thickness->Shader()->occlusionDistance, c.length) << c.aoDistance;
    }
}

TEST(OcclusionBakers, BakesDoNotDependOnTheThreadCount) {
    // Ridges of varying height give the texels partial occlusion, a sloping floor below
    // varying thickness.
    const auto ridges = Ground();
    SceneMesh& mesh = *ridges->meshes[0];
    AddQuad(mesh, {-1, -1, -0.1f}, {-1, 1, -0.1f}, {1, 1, -0.5f}, {1, -1, -0.5f}, {0, 0, 1});
    for (int i = 0; i < 6; ++i) {
        const float x = -0.8f + 0.3f * float(i), h = 0.05f + 0.04f * float(i % 3);
        AddQuad(mesh, {x, -1, 0}, {x, 1, 0}, {x, 1, h}, {x, -1, h}, {-1, 0, 0});
    }
    for (int type : {int(MapAmbientOcclusion), int(MapThickness)}) {
        std::vector<std::vector<float>> results;
        for (int threads : {1, 3, 8}) {
            Rig rig(24, type);
            rig.software.SetThreadCount(threads);
            rig.job.searchDistance = 0.02f;
            rig.AddLowPolySquare(1.0f);
            rig.AddHighPoly(*ridges);
            std::unique_ptr<SingleMapBaker> baker;
            std::unique_ptr<OcclusionShaderBase> unprepared;
            if (type == MapAmbientOcclusion) {
                auto ao = BakeTile<AOMapBaker>(rig);
                unprepared = std::make_unique<AOMapBaker::AOShader>(*ao->Shader());
                baker = std::move(ao);
            } else {
                auto thickness = BakeTile<ThicknessBaker>(rig);
                unprepared = std::make_unique<ThicknessBaker::ThicknessShader>(*thickness->Shader());
                baker = std::move(thickness);
            }
            const Image& image = *baker->GetImage();
            results.emplace_back(image.data, image.data + image.FloatCount());
            // The per-tile table of jittered axes holds what each texel would compute itself.
            unprepared->PrepareTile(0, 0);
            Image tile(24, 24);
            rig.software.Render(rig.state, &tile, RasteriseTargets(*rig.lowPoly, 24, 24), unprepared.get(), nullptr, 0);
            EXPECT_EQ(std::vector<float>(tile.data, tile.data + tile.FloatCount()), results.back());
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_EQ(results[0], results[2]);
        // The map is not uniform, so equality above says something.
        const auto [low, high] = std::minmax_element(results[0].begin(), results[0].end());
        EXPECT_GT(*high - *low, 0.05f);
        if (type == MapAmbientOcclusion) {
            EXPECT_LT(*low, 0.9f);
        }
    }
}
