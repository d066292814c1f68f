#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bake/singlemapbaker.h"
#include "bake/softwarebaker.h"
#include "core/bakeexception.h"
#include "core/threadpool.h"

using namespace Pallix::Bake;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

void Set(Image& image, int x, int y, float r, float g, float b, float a) {
    float* p = image.Pixel(x, y);
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

void ExpectTexel(const Image& image, int x, int y, float r, float g, float b, float a) {
    const float* p = image.Pixel(x, y);
    EXPECT_FLOAT_EQ(p[0], r) << "red at " << x << "," << y;
    EXPECT_FLOAT_EQ(p[1], g) << "green at " << x << "," << y;
    EXPECT_FLOAT_EQ(p[2], b) << "blue at " << x << "," << y;
    EXPECT_FLOAT_EQ(p[3], a) << "alpha at " << x << "," << y;
}

bool SameBits(const Image& a, const Image& b) {
    return std::memcmp(a.data, b.data, a.FloatCount() * sizeof(float)) == 0;
}

// The blurs written as the plain clipped 2-D convolution they stand for, texel by texel.
void ReferenceBlur(Image& out, const Image& in, float radius, bool coveredOnly) {
    const int half = int(std::ceil(radius - 0.5f));
    const int size = 2 * half + 1;
    std::vector<float> kernel(size_t(size) * size);
    MakeGaussianKernel(kernel.data(), size, radius);
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            const float* centre = in.Pixel(x, y);
            if (coveredOnly && !(centre[3] > 0.0f)) {
                std::memcpy(out.Pixel(x, y), centre, 16);
                continue;
            }
            float sum[4] = {0, 0, 0, 0}, weight = 0.0f;
            for (int r = std::max(y - half, 0); r <= std::min(y + half, in.height - 1); ++r) {
                for (int c = std::max(x - half, 0); c <= std::min(x + half, in.width - 1); ++c) {
                    const float* n = in.Pixel(c, r);
                    float w = kernel[size_t(c - x + half) * size + size_t(r - y + half)];
                    if (coveredOnly) w = w * n[3];
                    for (int ch = 0; ch < 4; ++ch) sum[ch] += w * n[ch];
                    weight += w;
                }
            }
            for (int ch = 0; ch < 4; ++ch) out.Pixel(x, y)[ch] = weight > 0.0f ? sum[ch] / weight : sum[ch];
        }
    }
}

Image RandomImage(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-0.5f, 1.5f);
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned kind = random() % 8;
            // Mostly covered, some empty and a few with a negative alpha.
            const float alpha = kind < 5 ? 0.25f + float(kind) * 0.2f : kind == 5 ? -0.5f : 0.0f;
            Set(image, x, y, value(random), value(random), value(random), alpha);
        }
    }
    return image;
}

RenderState TileState(int tileWidth, int tileHeight, int s, int tileX, int tileY) {
    RenderState state;
    state.tileWidth = tileWidth;
    state.tileHeight = tileHeight;
    state.supersampling = s;
    state.tileX = tileX;
    state.tileY = tileY;
    return state;
}

}  // namespace

