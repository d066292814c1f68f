#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tracetesthelpers.h"

using namespace Pallix::Bake;
using Pallix::Math::AABB3;
using Pallix::Math::Vec3;
using TraceTest::Triangle;

namespace {

// Four unit cells along x over [0, 4] x [0, 1] x [0, 1].
std::unique_ptr<SWTraceMesh> Row(const std::vector<Triangle>& soup) {
    const AABB3 box = TraceTest::Box({0, 0, 0}, {4, 1, 1});
    return TraceTest::MakeTraceMesh(soup, {}, 2, &box, 1.0f);
}

// A wall across the row at x, covering the whole cross-section.
Triangle Wall(float x) { return {{x, -1, -1}, {x, 3, -1}, {x, -1, 3}}; }

struct Result {
    bool hit;
    int id;
    double t;
};

Result Cast(const SWTraceMesh& mesh, Vec3 origin, Vec3 direction, float limit, int kernel = KernelPlueckerDouble) {
    const TraceRay ray = TraceRay::Make(origin, direction, limit, kernel);
    TraceHit hit;
    hit.distance = limit;
    const bool found = mesh.grid.Intersect(ray, &hit);
    return {found, found ? hit.triangleId : -1, found ? hit.distance : 0.0};
}

bool Blocked(const SWTraceMesh& mesh, Vec3 origin, Vec3 direction, float limit) {
    return mesh.grid.Occluded(TraceRay::Make(origin, direction, limit, 0));
}

}  // namespace

TEST(GridWalk, RaysFromOutsideEnterAtTheBox) {
    const auto mesh = Row({Wall(2.5f)});
    Result r = Cast(*mesh, {-3, 0.5f, 0.5f}, {1, 0, 0}, 10.0f);
    EXPECT_TRUE(r.hit);
    EXPECT_NEAR(r.t, 5.5, 1e-6);
    EXPECT_FALSE(Cast(*mesh, {-3, 0.5f, 0.5f}, {1, 0, 0}, 5.0f).hit);      // wall beyond the limit
    EXPECT_FALSE(Cast(*mesh, {-30, 0.5f, 0.5f}, {1, 0, 0}, 10.0f).hit);    // enters beyond the limit
    EXPECT_FALSE(Cast(*mesh, {-3, 2.5f, 0.5f}, {1, 0, 0}, 10.0f).hit);     // passes beside the box
    EXPECT_FALSE(Cast(*mesh, {-3, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f).hit);    // points away
    EXPECT_TRUE(Blocked(*mesh, {-3, 0.5f, 0.5f}, {1, 0, 0}, 5.5f));
    EXPECT_FALSE(Blocked(*mesh, {-3, 0.5f, 0.5f}, {1, 0, 0}, 5.4f));
    EXPECT_FALSE(Blocked(*mesh, {-30, 0.5f, 0.5f}, {1, 0, 0}, 10.0f));
    // Entering through the far end, against x.
    r = Cast(*mesh, {7, 0.25f, 0.75f}, {-2, 0, 0}, 10.0f);
    EXPECT_TRUE(r.hit);
    EXPECT_NEAR(r.t, 2.25, 1e-6);  // distances in units of the direction's length
}

TEST(GridWalk, AnOriginOnTheMaximumFaceCountsAsOutside) {
    const auto mesh = Row({Wall(2.5f)});
    // Index n along x: outside, and the slab test's entry distance is not positive.
    EXPECT_FALSE(Cast(*mesh, {4, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f).hit);
    EXPECT_FALSE(Blocked(*mesh, {4, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f));
    // Just inside it the same ray hits.
    EXPECT_TRUE(Cast(*mesh, {3.999f, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f).hit);
    EXPECT_TRUE(Blocked(*mesh, {3.999f, 0.5f, 0.5f}, {-1, 0, 0}, 10.0f));
}

TEST(GridWalk, ALongTriangleTestedEarlyIsReplacedByANearerOneFurtherOn) {
    // The slanted triangle spans all four cells and is tested in cell 0, where the ray does
    // not reach it yet; the small wall in cell 1 lies nearer and must win.
    const Triangle slanted{{0.5f, 0.9f, 0.9f}, {5.5f, 0.3f, -0.3f}, {5.5f, -0.3f, 0.3f}};
    const Triangle small{{1.5f, 0.4f, 0.4f}, {1.5f, 0.6f, 0.4f}, {1.5f, 0.4f, 0.6f}};
    const auto mesh = Row({slanted, small});
    ASSERT_EQ(mesh->grid.cells[0].triangleCount, 1);
    for (int kernel = 0; kernel < 8; ++kernel) {
        const Result r = Cast(*mesh, {0.2f, 0.45f, 0.45f}, {1, 0, 0}, 10.0f, kernel);
        EXPECT_EQ(r.id, 1) << "kernel " << kernel;
        EXPECT_NEAR(r.t, 1.3, 1e-5) << "kernel " << kernel;
    }
    // Without the small one the slanted triangle is still found beyond cell 0.
    const auto alone = Row({slanted});
    const Result far = Cast(*alone, {0.2f, 0.45f, 0.45f}, {1, 0, 0}, 10.0f);
    EXPECT_EQ(far.id, 0);
    EXPECT_NEAR(far.t, 2.8, 1e-5);
}

TEST(GridWalk, AxisParallelAndDegenerateRays) {
    const auto mesh = Row({Wall(0.5f), Wall(3.5f)});
    // Parallel to y and z: never crosses a wall, whatever the limit.
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 1, 0}, 100.0f).hit);
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, -1}, 100.0f).hit);
    EXPECT_EQ(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {-1, 0, 0}, 100.0f).id, 0);
    EXPECT_EQ(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, 100.0f).id, 1);

    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    // A zero direction with an endless limit ends at once.
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, 0}, inf).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {0, 0, 0}, inf));
    EXPECT_TRUE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, inf).hit);
    // Non-finite origins and directions, and NaN or negative limits, hit nothing.
    for (const Vec3& origin : {Vec3{nan, 0.5f, 0.5f}, Vec3{inf, 0.5f, 0.5f}}) {
        EXPECT_FALSE(Cast(*mesh, origin, {1, 0, 0}, 1e38f).hit);
        EXPECT_FALSE(Blocked(*mesh, origin, {1, 0, 0}, 1e38f));
    }
    // An origin whose cell index would not fit an int still finds its way in.
    const Result far = Cast(*mesh, {-1e10f, 0.5f, 0.5f}, {1, 0, 0}, 1e38f);
    EXPECT_EQ(far.id, 0);
    EXPECT_NEAR(far.t, 1e10 + 0.5, 1e-3);
    EXPECT_FALSE(Cast(*mesh, {1e10f, 0.5f, 0.5f}, {1, 0, 0}, 1e38f).hit);
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {nan, 0, 0}, 10.0f).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {1, inf, 0}, 10.0f));
    EXPECT_FALSE(Cast(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, nan).hit);
    EXPECT_FALSE(Blocked(*mesh, {1.5f, 0.5f, 0.5f}, {1, 0, 0}, -1.0f));
}
