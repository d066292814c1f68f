#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "tracetesthelpers.h"

using namespace Pallix::Bake;
using TraceTest::MakePackets;
using TraceTest::Triangle;
using Pallix::Math::Vec3;

namespace {

struct KernelCase {
    int id;
    ClosestHitKernel kernel;
};

const std::vector<KernelCase>& AllKernels() {
    static const std::vector<KernelCase> kernels = {
        {1, IntersectMoellerFloat}, {2, IntersectMoellerDouble}, {3, IntersectMoellerSse},
        {4, IntersectPlueckerFloat}, {5, IntersectPlueckerDouble}, {6, IntersectPlueckerSse},
        {7, IntersectPlueckerAvx}};
    return kernels;
}

bool Avx() { return KernelAvxAvailable(); }

// A 4 x 4 right triangle in the plane z = height: a = (-1, -1), b = (3, -1), c = (-1, 3). A ray
// from the origin straight down meets it at u = v = 0.25, t = -height, all exact in float.
Triangle Floor(float height) { return {{-1, -1, height}, {3, -1, height}, {-1, 3, height}}; }

TraceRay Down(Vec3 origin = {0, 0, 0}, float limit = 100.0f) { return TraceRay::Make(origin, {0, 0, -1}, limit, 0); }

struct Result {
    int id;
    double t;
    float u, v;
};

Result RunKernel(ClosestHitKernel kernel, const std::vector<TrianglePacket>& packets, const TraceRay& ray, double best) {
    Result r{-1, best, -1.0f, -1.0f};
    r.id = kernel(packets.data(), int(packets.size()), ray, &r.t, &r.u, &r.v);
    return r;
}

}  // namespace

TEST(Kernels, EveryKernelFindsTheExactHitAndItsBarycentrics) {
    const auto packets = MakePackets({Floor(-5.0f), Floor(-2.0f), Floor(-7.0f)}, 40);
    for (const KernelCase& k : AllKernels()) {
        if (k.id == 7 && !Avx()) continue;
        const Result r = RunKernel(k.kernel, packets, Down(), 100.0);
        EXPECT_EQ(r.id, 41) << "kernel " << k.id;
        // Kernel 4 divides by a refined reciprocal estimate, good to a few units in the last place.
        EXPECT_NEAR(r.t, 2.0, k.id == 4 ? 2e-6 : 0.0) << "kernel " << k.id;
        EXPECT_NEAR(r.u, 0.25f, 1e-6f) << "kernel " << k.id;
        EXPECT_NEAR(r.v, 0.25f, 1e-6f) << "kernel " << k.id;

        // The second corner weighs u and the third v.
        const Result corner = RunKernel(k.kernel, packets, Down({2.0f, -0.5f, 0.0f}), 100.0);
        EXPECT_NEAR(corner.u, 0.75f, 1e-5f) << "kernel " << k.id;
        EXPECT_NEAR(corner.v, 0.125f, 1e-5f) << "kernel " << k.id;

        // Nothing beyond the incoming distance, and nothing that is written on a miss.
        const Result limited = RunKernel(k.kernel, packets, Down(), 1.5);
        EXPECT_EQ(limited.id, -1) << "kernel " << k.id;
        EXPECT_EQ(limited.t, 1.5) << "kernel " << k.id;
        EXPECT_EQ(limited.u, -1.0f) << "kernel " << k.id;

        // A ray in the triangle's plane has a zero determinant or denominator: no hit.
        const TraceRay parallel = TraceRay::Make({0, 0, -2}, {1, 0, 0}, 100.0f, 0);
        EXPECT_EQ(RunKernel(k.kernel, packets, parallel, 100.0).id, -1) << "kernel " << k.id;
    }
}

TEST(Kernels, DistanceZeroAndDistanceEqualToBestFollowEachKernelsBounds) {
    const auto packets = MakePackets({Floor(0.0f)});
    const auto far = MakePackets({Floor(-2.0f)});
    for (const KernelCase& k : AllKernels()) {
        if (k.id == 7 && !Avx()) continue;
        const bool moellerScalar = k.id == 1 || k.id == 2;
        // Origin on the triangle: t = 0 exactly.
        EXPECT_EQ(RunKernel(k.kernel, packets, Down(), 100.0).id, moellerScalar ? -1 : 0) << "kernel " << k.id;
        // Incoming best equal to the hit distance.
        EXPECT_EQ(RunKernel(k.kernel, far, Down(), 2.0).id, moellerScalar ? -1 : 0) << "kernel " << k.id;
    }
}

