#include <cmath>

#include <gtest/gtest.h>

#include "bake/alphamaskbaker.h"
#include "bake/clownmapbaker.h"
#include "bake/curvaturemapbaker.h"
#include "bake/diagnosticmapbaker.h"
#include "bake/displacementmapbaker.h"
#include "bake/layeredclownmapbaker.h"
#include "bake/positionbaker.h"
#include "bake/projectionmaskbaker.h"
#include "bake/vertexcolourbaker.h"
#include "bakertesthelpers.h"

using namespace BakerTest;

namespace {

// Flat-shaded cube [-1, 1]^3 with each face on its own cell of a 3 x 2 UV atlas (a margin of
// 0.05 of a cell around each face).
void AddAtlasCube(SceneMesh& mesh) {
    struct Face {
        Vec3 origin, du, dv, n;
    };
    const Face faces[6] = {
        {{-1, -1, 1}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1}},   {{-1, 1, -1}, {2, 0, 0}, {0, -2, 0}, {0, 0, -1}},
        {{-1, -1, -1}, {2, 0, 0}, {0, 0, 2}, {0, -1, 0}}, {{1, 1, -1}, {-2, 0, 0}, {0, 0, 2}, {0, 1, 0}},
        {{-1, 1, -1}, {0, -2, 0}, {0, 0, 2}, {-1, 0, 0}}, {{1, -1, -1}, {0, 2, 0}, {0, 0, 2}, {1, 0, 0}},
    };
    for (int f = 0; f < 6; ++f) {
        const Face& face = faces[f];
        const float u0 = float(f % 3) / 3.0f, v0 = float(f / 3) / 2.0f;
        const float su = 0.9f / 3.0f, sv = 0.9f / 2.0f, mu = 0.05f / 3.0f, mv = 0.05f / 2.0f;
        auto corner = [&](float a, float b) {
            return Corner{face.origin + face.du * a + face.dv * b, {u0 + mu + su * a, v0 + mv + sv * b}, ColourWhite, face.n};
        };
        AddTriangle(mesh, corner(0, 0), corner(1, 0), corner(1, 1));
        AddTriangle(mesh, corner(0, 0), corner(1, 1), corner(0, 1));
    }
}

}  // namespace

TEST(ProjectionMaskBaker, FallsFromOneOnTheCubeEdgesToZeroAtTheRoundingDistance) {
    Rig probe(32, MapHardEdgeMask);
    auto flags = probe.Make<ProjectionMaskBaker>()->GetLowPolyRequirements(0);
    EXPECT_EQ(flags & (NeedHardVertices | NeedHardEdges | NeedNormals), NeedHardVertices | NeedHardEdges | NeedNormals);

    Rig rig(32, MapHardEdgeMask, 1, flags);
    rig.job.roundingDistance = 0.5f;
    AddAtlasCube(*rig.lowPoly->AddMesh("cube"));
    rig.lowPoly->Prepare(*rig.map);
    auto baker = rig.Make<Open<ProjectionMaskBaker>>();
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();

    const ReadbackSet targets = RasteriseTargets(*rig.lowPoly, 32, 32);
    int covered = 0, onEdgeBand = 0, flat = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const float* texel = baker->Output().Pixel(x, y);
            if (!(targets[TargetPosition].Pixel(x, y)[3] > 0.0f)) {
                EXPECT_EQ(texel[3], 0.0f);
                continue;
            }
            ++covered;
            // On a face of the cube the nearest hard edge lies 1 - |coordinate| away along the
            // face's two in-plane axes.
            const float* p = targets[TargetPosition].Pixel(x, y);
            const float* n = targets[TargetNormal].Pixel(x, y);
            float distance = 2.0f;
            for (int axis = 0; axis < 3; ++axis)
                if (std::fabs(n[axis]) < 0.5f) distance = std::min(distance, 1.0f - std::fabs(p[axis]));
            const float expected = 1.0f - std::min(distance, 0.5f) / 0.5f;
            EXPECT_NEAR(texel[0], expected, 1e-4f) << x << ", " << y;
            EXPECT_EQ(texel[0], texel[2]);
            EXPECT_EQ(texel[3], 1.0f);
            onEdgeBand += expected > 0.5f;
            flat += expected == 0.0f;
        }
    }
    EXPECT_GT(covered, 400);
    EXPECT_GT(onEdgeBand, 50);
    EXPECT_GT(flat, 20);
}