TEST(Resolve, CoveredSamplesAveragePerOutputPixel) {
    // Supersampling 1: covered texels are copied with alpha 1, empty ones become zero.
    Image tile(2, 1), output(2, 1);
    Set(tile, 0, 0, 0.2f, 0.4f, 0.6f, 0.3f);
    Set(tile, 1, 0, 0.9f, 0.9f, 0.9f, 0.0f);
    output.Fill(7, 7, 7, 7);
    SoftwareBaker::ResolveCovered(TileState(2, 1, 1, 0, 0), &output, &tile);
    ExpectTexel(output, 0, 0, 0.2f, 0.4f, 0.6f, 1.0f);
    ExpectTexel(output, 1, 0, 0, 0, 0, 0);

    // Supersampling 2 on the second tile of each axis: a 4 x 4 tile gives output pixels 2..3.
    Image samples(4, 4), big(4, 4);
    big.Fill(9, 9, 9, 9);
    Set(samples, 0, 0, 1.0f, 0.0f, 0.0f, 1.0f);
    Set(samples, 1, 1, 0.0f, 1.0f, 0.0f, 1.0f);
    Set(samples, 2, 0, 5.0f, 5.0f, 5.0f, -1.0f);  // not covered: ignored
    SoftwareBaker::ResolveCovered(TileState(4, 4, 2, 1, 1), &big, &samples);
    ExpectTexel(big, 2, 2, 0.5f, 0.5f, 0.0f, 1.0f);
    ExpectTexel(big, 3, 2, 0, 0, 0, 0);
    ExpectTexel(big, 2, 3, 0, 0, 0, 0);
    ExpectTexel(big, 1, 1, 9, 9, 9, 9);  // outside the tile

    // The plain average counts every sample, alpha included.
    SoftwareBaker::ResolveAverage(TileState(4, 4, 2, 0, 0), &big, &samples);
    ExpectTexel(big, 0, 0, 0.25f, 0.25f, 0.0f, 0.5f);
    ExpectTexel(big, 1, 0, 1.25f, 1.25f, 1.25f, -0.25f);
}

TEST(Resolve, TileReachingPastTheOutputWritesOnlyInside) {
    Image tile(4, 4), output(3, 3);
    tile.Fill(0.5f, 0.5f, 0.5f, 1.0f);
    SoftwareBaker::ResolveCovered(TileState(4, 4, 1, 0, 0), &output, &tile);
    ExpectTexel(output, 2, 2, 0.5f, 0.5f, 0.5f, 1.0f);
    SoftwareBaker::ResolveAverage(TileState(4, 4, 1, 1, 1), &output, &tile);  // starts outside
    ExpectTexel(output, 2, 2, 0.5f, 0.5f, 0.5f, 1.0f);
    EXPECT_THROW(SoftwareBaker::ResolveCovered(TileState(8, 8, 1, 0, 0), &output, &tile), BakeException);
    EXPECT_THROW(SoftwareBaker::ResolveCovered(TileState(4, 4, 0, 0, 0), &output, &tile), BakeException);
}

TEST(Blur, ImpulseSpreadsByTheNormalisedKernelAndClipsAtTheBorder) {
    Image in(5, 5), out(5, 5);
    Set(in, 2, 2, 1, 1, 1, 1);
    SoftwareBaker::Blur(&out, &in, 1.0f);
    const double e1 = std::exp(-4.5), e2 = std::exp(-9.0), full = 1 + 4 * e1 + 4 * e2;
    EXPECT_NEAR(out.Pixel(2, 2)[0], 1 / full, 1e-6);
    EXPECT_NEAR(out.Pixel(3, 2)[3], e1 / full, 1e-6);
    EXPECT_NEAR(out.Pixel(1, 1)[1], e2 / full, 1e-7);
    EXPECT_EQ(out.Pixel(0, 0)[0], 0.0f);

    // At the corner only the 2 x 2 window inside the image takes part.
    Image corner(5, 5);
    Set(corner, 1, 1, 1, 1, 1, 1);
    SoftwareBaker::Blur(&out, &corner, 1.0f);
    EXPECT_NEAR(out.Pixel(0, 0)[0], e2 / (1 + 2 * e1 + e2), 1e-7);

    // Radius 0.5 means a 1 x 1 window: every texel keeps its value; 0 or NaN copies.
    Image noise = RandomImage(5, 5, 3);
    SoftwareBaker::Blur(&out, &noise, 0.5f);
    for (size_t i = 0; i < noise.FloatCount(); ++i) ASSERT_FLOAT_EQ(out.data[i], noise.data[i]);
    for (float radius : {0.0f, -2.0f, kNaN}) {
        out.Fill(0, 0, 0, 0);
        SoftwareBaker::BlurCovered(&out, &noise, radius);
        EXPECT_TRUE(SameBits(out, noise)) << radius;
    }
}