TEST(Kernels, TiesWithinAPacket) {
    // Lanes: far, near, near again (a duplicate with its own id), far.
    const auto packets = MakePackets({Floor(-4.0f), Floor(-2.0f), Floor(-2.0f), Floor(-4.0f)}, 10);
    const TraceRay ray = Down();
    EXPECT_EQ(RunKernel(IntersectMoellerFloat, packets, ray, 100.0).id, 11);   // first strictly nearer lane
    EXPECT_EQ(RunKernel(IntersectMoellerDouble, packets, ray, 100.0).id, 11);
    EXPECT_EQ(RunKernel(IntersectMoellerSse, packets, ray, 100.0).id, 11);     // smallest t, lowest lane
    // Kernel 4 lets a later lane replace when T <= best * |den| holds; its best comes from the
    // reciprocal estimate and may round just below the lane's own T / |den|.
    const int estimated = RunKernel(IntersectPlueckerFloat, packets, ray, 100.0).id;
    EXPECT_TRUE(estimated == 11 || estimated == 12) << estimated;
    EXPECT_EQ(RunKernel(IntersectPlueckerDouble, packets, ray, 100.0).id, 12);  // a later equal lane replaces
    EXPECT_EQ(RunKernel(IntersectPlueckerSse, packets, ray, 100.0).id, 11);
    if (Avx()) {
        EXPECT_EQ(RunKernel(IntersectPlueckerAvx, packets, ray, 100.0).id, 11);
    }
}

TEST(Kernels, TiesAcrossPackets) {
    // Packet 0: the near triangle in lane 2; packet 1: its duplicate in lane 1; packet 2 (AVX's
    // second step, tested in both halves): another duplicate in lane 3.
    const Triangle far = Floor(-4.0f), near = Floor(-2.0f);
    const auto two = MakePackets({far, far, near, far, far, near, far, far}, 0);
    EXPECT_EQ(RunKernel(IntersectMoellerFloat, two, Down(), 100.0).id, 2);
    EXPECT_EQ(RunKernel(IntersectMoellerSse, two, Down(), 100.0).id, 5);     // a later packet replaces
    EXPECT_EQ(RunKernel(IntersectPlueckerSse, two, Down(), 100.0).id, 5);
    if (Avx()) {
        EXPECT_EQ(RunKernel(IntersectPlueckerAvx, two, Down(), 100.0).id, 2);  // one step, lowest lane
    }

    const auto three = MakePackets({far, far, near, far, far, near, far, far, far, far, far, near}, 0);
    EXPECT_EQ(RunKernel(IntersectPlueckerSse, three, Down(), 100.0).id, 11);
    if (Avx()) {
        EXPECT_EQ(RunKernel(IntersectPlueckerAvx, three, Down(), 100.0).id, 11);  // later step replaces
    }
    EXPECT_EQ(RunKernel(IntersectPlueckerDouble, three, Down(), 100.0).id, 11);
}

TEST(Kernels, AvxTestsTheLastOfAnOddNumberOfPackets) {
    if (!Avx()) GTEST_SKIP() << "no AVX on this CPU";
    const Triangle far = Floor(-4.0f);
    std::vector<Triangle> soup(8, far);
    soup.push_back(Floor(-3.0f));  // alone in the third packet, repeated into all its lanes
    const auto packets = MakePackets(soup, 0);
    ASSERT_EQ(packets.size(), 3u);
    const Result r = RunKernel(IntersectPlueckerAvx, packets, Down(), 100.0);
    EXPECT_EQ(r.id, 8);
    EXPECT_DOUBLE_EQ(r.t, 3.0);
}

