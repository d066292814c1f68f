#include <gtest/gtest.h>

#include "bake/mapbaker.h"

using namespace Pallix::Bake;

namespace {

// A baker whose needs the test chooses; the loops' operations are never called here.
class NeedsBaker : public MapBaker {
public:
    using MapBaker::MapBaker;
    void Init() override {}
    Image* GetImage() override { return nullptr; }
    int GetImageCount() override { return 1; }
    std::string GetSuffix() const override { return "_test"; }
    int Render(HardwareBaker&, HardwareScene&) override { return 0; }
    void ProcessTile(const ReadbackSet&) override {}
    void PostProcess() override {}
    void Export() override {}
    void SaveCache() override {}
    void LoadCache() override {}
    bool NeedsNormals() const override { return normals; }
    bool NeedsColours() const override { return colours; }
    bool NeedsUVs() const override { return uvs; }
    bool NeedsNeighbourDirections() const override { return neighbours; }
    bool NeedsHardEdges() const override { return hardEdges; }

    bool normals = false, colours = false, uvs = false, neighbours = false, hardEdges = false;
};

struct BakerFixture : testing::Test {
    BakerFixture() : baker(&job.times, &job, &job.AddMap()) { baker.state = &state; }
    BakeJob job;
    RenderState state;
    NeedsBaker baker;
};

}  // namespace

TEST_F(BakerFixture, TraceRequirementsFollowTheNeeds) {
    EXPECT_EQ(baker.GetTraceRequirements(), 0);
    baker.uvs = true;
    EXPECT_EQ(baker.GetTraceRequirements(), 0x10);
    baker.uvs = false;
    baker.colours = true;
    EXPECT_EQ(baker.GetTraceRequirements(), 0x10);
    baker.normals = true;
    baker.neighbours = true;
    EXPECT_EQ(baker.GetTraceRequirements(), 0x32);
    baker.hardEdges = true;  // a low-poly need only
    EXPECT_EQ(baker.GetTraceRequirements(), 0x32);
}

TEST_F(BakerFixture, LowPolyRequirementsByDirectionAndHighPoly) {
    job.hasHighPoly = true;
    job.normalDirection = DirectionInterpolated;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x12);
    job.normalDirection = DirectionGeometric;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x14);
    job.normalDirection = DirectionRounded;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x1D6);

    // Hard edges bring hard vertices and with them normals; flags passed in are kept.
    job.normalDirection = DirectionGeometric;
    baker.hardEdges = true;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x56);
    baker.hardEdges = false;
    EXPECT_EQ(baker.GetLowPolyRequirements(0x80 | 0x8), 0x9E);

    // Without a high-poly mesh the low-poly scene also carries the trace needs.
    baker.neighbours = true;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x14);
    job.hasHighPoly = false;
    EXPECT_EQ(baker.GetLowPolyRequirements(0), 0x34);
}

TEST_F(BakerFixture, OutputNamesCarryTheSuffixAndTheTileName) {
    job.outputPath = "out/crate";
    state.udimColumn = 1;
    state.udimRow = 0;
    job.tilingMode = 0;
    EXPECT_EQ(baker.GetOutputName(), "out/crate_test");
    job.tilingMode = 1;
    EXPECT_EQ(baker.GetOutputName("_ao"), "out/crate_ao.1002");
    job.tilingMode = 2;
    state.udimColumn = 0;
    state.udimRow = 0;
    EXPECT_EQ(baker.GetOutputName("_ao"), "out/crate_ao.1001");
    state.udimColumn = 9;
    state.udimRow = 3;
    EXPECT_EQ(baker.GetOutputName("_ao"), "out/crate_ao.1040");
    job.tileNaming = 1;
    state.udimColumn = 1;
    state.udimRow = 0;
    EXPECT_EQ(baker.GetOutputName("_ao"), "out/crate_ao_u2_v1");
    job.explicitPath = true;
    EXPECT_EQ(baker.GetOutputName("_ao"), "out/crate");
}