TEST(Blur, MatchesThePlainConvolutionBitForBit) {
    // Widths chosen so that rows have clipped texels, both block sizes and a remainder.
    for (int width : {1, 3, 13, 14, 21, 37}) {
        Image in = RandomImage(width, 11, unsigned(width)), out(width, 11), expected(width, 11);
        for (float radius : {0.3f, 0.5f, 1.0f, 2.0f, 3.3f, 7.0f, 40.0f}) {
            for (bool coveredOnly : {false, true}) {
                ReferenceBlur(expected, in, radius, coveredOnly);
                if (coveredOnly)
                    SoftwareBaker::BlurCovered(&out, &in, radius);
                else
                    SoftwareBaker::Blur(&out, &in, radius);
                EXPECT_TRUE(SameBits(out, expected)) << "width " << width << " radius " << radius << " covered "
                                                     << coveredOnly;
            }
        }
    }
}

TEST(Blur, CoveredBlurNeverTouchesOrDrawsFromEmptyTexels) {
    Image in(6, 1), out(6, 1);
    Set(in, 0, 0, 0.25f, 0.5f, 0.75f, 1.0f);
    Set(in, 1, 0, 0.25f, 0.5f, 0.75f, 1.0f);
    Set(in, 2, 0, 100.0f, -3.0f, 1e30f, 0.0f);
    Set(in, 3, 0, 0.0f, 0.0f, 0.0f, 0.0f);
    Set(in, 4, 0, kNaN, 0.0f, 0.0f, 0.0f);
    Set(in, 5, 0, 8.0f, 8.0f, 8.0f, -1.0f);
    SoftwareBaker::BlurCovered(&out, &in, 2.0f);
    ExpectTexel(out, 0, 0, 0.25f, 0.5f, 0.75f, 1.0f);
    ExpectTexel(out, 1, 0, 0.25f, 0.5f, 0.75f, 1.0f);
    for (int x = 2; x < 6; ++x) EXPECT_EQ(std::memcmp(out.Pixel(x, 0), in.Pixel(x, 0), 16), 0) << x;

    // A negative alpha counts with its sign.
    Image pair(2, 1), pairOut(2, 1);
    Set(pair, 0, 0, 1.0f, 1.0f, 1.0f, 1.0f);
    Set(pair, 1, 0, 0.0f, 0.0f, 0.0f, -1.0f);
    SoftwareBaker::BlurCovered(&pairOut, &pair, 1.0f);
    EXPECT_GT(pairOut.Pixel(0, 0)[0], 1.0f);
}

TEST(Dilate, GrowsOneRingWeightedByNeighbourAlpha) {
    Image in(5, 5), out(5, 5);
    Set(in, 2, 2, 0.7f, 0.1f, 0.2f, 1.0f);
    EXPECT_EQ(SoftwareBaker::DilateStep(&out, &in), 4);  // the step counts the texels it fills
    ExpectTexel(out, 2, 1, 0.7f, 0.1f, 0.2f, 1.0f);
    ExpectTexel(out, 1, 2, 0.7f, 0.1f, 0.2f, 1.0f);
    ExpectTexel(out, 1, 1, 0, 0, 0, 0);  // diagonal: not a direct neighbour

    Image mix(3, 1), mixOut(3, 1);
    Set(mix, 0, 0, 0.0f, 0.0f, 0.0f, 1.0f);
    Set(mix, 1, 0, 0.3f, 0.3f, 0.3f, 0.0f);
    Set(mix, 2, 0, 1.0f, 0.5f, 0.0f, 3.0f);
    SoftwareBaker::DilateStep(&mixOut, &mix);
    ExpectTexel(mixOut, 1, 0, 0.75f, 0.375f, 0.0f, 1.0f);
    ExpectTexel(mixOut, 2, 0, 1.0f, 0.5f, 0.0f, 3.0f);

    // A neighbour weight of exactly 0.001 is not enough: the texel is copied.
    Set(mix, 0, 0, 1.0f, 1.0f, 1.0f, 0.0f);
    Set(mix, 2, 0, 1.0f, 1.0f, 1.0f, 0.001f);
    EXPECT_EQ(SoftwareBaker::DilateStep(&mixOut, &mix), 0);
    ExpectTexel(mixOut, 1, 0, 0.3f, 0.3f, 0.3f, 0.0f);
}