TEST(Kernels, EdgeToleranceOfTheMoellerKernels) {
    // The triangle's edge u = 0 runs along x = -1 (with the long edge, u + v = 1, further out).
    // In barycentric terms a ray at x = -1 - 4 * k passes k outside that edge.
    const auto packets = MakePackets({Floor(-2.0f)});
    const TraceRay justOutside = Down({-1.0f - 4.0f * 0.002f, 0.0f, 0.0f});
    const TraceRay further = Down({-1.0f - 4.0f * 0.003f, 0.0f, 0.0f});
    EXPECT_EQ(RunKernel(IntersectMoellerSse, packets, justOutside, 100.0).id, 0);
    EXPECT_EQ(RunKernel(IntersectMoellerSse, packets, further, 100.0).id, -1);
    for (ClosestHitKernel exact : {IntersectMoellerFloat, IntersectMoellerDouble, IntersectPlueckerFloat,
                                   IntersectPlueckerDouble, IntersectPlueckerSse}) {
        EXPECT_EQ(RunKernel(exact, packets, justOutside, 100.0).id, -1);
    }
    if (Avx()) {
        EXPECT_EQ(RunKernel(IntersectPlueckerAvx, packets, justOutside, 100.0).id, -1);
    }
}

TEST(Kernels, AnyHitToleranceAndRange) {
    const auto packets = MakePackets({Floor(-2.0f)});
    auto occluded = [&](Vec3 origin, float limit) {
        const TraceRay ray = TraceRay::Make(origin, {0, 0, -1}, limit, 0);
        return OccludedMoellerSse(packets.data(), int(packets.size()), ray);
    };
    EXPECT_TRUE(occluded({0, 0, 0}, 2.0f));    // t equal to the limit counts
    EXPECT_FALSE(occluded({0, 0, 0}, 1.99f));
    EXPECT_TRUE(occluded({0, 0, -2}, 1.0f));   // t = 0 counts
    EXPECT_FALSE(occluded({0, 0, -3}, 10.0f)); // behind the origin
    EXPECT_TRUE(occluded({-1.0f - 4.0f * 0.5e-5f, 0, 0}, 10.0f));  // within 1e-5 of the edge u = 0
    EXPECT_FALSE(occluded({-1.0f - 4.0f * 4e-5f, 0, 0}, 10.0f));
    EXPECT_TRUE(occluded({1.0f + 4.0f * 0.5e-6f, 1.0f, 0}, 10.0f));  // within 1e-6 past u + v = 1
    EXPECT_FALSE(occluded({1.0f + 4.0f * 4e-6f, 1.0f, 0}, 10.0f));
}

TEST(Kernels, TrianglesWithTwoEqualCornersAreNeverHit) {
    // The grid leaves them out. With a = b or a = c an edge is exactly zero, and so is every
    // kernel's determinant; with b = c the Pluecker kernels' normal is exactly zero, while a
    // Moeller-Trumbore determinant is zero but for rounding. Rays meet the segment exactly, at
    // points of a grid of eighths and at random points from random directions.
    TraceTest::Random random(17);
    for (int i = 0; i < 20000; ++i) {
        const bool exact = i % 2 == 0;
        Vec3 p = random.InBox(-1.0f, 1.0f), q = random.InBox(-1.0f, 1.0f);
        if (exact) {
            p = {std::round(8.0f * p.x) / 8.0f, std::round(8.0f * p.y) / 8.0f, 0.5f};
            q = {std::round(8.0f * q.x) / 8.0f, std::round(8.0f * q.y) / 8.0f, 0.5f};
        }
        const Vec3 d = exact ? Vec3{0, 0, -1} : random.Direction();
        const Vec3 on = p + (q - p) * (exact ? 0.5f : random.Range(0.0f, 1.0f));
        const TraceRay ray = TraceRay::Make(on - d * 2.0f, d, 10.0f, 0);
        const std::vector<Triangle> kinds = {{p, p, q}, {p, q, p}, {p, q, q}};
        for (size_t kind = 0; kind < kinds.size(); ++kind) {
            const auto packets = MakePackets({kinds[kind]});
            const bool bEqualsC = kind == 2;
            for (const KernelCase& k : AllKernels()) {
                if ((k.id == 7 && !Avx()) || (bEqualsC && k.id <= 3)) continue;
                ASSERT_EQ(RunKernel(k.kernel, packets, ray, 10.0).id, -1)
                    << "kernel " << k.id << ", kind " << kind << ", ray " << i;
            }
            if (!bEqualsC) {
                ASSERT_FALSE(OccludedMoellerSse(packets.data(), int(packets.size()), ray))
                    << "kind " << kind << ", ray " << i;
            }
        }
    }
}