TEST(VertexColourBaker, InterpolatesTheHitColoursAndMissesAreOpaqueBlack) {
    Rig rig(8, MapVertexColour);
    rig.AddLowPolySquare();
    Scene highPoly(NeedNormals | NeedUVsAndColours);
    SceneMesh* mesh = highPoly.AddMesh("high");
    // Full orange left of x = 0; right of it a red ramp from 255 at x = 0 to 153 at x = 0.4.
    AddRectangle(*mesh, -0.6f, -0.6f, 0.0f, 0.6f, 0.1f, nullptr, PackColour(255, 128, 0, 255));
    const Corner a{{0, -0.6f, 0.1f}, {}, PackColour(255, 0, 0, 255)}, b{{0.4f, -0.6f, 0.1f}, {}, PackColour(153, 0, 0, 0)};
    const Corner c{{0.4f, 0.6f, 0.1f}, {}, PackColour(153, 0, 0, 0)}, d{{0, 0.6f, 0.1f}, {}, PackColour(255, 0, 0, 255)};
    AddTriangle(*mesh, a, b, c);
    AddTriangle(*mesh, a, c, d);
    rig.AddHighPoly(highPoly);
    auto baker = rig.Make<Open<VertexColourBaker>>();
    EXPECT_EQ(baker->GetTraceRequirements(), NeedUVsAndColours);
    baker->Init();
    rig.BakeTile(*baker);
    baker->PostProcess();
    const Image& out = baker->Output();
    for (int y = 0; y < 8; ++y) {
        EXPECT_EQ(out.Pixel(2, y)[0], 1.0f);  // 255 exactly
        EXPECT_EQ(out.Pixel(2, y)[1], 128.0f / 255.0f);
        EXPECT_EQ(out.Pixel(2, y)[2], 0.0f);
        EXPECT_EQ(out.Pixel(2, y)[3], 1.0f);  // the interpolated alpha is dropped
        EXPECT_NEAR(out.Pixel(5, y)[0], 1.0f - 0.1875f, 1e-5f);
        EXPECT_EQ(out.Pixel(5, y)[3], 1.0f);
        EXPECT_EQ(out.Pixel(7, y)[0], 0.0f);  // miss
        EXPECT_EQ(out.Pixel(7, y)[3], 1.0f);
    }
}

TEST(VertexColourBaker, WithoutHighPolyTheLowPolyColoursAreUsed) {
    Rig rig(4, MapVertexColour);
    AddRectangle(*rig.lowPoly->AddMesh("low"), -0.5f, -0.5f, 0.5f, 0.5f, 0.0f, nullptr, PackColour(255, 255, 255, 7));
    auto baker = rig.Make<Open<VertexColourBaker>>();
    baker->Init();
    rig.BakeTile(*baker);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 4; ++c) EXPECT_EQ(baker->Output().Pixel(x, y)[c], 1.0f);
}

TEST(MapBakerFactory, MakesTheBakerOfEachTypeCode) {
    BakeJob job;
    MapSettings& map = job.AddMap();
    auto make = [&](int type, bool layers = false) {
        map.type = type;
        map.layers = layers;
        return CreateMapBaker(&job.times, &job, &map);
    };
    EXPECT_NE(dynamic_cast<ClownMapBaker*>(make(MapMaterialId).get()), nullptr);
    EXPECT_NE(dynamic_cast<LayeredClownMapBaker*>(make(MapMaterialId, true).get()), nullptr);
    EXPECT_NE(dynamic_cast<DisplacementMapBaker*>(make(MapDisplacement).get()), nullptr);
    EXPECT_NE(dynamic_cast<VertexColourBaker*>(make(MapVertexColour).get()), nullptr);
    EXPECT_NE(dynamic_cast<CurvatureMapBaker*>(make(MapCurvature).get()), nullptr);
    EXPECT_NE(dynamic_cast<PositionBaker*>(make(MapWorldPosition).get()), nullptr);
    EXPECT_NE(dynamic_cast<ProjectionMaskBaker*>(make(MapHardEdgeMask).get()), nullptr);
    EXPECT_NE(dynamic_cast<AlphaMaskBaker*>(make(MapAlphaMask).get()), nullptr);
    EXPECT_NE(dynamic_cast<DiagnosticMapBaker*>(make(MapDiagnostic).get()), nullptr);
    EXPECT_EQ(make(MapNone), nullptr);
    EXPECT_EQ(make(42), nullptr);
    // The output folder check asks which maps will be written without making their bakers.
    for (int type = -1; type <= 42; ++type) EXPECT_EQ(HasMapBaker(type), make(type) != nullptr) << type;
}