TEST(Dilate, IntoStopsAtTheFirstStepThatFillsNothingWithTheSameImage) {
    Image image(32, 32);
    Set(image, 3, 5, 0.2f, 0.4f, 0.6f, 1.0f);
    Image exact(32, 32), pooled(32, 32), cut(32, 32);
    for (Image* copy : {&exact, &pooled, &cut}) copy->CopyFrom(image);
    // The farthest texel, (31, 31), is 28 + 26 steps from the covered one: every later step
    // would fill nothing, so a far larger count runs no more steps and ends in the same image.
    ASSERT_EQ(DilateInto(image, 100000), 54);
    EXPECT_EQ(DilateInto(exact, 54), 54);
    EXPECT_TRUE(SameBits(image, exact));
    ThreadPool pool(4);
    EXPECT_EQ(DilateInto(pooled, INT_MAX, &pool), 54);
    EXPECT_TRUE(SameBits(image, pooled));
    ExpectTexel(image, 31, 31, 0.2f, 0.4f, 0.6f, 1.0f);

    // Fewer steps than that leave the far corner empty.
    EXPECT_EQ(DilateInto(cut, 53), 53);
    EXPECT_EQ(cut.Pixel(31, 31)[3], 0.0f);
    EXPECT_EQ(cut.Pixel(30, 31)[3], 1.0f);
    EXPECT_EQ(DilateInto(cut, 0), 0);
}

TEST(Dilate, MatchesTheTexelByTexelRuleOnSparseImages) {
    auto reference = [](Image& out, const Image& in) {
        for (int y = 0; y < in.height; ++y) {
            for (int x = 0; x < in.width; ++x) {
                const float* t = in.Pixel(x, y);
                float* o = out.Pixel(x, y);
                std::memcpy(o, t, 16);
                if (t[3] > 0.0f) continue;
                float s = 0, r = 0, g = 0, b = 0;
                const int offsets[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
                for (const auto& d : offsets) {
                    const int nx = x + d[0], ny = y + d[1];
                    if (nx < 0 || ny < 0 || nx >= in.width || ny >= in.height) continue;
                    const float* n = in.Pixel(nx, ny);
                    s += n[3];
                    r += n[3] * n[0];
                    g += n[3] * n[1];
                    b += n[3] * n[2];
                }
                if (s > 0.001f) {
                    o[0] = r / s;
                    o[1] = g / s;
                    o[2] = b / s;
                    o[3] = 1.0f;
                }
            }
        }
    };
    std::mt19937 random(11);
    for (int width : {1, 2, 5, 8, 9, 19}) {
        for (int share : {2, 10, 50}) {
            Image in(width, 7), out(width, 7), expected(width, 7);
            for (size_t i = 0; i < in.PixelCount(); ++i) {
                const bool covered = int(random() % 100) < share;
                for (int c = 0; c < 3; ++c) in.data[i * 4 + c] = float(random() % 1000) / 999.0f;
                in.data[i * 4 + 3] = covered ? 0.5f + float(random() % 3) : (random() % 4 == 0 ? -0.5f : 0.0f);
            }
            reference(expected, in);
            SoftwareBaker::DilateStep(&out, &in);
            EXPECT_TRUE(SameBits(out, expected)) << "width " << width << " share " << share;
        }
    }
}

// Each row pass into another image, in place, with its rows in bands on a pool, and both at
// once: the band boundaries and the rows rewritten in place must not change a bit.
TEST(RowBands, InPlaceAndBandedPassesGiveThePlainPassBitForBit) {
    ThreadPool pool(8);
    using Run = std::function<void(Image*, const Image*, ThreadPool*)>;
    const std::vector<std::pair<std::string, Run>> passes = {
        {"blur 0.3", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::Blur(d, s, 0.3f, p); }},
        {"blur 2", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::Blur(d, s, 2.0f, p); }},
        {"covered blur 1", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::BlurCovered(d, s, 1.0f, p); }},
        {"covered blur 4.5", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::BlurCovered(d, s, 4.5f, p); }},
        {"dilate", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::DilateStep(d, s, p); }},
        {"fill marked", [](Image* d, const Image* s, ThreadPool* p) { SoftwareBaker::FillMarkedTexels(d, s, p); }},
        {"extrapolate", [](Image* d, const Image* s, ThreadPool* p) { ExtrapolateNormalBorder(d, s, p); }},
        {"renormalize", [](Image* d, const Image* s, ThreadPool* p) { RenormalizeNormals(d, s, p); }},
    };
    for (int height : {1, 2, 9, 64, 131}) {
        for (int width : {1, 6, 29}) {
            const Image in = RandomImage(width, height, unsigned(height * 100 + width));
            for (const auto& [name, run] : passes) {
                Image expected(width, height), banded(width, height), inPlace(width, height), both(width, height);
                run(&expected, &in, nullptr);
                run(&banded, &in, &pool);
                inPlace.CopyFrom(in);
                run(&inPlace, &inPlace, nullptr);
                both.CopyFrom(in);
                run(&both, &both, &pool);
                const std::string where = name + " on " + std::to_string(width) + " x " + std::to_string(height);
                EXPECT_TRUE(SameBits(banded, expected)) << where << ", banded";
                EXPECT_TRUE(SameBits(inPlace, expected)) << where << ", in place";
                EXPECT_TRUE(SameBits(both, expected)) << where << ", in place and banded";
            }
            Image filled(width, height), pooledFill(width, height);
            filled.CopyFrom(in);
            pooledFill.CopyFrom(in);
            const float colour[3] = {0.5f, 0.5f, 1.0f};
            FillEmptyTexels(&filled, colour);
            FillEmptyTexels(&pooledFill, colour, &pool);
            EXPECT_TRUE(SameBits(filled, pooledFill)) << width << " x " << height;
        }
    }
}