namespace {

// Three distinct corners on one line, exactly as floats: p + k D on a grid of 2^-20 with D on
// one of 2^-6 and k in sixteenths, so that every corner and edge is exact; the middle corner
// takes each place in turn.
Triangle CollinearInFloat(TraceTest::Random& random, int order) {
    auto onGrid = [&](float lo, float hi, float step) { return std::round(random.Range(lo, hi) / step) * step; };
    const Vec3 p{onGrid(-1, 1, 0x1p-20f), onGrid(-1, 1, 0x1p-20f), onGrid(-1, 1, 0x1p-20f)};
    Vec3 d{onGrid(-0.5f, 0.5f, 0x1p-6f), onGrid(-0.5f, 0.5f, 0x1p-6f), onGrid(-0.5f, 0.5f, 0x1p-6f)};
    if (d.x == 0.0f) d.x = 0x1p-6f;
    const Vec3 corners[3] = {p, p + d * (float(1 + random.Below(7)) / 16.0f), p + d * (float(9 + random.Below(7)) / 16.0f)};
    return {corners[order % 3], corners[(order + 1) % 3], corners[(order + 2) % 3]};
}

// A point of the segment, picked from end to end.
Vec3 OnSegment(const Triangle& t, float s) {
    Vec3 lo = t.a, hi = t.b;
    for (const auto& [p, q] : {std::pair{t.a, t.c}, std::pair{t.b, t.c}}) {
        if (Pallix::Math::Length(q - p) > Pallix::Math::Length(hi - lo)) {
            lo = p;
            hi = q;
        }
    }
    return lo + (hi - lo) * s;
}

}  // namespace

TEST(Kernels, TrianglesWithCollinearCornersAreNeverHitByTheExactKernels) {
    // The grid leaves out triangles whose stored edges are exactly parallel. The double Pluecker
    // kernel forms their normal exactly, as zero, from any origin near them; with a ray along an
    // axis the Moeller-Trumbore determinant is a difference of two equal products, exactly zero
    // in float and in double. Rays aim at the segment, from random directions and along the axes.
    // The float Pluecker kernels round the corners less the origin, so a ray through the line
    // may find a sliver there: they rely on the grid.
    TraceTest::Random random(23);
    const Vec3 axes[] = {{0, 0, -1}, {0, 0, 1}, {1, 0, 0}, {0, -1, 0}};
    for (int i = 0; i < 20000; ++i) {
        const Triangle collinear = CollinearInFloat(random, i);
        const auto packets = MakePackets({collinear});
        const Vec3 on = OnSegment(collinear, random.Range(0.0f, 1.0f));
        const Vec3 d = random.Direction();
        const TraceRay ray = TraceRay::Make(on - d * 2.0f, d, 10.0f, 0);
        ASSERT_EQ(RunKernel(IntersectPlueckerDouble, packets, ray, 10.0).id, -1) << "ray " << i;
        const Vec3 axis = axes[i % 4];
        const TraceRay along = TraceRay::Make(on - axis * 2.0f, axis, 10.0f, 0);
        for (const KernelCase& k : AllKernels()) {
            if (k.id > 3 && k.id != 5) continue;
            ASSERT_EQ(RunKernel(k.kernel, packets, along, 10.0).id, -1) << "kernel " << k.id << ", ray " << i;
        }
        ASSERT_FALSE(OccludedMoellerSse(packets.data(), int(packets.size()), along)) << "ray " << i;
    }
}

TEST(Kernels, UnknownKernelIdsRunTheDoublePrecisionPlueckerKernel) {
    const auto packets = MakePackets({Floor(-4.0f), Floor(-2.0f), Floor(-2.0f), Floor(-4.0f)}, 10);
    double t = 100.0;
    float u = 0, v = 0;
    TraceRay ray = Down();
    EXPECT_EQ(IntersectPackets(99, packets.data(), 1, ray, &t, &u, &v), 12);
    t = 100.0;
    EXPECT_EQ(IntersectPackets(KernelPlueckerDoubleDefault, packets.data(), 1, ray, &t, &u, &v), 12);
    t = 100.0;
    EXPECT_EQ(IntersectPackets(KernelMoellerFloat, packets.data(), 1, ray, &t, &u, &v), 11);
}
