#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "bake/softwarebaker.h"
#include "core/bakeexception.h"
#include "geometry/scene.h"

using namespace Pallix::Bake;

namespace {

// Render targets made in memory: every texel covered unless said otherwise, each target's
// channels holding values that tell the target, the texel and the channel apart.
ReadbackSet MakeTargets(int width, int height) {
    ReadbackSet set;
    for (int t = 0; t < RenderTargetCount; ++t) {
        set.emplace_back(width, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 4; ++c) set[t].Pixel(x, y)[c] = float(100 * t + 10 * c) + 0.001f * float(x + 16 * y);
        if (t == TargetPosition)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) set[t].Pixel(x, y)[3] = 1.0f;
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned ids[4] = {2, unsigned(x % 3), unsigned(7 + x + y), 0};
            std::memcpy(set[TargetIntegers].Pixel(x, y), ids, sizeof ids);
        }
    }
    return set;
}

// Writes the sample's fields into the texel and keeps a copy of every sample it saw.
class Recorder : public SoftwareBaker::IImageShader {
public:
    void Shade(float* out, const TraceSample& s, void* data, int index) const override {
        ++calls;
        out[0] = float(s.pixelX);
        out[1] = float(s.pixelY);
        out[2] = float(s.sampleX);
        out[3] = float(s.sampleY);
        std::lock_guard<std::mutex> lock(mutex);
        samples.push_back(s);
        userData = data;
        userIndex = index;
    }
    mutable std::atomic<int> calls{0};
    mutable std::mutex mutex;
    mutable std::vector<TraceSample> samples;
    mutable void* userData = nullptr;
    mutable int userIndex = 0;
};

class Thrower : public SoftwareBaker::IImageShader {
public:
    void Shade(float* out, const TraceSample& s, void*, int) const override {
        ++calls;
        if (s.y == 1 && s.x == 2) throw std::runtime_error("shade failed");
        out[0] = out[1] = out[2] = out[3] = 5.0f;
    }
    mutable std::atomic<int> calls{0};
};

RenderState Tile(int width, int height) {
    RenderState state;
    state.tileWidth = width;
    state.tileHeight = height;
    return state;
}

}  // namespace

TEST(SoftwareBaker, FillsEveryCoveredTexelFromTheTargets) {
    SoftwareBaker baker;
    baker.SetThreadCount(3);
    Scene scene;
    scene.AddMesh("a");
    scene.AddMesh("b");
    baker.SetScene(&scene);

    RenderState state = Tile(4, 3);
    ReadbackSet targets = MakeTargets(4, 3);
    Image out(4, 3);
    Recorder shader;
    int tag = 0;
    baker.Render(state, &out, targets, &shader, &tag, 9);
    ASSERT_EQ(shader.calls, 12);
    EXPECT_EQ(shader.userData, &tag);
    EXPECT_EQ(shader.userIndex, 9);
    for (const TraceSample& s : shader.samples) {
        auto value = [&](int target, int channel) { return float(100 * target + 10 * channel) + 0.001f * float(s.x + 16 * s.y); };
        EXPECT_EQ(s.meshId, 2u);
        EXPECT_EQ(s.objectId, unsigned(s.x % 3));
        EXPECT_EQ(s.polyId, unsigned(7 + s.x + s.y));
        EXPECT_EQ(s.position.z, value(TargetPosition, 2));
        EXPECT_EQ(s.normal.x, value(TargetNormal, 0));
        EXPECT_EQ(s.geometricNormal.y, value(TargetGeoNormal, 1));
        EXPECT_EQ(s.tangent.z, value(TargetTangent, 2));
        EXPECT_EQ(s.bitangent.x, value(TargetBitangent, 0));
        EXPECT_EQ(s.barycentric[3], value(TargetBarycentric, 3));
        // Object ids 0 and 1 name scene meshes; 2 is beyond them.
        EXPECT_EQ(s.mesh, s.objectId < 2 ? scene.meshes[s.objectId].get() : nullptr);
    }
    EXPECT_EQ(out.Pixel(3, 2)[2], 3.0f);  // sampleX

    // Whatever the rows per task, every texel is shaded once.
    for (int rows : {0, 1, 2, 3, 100}) {
        Recorder banded;
        baker.Render(state, &out, targets, &banded, nullptr, 0, rows);
        std::vector<int> count(12, 0);
        for (const TraceSample& s : banded.samples) ++count[size_t(s.x + 4 * s.y)];
        EXPECT_EQ(count, std::vector<int>(12, 1)) << rows;
    }
}