TEST(FillMarked, OnlyFullyCoveredRingsAreAveraged) {
    Image in(5, 4), out(5, 4);
    in.Fill(0.5f, 0.25f, 1.0f, 1.0f);
    Set(in, 2, 1, 0.1f, 0.1f, 0.1f, 0.5f);
    Set(in, 1, 1, 0.9f, 0.9f, 0.9f, -1.0f);  // eight covered neighbours
    Set(in, 3, 0, 0.2f, 0.3f, 0.4f, -1.0f);  // first row: never eight neighbours
    Set(in, 3, 2, 0.8f, 0.1f, 0.1f, -1.0f);  // its neighbour (4, 3) is empty
    Set(in, 4, 3, 0.0f, 0.0f, 0.0f, 0.0f);
    SoftwareBaker::FillMarkedTexels(&out, &in);
    ExpectTexel(out, 1, 1, (7 * 0.5f + 0.1f) * 0.125f, (7 * 0.25f + 0.1f) * 0.125f, (7 * 1.0f + 0.1f) * 0.125f, 0.125f);
    ExpectTexel(out, 3, 0, 0.2f, 0.3f, 0.4f, 1.0f);
    ExpectTexel(out, 3, 2, 0.8f, 0.1f, 0.1f, 1.0f);
    ExpectTexel(out, 2, 1, 0.1f, 0.1f, 0.1f, 0.5f);  // unmarked texels are copied
    ExpectTexel(out, 4, 3, 0, 0, 0, 0);
}