TEST(SoftwareBaker, SampleAndPixelCoordinatesCountOverTheWholeUvTile) {
    SoftwareBaker baker;
    baker.SetThreadCount(2);
    RenderState state = Tile(4, 4);
    state.outputHeight = 1024;
    state.supersampling = 2;
    state.tileX = 1;
    state.tileY = 511;  // the last tile row: super-sample rows 2044 to 2047
    ReadbackSet targets = MakeTargets(4, 4);
    Image out(4, 4);
    Recorder shader;
    baker.Render(state, &out, targets, &shader, nullptr, 0);
    EXPECT_EQ(out.Pixel(0, 0)[2], 4.0f);       // sampleX = x + tileX * tileWidth
    EXPECT_EQ(out.Pixel(0, 0)[0], 2.0f);       // pixelX = sampleX / supersampling
    EXPECT_EQ(out.Pixel(3, 3)[3], 2047.0f);    // sampleY
    EXPECT_EQ(out.Pixel(3, 3)[1], 0.0f);       // pixelY counted from the top
    EXPECT_EQ(out.Pixel(0, 0)[1], 1.0f);

    state.tileY = 0;
    baker.Render(state, &out, targets, &shader, nullptr, 0);
    EXPECT_EQ(out.Pixel(0, 0)[1], 1023.0f);

    state.supersampling = 0;  // treated as 1 rather than dividing by zero
    baker.Render(state, &out, targets, &shader, nullptr, 0);
    EXPECT_EQ(out.Pixel(1, 1)[0], 5.0f);
}

TEST(SoftwareBaker, UncoveredTexelsAreZeroedWithoutShading) {
    SoftwareBaker baker;
    baker.SetThreadCount(2);
    RenderState state = Tile(3, 2);
    ReadbackSet targets = MakeTargets(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) targets[TargetPosition].Pixel(x, y)[3] = x == 1 ? 1e-5f : 0.0f;
    targets[TargetPosition].Pixel(2, 1)[3] = 2e-5f;
    Image out(3, 2);
    out.Fill(9, 9, 9, 9);
    Recorder shader;
    baker.Render(state, &out, targets, &shader, nullptr, 0);
    EXPECT_EQ(shader.calls, 1);  // only the texel above 1e-5
    EXPECT_EQ(out.Pixel(1, 0)[0], 0.0f);
    EXPECT_EQ(out.Pixel(0, 1)[3], 0.0f);
    EXPECT_EQ(out.Pixel(2, 1)[2], 2.0f);

    // A target of fewer channels receives only that many floats per texel.
    Image narrow(3, 2);
    narrow.channels = 2;
    std::fill(narrow.storage.begin(), narrow.storage.end(), 7.0f);
    baker.Render(state, &narrow, targets, &shader, nullptr, 0);
    EXPECT_EQ(narrow.Pixel(2, 1)[0], 2.0f);
    EXPECT_EQ(narrow.Pixel(2, 1)[1], 1022.0f);
    EXPECT_EQ(narrow.storage[2 * 6], 7.0f);  // past the two-channel image: untouched

    // The last tile of a 7 x 5 map in tiles of 4 x 3 reaches past it: those texels stay empty.
    state = Tile(4, 3);
    state.outputWidth = 7;
    state.outputHeight = 5;
    state.tileX = state.tileY = 1;
    targets = MakeTargets(4, 3);
    Image last(4, 3);
    last.Fill(9, 9, 9, 9);
    Recorder edge;
    baker.Render(state, &last, targets, &edge, nullptr, 0);
    EXPECT_EQ(edge.calls, 6);  // columns 4 to 6 of rows 3 and 4
    for (const TraceSample& sample : edge.samples) {
        EXPECT_LT(sample.sampleX, 7);
        EXPECT_LT(sample.sampleY, 5);
    }
    EXPECT_EQ(last.Pixel(3, 0)[3], 0.0f);
    EXPECT_EQ(last.Pixel(0, 2)[3], 0.0f);
}

TEST(SoftwareBaker, AFailingRowIsRethrownAfterEveryRowFinished) {
    SoftwareBaker baker;
    baker.SetThreadCount(4);
    RenderState state = Tile(4, 8);
    ReadbackSet targets = MakeTargets(4, 8);
    Image out(4, 8);
    Thrower shader;
    EXPECT_THROW(baker.Render(state, &out, targets, &shader, nullptr, 0), std::runtime_error);
    // Every other row ran to its end; the failing row stopped at the failing texel.
    EXPECT_EQ(shader.calls, 31);
    EXPECT_EQ(out.Pixel(3, 7)[0], 5.0f);
    EXPECT_EQ(out.Pixel(1, 1)[0], 5.0f);
    EXPECT_EQ(out.Pixel(3, 1)[0], 0.0f);
}

TEST(SoftwareBaker, RejectsTargetsThatDoNotCoverTheTile) {
    SoftwareBaker baker;
    RenderState state = Tile(4, 4);
    Recorder shader;
    Image out(4, 4);
    ReadbackSet small = MakeTargets(4, 3);
    EXPECT_THROW(baker.Render(state, &out, small, &shader, nullptr, 0), BakeException);
    ReadbackSet missing = MakeTargets(4, 4);
    missing.pop_back();
    EXPECT_THROW(baker.Render(state, &out, missing, &shader, nullptr, 0), BakeException);
    ReadbackSet targets = MakeTargets(4, 4);
    Image tiny(2, 2);
    EXPECT_THROW(baker.Render(state, &tiny, targets, &shader, nullptr, 0), BakeException);
    EXPECT_EQ(shader.calls, 0);
    // Without a thread count the baker makes its own pool.
    baker.Render(state, &out, targets, &shader, nullptr, 0);
    EXPECT_EQ(shader.calls, 16);
}