TEST(NormalPasses, RenormalizeEncodesUnitVectorsAndClearsEmptyTexels) {
    Image in(4, 1), out(4, 1);
    Set(in, 0, 0, 0.8f, 0.5f, 0.5f, 0.5f);  // decodes to (0.6, 0, 0)
    Set(in, 1, 0, 0.5f, 0.7f, 0.65f, 1.0f);  // (0, 0.4, 0.3) -> (0, 0.8, 0.6)
    Set(in, 2, 0, 0.9f, 0.9f, 0.9f, 0.0f);
    Set(in, 3, 0, 0.5f, 0.5f, 0.5f, 1.0f);  // zero vector: no direction to scale
    RenormalizeNormals(&out, &in);
    const float* a = out.Pixel(0, 0);
    EXPECT_NEAR(a[0], 1.0f, 1e-6f);
    EXPECT_NEAR(a[1], 0.5f, 1e-6f);
    EXPECT_FLOAT_EQ(a[3], 1.0f);
    const float* b = out.Pixel(1, 0);
    EXPECT_NEAR(b[1], 0.9f, 1e-6f);
    EXPECT_NEAR(b[2], 0.8f, 1e-6f);
    ExpectTexel(out, 2, 0, 0.5f, 0.5f, 0.5f, 0.0f);
    ExpectTexel(out, 3, 0, 0.5f, 0.5f, 0.5f, 1.0f);
}

TEST(NormalPasses, FillEmptyTexelsTouchesOnlyAlphaExactlyZero) {
    Image image(4, 1);
    Set(image, 0, 0, 0.1f, 0.1f, 0.1f, 0.0f);
    Set(image, 1, 0, 0.1f, 0.1f, 0.1f, -0.0f);
    Set(image, 2, 0, 0.1f, 0.1f, 0.1f, -1.0f);
    Set(image, 3, 0, 0.1f, 0.1f, 0.1f, kNaN);
    const float colour[3] = {0.5f, 0.5f, 1.0f};
    FillEmptyTexels(&image, colour);
    ExpectTexel(image, 0, 0, 0.5f, 0.5f, 1.0f, 0.0f);
    ExpectTexel(image, 1, 0, 0.5f, 0.5f, 1.0f, 0.0f);
    ExpectTexel(image, 2, 0, 0.1f, 0.1f, 0.1f, -1.0f);
    EXPECT_FLOAT_EQ(image.Pixel(3, 0)[0], 0.1f);
    EXPECT_TRUE(std::isnan(image.Pixel(3, 0)[3]));
}

TEST(NormalPasses, BorderExtrapolationContinuesTheTurnInTheFirstFullDirection) {
    const float theta = 20.0f * float(M_PI) / 180.0f;
    auto encode = [](float x, float y, float z) { return std::array<float, 3>{(x + 1) / 2, (y + 1) / 2, (z + 1) / 2}; };
    const auto b = encode(0, 0, 1);
    const auto a = encode(std::sin(theta), 0, std::cos(theta));
    const auto flat = encode(1, 0, 0);

    Image in(5, 5), out(5, 5);
    auto put = [&](int x, int y, const std::array<float, 3>& c) { Set(in, x, y, c[0], c[1], c[2], 1.0f); };
    // Down (rows 3, 4) and left (columns 1, 0) both qualify around (2, 2); up has one texel only.
    put(2, 1, flat);
    put(2, 3, a);
    put(2, 4, b);
    put(1, 2, flat);
    put(0, 2, flat);
    ExtrapolateNormalBorder(&out, &in);
    const float* p = out.Pixel(2, 2);
    EXPECT_NEAR(p[0] * 2 - 1, std::sin(2 * theta), 1e-5f);
    EXPECT_NEAR(p[1] * 2 - 1, 0.0f, 1e-5f);
    EXPECT_NEAR(p[2] * 2 - 1, std::cos(2 * theta), 1e-5f);
    EXPECT_FLOAT_EQ(p[3], 1.0f);

    // With up complete it wins: a constant normal continues unchanged.
    put(2, 0, flat);
    ExtrapolateNormalBorder(&out, &in);
    EXPECT_NEAR(out.Pixel(2, 2)[0], 1.0f, 1e-6f);
    EXPECT_NEAR(out.Pixel(2, 2)[2], 0.5f, 1e-6f);
    // (0, 0) has no direction with two covered texels: copied as it was.
    ExpectTexel(out, 4, 4, 0, 0, 0, 0);

    // Perpendicular normals leave no direction to continue: the texel stays empty.
    Image perpendicular(3, 1), result(3, 1);
    Set(perpendicular, 0, 0, 1.0f, 0.5f, 0.5f, 1.0f);
    Set(perpendicular, 1, 0, 0.5f, 0.5f, 1.0f, 1.0f);
    ExtrapolateNormalBorder(&result, &perpendicular);
    ExpectTexel(result, 2, 0, 0, 0, 0, 0);
}

TEST(Range, GetExtendAndNormalize) {
    Image image(3, 1);
    Set(image, 0, 0, -5.0f, 9.0f, 0.0f, 0.0f);  // empty, but it starts the range
    Set(image, 1, 0, 1.0f, 2.0f, 3.0f, 1.0f);
    Set(image, 2, 0, kNaN, 4.0f, 3.0f, 1.0f);
    float low[4], high[4];
    SoftwareBaker::GetRange(&image, low, high);
    EXPECT_FLOAT_EQ(low[0], -5.0f);
    EXPECT_FLOAT_EQ(high[0], 1.0f);
    EXPECT_FLOAT_EQ(low[1], 2.0f);
    EXPECT_FLOAT_EQ(high[1], 9.0f);
    EXPECT_FLOAT_EQ(low[3], 0.0f);
    EXPECT_FLOAT_EQ(high[3], 1.0f);

    float carriedLow[4] = {0.5f, 0.5f, 0.5f, 0.5f}, carriedHigh[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    SoftwareBaker::ExtendRange(&image, carriedLow, carriedHigh);
    EXPECT_FLOAT_EQ(carriedLow[0], 0.5f);  // the NaN widens nothing, the empty texel neither
    EXPECT_FLOAT_EQ(carriedHigh[0], 1.0f);
    EXPECT_FLOAT_EQ(carriedHigh[1], 4.0f);

    // Channel 2 has a zero range and channel 0 an infinite one: both give 0, never NaN.
    const float minimum[4] = {-std::numeric_limits<float>::infinity(), 2.0f, 3.0f, 0.0f};
    const float maximum[4] = {1.0f, 4.0f, 3.0f, 1.0f};
    SoftwareBaker::NormalizeRange(&image, minimum, maximum);
    ExpectTexel(image, 1, 0, 0.0f, 0.0f, 0.0f, 1.0f);
    ExpectTexel(image, 2, 0, 0.0f, 1.0f, 0.0f, 1.0f);
    ExpectTexel(image, 0, 0, -5.0f, 9.0f, 0.0f, 0.0f);

    Image empty(0, 0);
    SoftwareBaker::GetRange(&empty, low, high);
    EXPECT_EQ(low[0], 0.0f);
    EXPECT_EQ(high[3], 0.0f);
}

TEST(Layers, MakeLayerAndSplatChannel) {
    Image image(2, 1), out(2, 1);
    Set(image, 0, 0, 0.6f, 0.2f, 0.3f, 1.0f);
    Set(image, 1, 0, 0.9f, 0.2f, 0.3f, 0.0f);
    SoftwareBaker::SplatChannel(&out, &image, 2);
    ExpectTexel(out, 0, 0, 0.3f, 0.3f, 0.3f, 1.0f);
    ExpectTexel(out, 1, 0, 0.9f, 0.2f, 0.3f, 0.0f);
    EXPECT_THROW(SoftwareBaker::SplatChannel(&out, &image, 4), BakeException);

    const float white[3] = {1.0f, 1.0f, 1.0f};
    SoftwareBaker::MakeLayer(&image, &image, white);  // in place
    ExpectTexel(image, 0, 0, 1.0f, 1.0f, 1.0f, 0.6f);
    ExpectTexel(image, 1, 0, 1.0f, 1.0f, 1.0f, 0.0f);
}

TEST(PostProcess, ImagesOfDifferentSizesAreRefused) {
    Image a(4, 4), b(4, 3);
    EXPECT_THROW(SoftwareBaker::Blur(&a, &b, 1.0f), BakeException);
    EXPECT_THROW(SoftwareBaker::DilateStep(&a, &b), BakeException);
    EXPECT_THROW(ExtrapolateNormalBorder(&a, &b), BakeException);
    EXPECT_THROW(RenormalizeNormals(&a, nullptr), BakeException);
}
