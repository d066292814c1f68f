// Whole-image clean-up passes of the baked maps: super-sample resolves, blurs, dilation,
// normal-map fills and range operations. The row passes run in bands of rows on the pool
// they are given, into another image or in place, with the result of one pass in row order;
// alpha above 0 marks a covered texel throughout.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bake/imagerows.h"
#include "bake/softwarebaker.h"
#include "core/bakeexception.h"
#include "core/cpufeatures.h"
#include "core/simdlanes.h"

namespace Pallix::Bake {

namespace {

using Math::Vec3;
using Simd::Lanes;
using Simd::Lanes4;

// The passes index memory directly; a mismatch would read or write past an image.
void RequireSameSize(const Image* destination, const Image* source, const char* operation) {
    if (!destination || !source || !destination->SameSize(*source) || destination->channels != 4 ||
        (destination->PixelCount() > 0 && (!destination->data || !source->data)))
        throw BakeException(std::string(operation) + ": images of different sizes or without pixels");
}

void RequireImage(const Image* image, const char* operation) {
    if (!image || image->channels != 4 || (image->PixelCount() > 0 && !image->data))
        throw BakeException(std::string(operation) + ": image without pixels");
}

inline bool Covered(const float* texel) { return texel[3] > 0.0f; }

inline void CopyTexel(float* destination, const float* source) { std::memcpy(destination, source, 4 * sizeof(float)); }

inline float* Row(Image* image, int y) { return image->data + size_t(y) * size_t(image->width) * 4; }
inline const float* Row(const Image* image, int y) { return image->data + size_t(y) * size_t(image->width) * 4; }

inline Vec3 Decode(const float* texel) { return {texel[0] * 2.0f - 1.0f, texel[1] * 2.0f - 1.0f, texel[2] * 2.0f - 1.0f}; }

// Writes (v + 1) / 2 scaled to unit length with alpha 1. A vector whose squared length is
// zero, denormal or infinite has no direction to keep: the reciprocal square root would turn
// it into NaN, so the caller decides what to write instead (returns false).
inline bool EncodeUnit(float* out, Vec3 v) {
    const float lengthSquared = Math::Dot(v, v);
    if (!(lengthSquared >= FLT_MIN && lengthSquared <= FLT_MAX)) return false;
    const Vec3 n = v * Math::RsqrtNewton(lengthSquared);
    out[0] = (n.x + 1.0f) * 0.5f;
    out[1] = (n.y + 1.0f) * 0.5f;
    out[2] = (n.z + 1.0f) * 0.5f;
    out[3] = 1.0f;
    return true;
}

struct Quaternion {
    float w;
    Vec3 v;
};

inline Quaternion Multiply(const Quaternion& a, const Quaternion& b) {
    return {a.w * b.w - Math::Dot(a.v, b.v), b.v * a.w + a.v * b.w + Math::Cross(a.v, b.v)};
}

// The blurs' kernel, sized to what the clipped window can reach, and the half width it
// stands for. Weights depend only on the offset from the centre, so a kernel cut down to the
// image's extent holds exactly the weights the full one would use.
struct BlurKernel {
    std::vector<float> weights;
    int half = 0;
    int size = 1;

    // False when the radius asks for no blur at all (zero, negative, NaN or infinite) or
    // for one whose single weight does not fit a float (the window is then the texel alone).
    bool Build(float radius, int width, int height) {
        if (!(radius > 0.0f) || !std::isfinite(radius)) return false;
        const float wanted = std::ceil(radius - 0.5f);
        const int reach = std::max(std::max(width, height) - 1, 0);
        half = wanted >= float(reach) ? reach : std::max(int(wanted), 0);
        size = 2 * half + 1;
        weights.resize(size_t(size) * size_t(size));
        MakeGaussianKernel(weights.data(), size, radius);
        return std::isfinite(weights[size_t(half) * size_t(size) + size_t(half)]);
    }

    const float* RowFor(int offsetY) const { return weights.data() + size_t(offsetY + half) * size_t(size); }
};

// Sums one texel's window, one register per texel: the per-channel products and sums are
// exactly the scalar ones, in the same order (rows, then columns).
template <bool weighByAlpha>
inline void ConvolveTexel(const RowWindow& in, int width, int height, const BlurKernel& kernel, int x, int y,
                          Lanes4& sum, Lanes4& weight) {
    const int half = kernel.half;
    const int r0 = std::max(y - half, 0), r1 = std::min(y + half, height - 1);
    const int c0 = std::max(x - half, 0), c1 = std::min(x + half, width - 1);
    sum = Lanes4::Zero();
    weight = Lanes4::Zero();
    for (int r = r0; r <= r1; ++r) {
        const float* k = kernel.RowFor(r - y);
        const float* s = in.Row(r - y);
        for (int c = c0; c <= c1; ++c) {
            const Lanes4 p = Lanes4::LoadUnaligned(s + size_t(c) * 4);
            Lanes4 w = Lanes4::Broadcast(k[c - x + half]);
            if constexpr (weighByAlpha) w = w * RepeatFourth(p);
            sum = sum + w * p;
            weight = weight + w;
        }
    }
}

inline bool AnyCovered(const float* texels, int count) {
    for (int i = 0; i < count; ++i)
        if (Covered(texels + 4 * i)) return true;
    return false;
}

// Normalised result; a weight sum that is not positive leaves the sums undivided (dividing
// by zero would give NaN).
inline void StoreWeighted(float* out, Lanes4 sum, Lanes4 weight) {
    if (First(weight) > 0.0f) sum = sum / weight;
    sum.StoreUnaligned(out);
}

// Texels x .. lastFull of row y have windows that are not clipped left or right. This
// convolves them in blocks of N neighbouring texels, four registers of N / 4 texels each, and
// returns where it stopped. Each texel keeps its own sums in the order of ConvolveTexel; the
// blocks only interleave independent texels so that the adders stay busy, and one weight per
// window position serves the whole block (no fused multiply-add, so every product and sum is
// rounded as in the one-texel loop).
template <int N, bool weighByAlpha>
PALLIX_LANES_INLINE int ConvolveBlocks(float* destination, const RowWindow& in, int height, const BlurKernel& kernel,
                                       int y, int x, int lastFull) {
    using L = Lanes<N>;
    const int half = kernel.half, size = kernel.size;
    const int r0 = std::max(y - half, 0), r1 = std::min(y + half, height - 1);
    const float* row = in.Row(0);
    const L zero = L::Zero();
    for (; x + N - 1 <= lastFull; x += N) {
        const float* texels = row + size_t(x) * 4;
        float* out = destination + size_t(x) * 4;
        if (weighByAlpha && !AnyCovered(texels, N)) continue;  // out holds them already
        L sum[4], weight[4];
        for (int i = 0; i < 4; ++i) sum[i] = weight[i] = zero;
        for (int r = r0; r <= r1; ++r) {
            const float* k = kernel.RowFor(r - y);
            const float* s = in.Row(r - y) + size_t(x - half) * 4;
            for (int d = 0; d < size; ++d, s += 4) {
                const L w = L::Broadcast(k[d]);
                for (int i = 0; i < 4; ++i) {
                    const L p = L::LoadUnaligned(s + N * i);
                    if constexpr (weighByAlpha) {
                        const L wi = w * RepeatFourth(p);
                        sum[i] = sum[i] + wi * p;
                        weight[i] = weight[i] + wi;
                    } else {
                        sum[i] = sum[i] + w * p;
                    }
                }
                if constexpr (!weighByAlpha) weight[0] = weight[0] + w;
            }
        }
        for (int i = 0; i < 4; ++i) {
            const L total = weight[weighByAlpha ? i : 0];
            L result = Select(total > zero, sum[i] / total, sum[i]);
            if constexpr (weighByAlpha) {
                const L original = L::LoadUnaligned(texels + N * i);
                result = Select(RepeatFourth(original) > zero, result, original);
            }
            result.StoreUnaligned(out + N * i);
        }
    }
    return x;
}

template <bool weighByAlpha>
PALLIX_AVX int ConvolveBlocksAvx(float* destination, const RowWindow& in, int height, const BlurKernel& kernel, int y,
                                 int x, int lastFull) {
    return ConvolveBlocks<8, weighByAlpha>(destination, in, height, kernel, y, x, lastFull);
}

bool CpuHasAvx() {
    static const bool avx = CpuFeatures().Has(CpuFeatures::AVX);
    return avx;
}

// A window of the texel alone (radius up to 0.5, the usual map setting): the same
// arithmetic as the general case, one texel after the other.
template <bool coveredOnly>
void ConvolveSingleTexelRow(float* out, const float* row, int width, float centreWeight) {
    const Lanes4 w = Lanes4::Broadcast(centreWeight), zero = Lanes4::Zero();
    for (int x = 0; x < width; ++x) {
        const Lanes4 p = Lanes4::LoadUnaligned(row + size_t(x) * 4);
        Lanes4 weight = w;
        if constexpr (coveredOnly) weight = w * RepeatFourth(p);
        const Lanes4 sum = zero + weight * p;
        weight = zero + weight;
        Lanes4 result = Select(weight > zero, sum / weight, sum);
        if constexpr (coveredOnly) result = Select(RepeatFourth(p) > zero, result, p);
        result.StoreUnaligned(out + size_t(x) * 4);
    }
}

// One row of a blur into out, which holds the row as it was; a covered-only blur leaves the
// empty texels as they are.
template <bool coveredOnly>
int64_t ConvolveRow(float* out, const RowWindow& in, int y, int width, int height, const BlurKernel& kernel, bool avx) {
    const float* s = in.Row(0);
    if (coveredOnly && !AnyCovered(s, width)) return 0;
    if (kernel.half == 0) {
        ConvolveSingleTexelRow<coveredOnly>(out, s, width, kernel.weights[0]);
        return width;
    }
    const int half = kernel.half;
    const int firstFull = std::min(half, width), lastFull = width - 1 - half;
    auto single = [&](int column) {
        if (coveredOnly && !Covered(s + size_t(column) * 4)) return;
        Lanes4 sum, weight;
        ConvolveTexel<coveredOnly>(in, width, height, kernel, column, y, sum, weight);
        StoreWeighted(out + size_t(column) * 4, sum, weight);
    };
    int x = 0;
    for (; x < firstFull; ++x) single(x);
    if (avx) x = ConvolveBlocksAvx<coveredOnly>(out, in, height, kernel, y, x, lastFull);
    x = ConvolveBlocks<4, coveredOnly>(out, in, height, kernel, y, x, lastFull);
    for (; x < width; ++x) single(x);
    return width;
}

template <bool coveredOnly>
void Convolve(Image* destination, const Image* source, const BlurKernel& kernel, ThreadPool* pool) {
    const int width = source->width, height = source->height;
    const bool avx = CpuHasAvx();
    RunImageRows(*destination, *source, kernel.half, pool, [&](int y, const RowWindow& in, float* out) {
        return ConvolveRow<coveredOnly>(out, in, y, width, height, kernel, avx);
    });
}

inline int CoveredMask(Lanes4 alpha) { return MoveMask(alpha > Lanes4::Zero()); }

// Lets visit(x, texel) rewrite texel x of out (which holds the row as it was) for every texel
// of row that is not covered; visit returns whether it changed the texel, which it reads
// from the window only. wanted(x, alpha) may rule out a whole group of four that is not fully
// covered (alpha holds the group's alphas). Returns how many texels changed.
template <typename Wanted, typename Visit>
inline int64_t VisitEmptyTexels(float* out, const float* row, int width, Wanted&& wanted, Visit&& visit) {
    int64_t changed = 0;
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const Lanes4 alpha = Simd::FourthOfEach(row + size_t(x) * 4);
        const int covered = CoveredMask(alpha);
        if (covered == 0xF || !wanted(x, alpha)) continue;
        for (int i = 0; i < 4; ++i)
            if (!(covered & (1 << i))) changed += visit(x + i, out + size_t(x + i) * 4) ? 1 : 0;
    }
    for (; x < width; ++x)
        if (!Covered(row + size_t(x) * 4)) changed += visit(x, out + size_t(x) * 4) ? 1 : 0;
    return changed;
}

// True when a texel of the group x .. x + 3 of the window's row, or a direct neighbour of one,
// is covered: only then can an empty texel of the group have a covered neighbour.
inline bool GroupTouchesCovered(const RowWindow& in, int width, int x, Lanes4 alpha) {
    if (CoveredMask(alpha)) return true;
    const float* up = in.Row(-1);
    const float* down = in.Row(1);
    if (up && CoveredMask(Simd::FourthOfEach(up + size_t(x) * 4))) return true;
    if (down && CoveredMask(Simd::FourthOfEach(down + size_t(x) * 4))) return true;
    if (x > 0 && Covered(in.Row(0) + size_t(x - 1) * 4)) return true;
    return x + 4 < width && Covered(in.Row(0) + size_t(x + 4) * 4);
}

// Output pixels of the current tile: the first pixel and how many fit into the output.
struct TileResolve {
    int s = 1;
    int firstX = 0, firstY = 0;
    int countX = 0, countY = 0;
};

TileResolve PrepareResolve(const RenderState& state, const Image* output, const Image* tile, const char* operation) {
    RequireImage(output, operation);
    RequireImage(tile, operation);
    if (state.supersampling < 1 || state.tileWidth < 0 || state.tileHeight < 0 || tile->width < state.tileWidth ||
        tile->height < state.tileHeight)
        throw BakeException(std::string(operation) + ": tile image does not match the render state");
    TileResolve r;
    r.s = state.supersampling;
    const int64_t pixelsX = state.tileWidth / r.s, pixelsY = state.tileHeight / r.s;
    const int64_t firstX = int64_t(state.tileX) * state.tileWidth / r.s;
    const int64_t firstY = int64_t(state.tileY) * state.tileHeight / r.s;
    // A tile reaching past the output (or starting before it) resolves only the part inside.
    if (firstX < 0 || firstY < 0 || firstX >= output->width || firstY >= output->height) return r;
    r.firstX = int(firstX);
    r.firstY = int(firstY);
    r.countX = int(std::min<int64_t>(pixelsX, output->width - firstX));
    r.countY = int(std::min<int64_t>(pixelsY, output->height - firstY));
    return r;
}

}  // namespace

void SoftwareBaker::ResolveCovered(const RenderState& state, Image* output, const Image* tile) {
    const TileResolve r = PrepareResolve(state, output, tile, "ResolveCovered");
    const int s = r.s;
    for (int i = 0; i < r.countY; ++i) {
        float* out = Row(output, r.firstY + i) + size_t(r.firstX) * 4;
        for (int j = 0; j < r.countX; ++j, out += 4) {
            float red = 0.0f, green = 0.0f, blue = 0.0f, count = 0.0f;
            for (int l = 0; l < s; ++l) {
                const float* sample = Row(tile, i * s + l) + size_t(j) * s * 4;
                for (int k = 0; k < s; ++k, sample += 4) {
                    if (!Covered(sample)) continue;
                    red += sample[0];
                    green += sample[1];
                    blue += sample[2];
                    count += 1.0f;
                }
            }
            if (count > 0.0f) {
                out[0] = red / count;
                out[1] = green / count;
                out[2] = blue / count;
                out[3] = 1.0f;
            } else {
                out[0] = out[1] = out[2] = out[3] = 0.0f;
            }
        }
    }
}

void SoftwareBaker::ResolveAverage(const RenderState& state, Image* output, const Image* tile) {
    const TileResolve r = PrepareResolve(state, output, tile, "ResolveAverage");
    const int s = r.s;
    const Lanes4 scale = Lanes4::Broadcast(1.0f / float(s * s));
    for (int i = 0; i < r.countY; ++i) {
        float* out = Row(output, r.firstY + i) + size_t(r.firstX) * 4;
        for (int j = 0; j < r.countX; ++j, out += 4) {
            Lanes4 sum = Lanes4::Zero();
            for (int l = 0; l < s; ++l) {
                const float* sample = Row(tile, i * s + l) + size_t(j) * s * 4;
                for (int k = 0; k < s; ++k, sample += 4) sum = sum + Lanes4::LoadUnaligned(sample);
            }
            (sum * scale).StoreUnaligned(out);
        }
    }
}

void MakeGaussianKernel(float* kernel, int size, float radius) {
    const float sigma = radius / 3.0f;
    const float scale = 1.0f / (sigma * sigma * 6.2831855f);
    const float twoSigmaSquared = 2.0f * sigma * sigma;
    const int centre = size / 2;
    for (int i = 0; i < size; ++i) {
        for (int j = 0; j < size; ++j) {
            const int64_t dy = i - centre, dx = j - centre;
            kernel[size_t(j) * size_t(size) + size_t(i)] = scale * std::exp(-float(dx * dx + dy * dy) / twoSigmaSquared);
        }
    }
}

void SoftwareBaker::Blur(Image* destination, const Image* source, float radius, ThreadPool* pool) {
    RequireSameSize(destination, source, "Blur");
    BlurKernel kernel;
    if (!kernel.Build(radius, source->width, source->height)) {
        if (destination->data != source->data) destination->CopyFrom(*source);
        return;
    }
    Convolve<false>(destination, source, kernel, pool);
}

void SoftwareBaker::BlurCovered(Image* destination, const Image* source, float radius, ThreadPool* pool) {
    RequireSameSize(destination, source, "BlurCovered");
    BlurKernel kernel;
    if (!kernel.Build(radius, source->width, source->height)) {
        if (destination->data != source->data) destination->CopyFrom(*source);
        return;
    }
    Convolve<true>(destination, source, kernel, pool);
}

int64_t SoftwareBaker::DilateStep(Image* destination, const Image* source, ThreadPool* pool) {
    RequireSameSize(destination, source, "DilateStep");
    const int width = source->width;
    return RunImageRows(*destination, *source, 1, pool, [width](int, const RowWindow& in, float* out) {
        const float* s = in.Row(0);
        const float* up = in.Row(-1);
        const float* down = in.Row(1);
        auto touches = [&](int x, Lanes4 alpha) { return GroupTouchesCovered(in, width, x, alpha); };
        return VisitEmptyTexels(out, s, width, touches, [&](int x, float* texel) {
            const size_t at = size_t(x) * 4;
            const float* neighbours[4];
            int count = 0;
            if (up) neighbours[count++] = up + at;
            if (down) neighbours[count++] = down + at;
            if (x > 0) neighbours[count++] = s + at - 4;
            if (x < width - 1) neighbours[count++] = s + at + 4;
            // The weight can pass 0.001 only with a covered neighbour; deep in the empty
            // area there is none and the copy stands.
            bool anyCovered = false;
            for (int n = 0; n < count; ++n) anyCovered |= Covered(neighbours[n]);
            if (!anyCovered) return false;
            float weight = 0.0f, red = 0.0f, green = 0.0f, blue = 0.0f;
            for (int n = 0; n < count; ++n) {
                const float a = neighbours[n][3];
                weight += a;
                red += a * neighbours[n][0];
                green += a * neighbours[n][1];
                blue += a * neighbours[n][2];
            }
            if (!(weight > 0.001f)) return false;
            texel[0] = red / weight;
            texel[1] = green / weight;
            texel[2] = blue / weight;
            texel[3] = 1.0f;
            return true;
        });
    });
}

void SoftwareBaker::FillMarkedTexels(Image* destination, const Image* source, ThreadPool* pool) {
    RequireSameSize(destination, source, "FillMarkedTexels");
    const int width = source->width;
    RunImageRows(*destination, *source, 1, pool, [width](int, const RowWindow& in, float* out) {
        const float* s = in.Row(0);
        const float* up = in.Row(-1);
        const float* down = in.Row(1);
        auto marked = [](int, Lanes4 alpha) { return MoveMask(alpha < Lanes4::Zero()) != 0; };
        return VisitEmptyTexels(out, s, width, marked, [&](int x, float* texel) {
            if (!(texel[3] < 0.0f)) return false;
            // Only an interior texel can have all eight neighbours inside the image.
            if (up && down && x > 0 && x < width - 1) {
                const size_t at = size_t(x) * 4;
                const float* ring[8] = {up + at - 4, up + at, up + at + 4, s + at - 4,
                                        s + at + 4,  down + at - 4, down + at, down + at + 4};
                bool all = true;
                for (const float* n : ring) all = all && Covered(n);
                if (all) {
                    float red = 0.0f, green = 0.0f, blue = 0.0f;
                    for (const float* n : ring) {
                        red += n[0];
                        green += n[1];
                        blue += n[2];
                    }
                    texel[0] = red * 0.125f;
                    texel[1] = green * 0.125f;
                    texel[2] = blue * 0.125f;
                    texel[3] = 0.125f;
                    return true;
                }
            }
            texel[3] = 1.0f;
            return true;
        });
    });
}

void RenormalizeNormals(Image* destination, const Image* source, ThreadPool* pool) {
    RequireSameSize(destination, source, "RenormalizeNormals");
    const int width = source->width;
    RunImageRows(*destination, *source, 0, pool, [width](int, const RowWindow& in, float* out) {
        const float* row = in.Row(0);
        for (int x = 0; x < width; ++x) {
            const float* texel = row + size_t(x) * 4;
            float* o = out + size_t(x) * 4;
            if (!Covered(texel)) {
                o[0] = o[1] = o[2] = 0.5f;
                o[3] = 0.0f;
            } else if (!EncodeUnit(o, Decode(texel))) {
                CopyTexel(o, texel);
                o[3] = 1.0f;
            }
        }
        return int64_t(width);
    });
}

void FillEmptyTexels(Image* image, const float* colour, ThreadPool* pool) {
    RequireImage(image, "FillEmptyTexels");
    const int width = image->width;
    RunImageRows(*image, *image, 0, pool, [width, colour](int, const RowWindow& in, float* out) {
        const float* row = in.Row(0);
        int64_t changed = 0;
        for (int x = 0; x < width; ++x) {
            const float* texel = row + size_t(x) * 4;
            if (texel[3] != 0.0f) continue;
            ++changed;
            float* o = out + size_t(x) * 4;
            o[0] = colour[0];
            o[1] = colour[1];
            o[2] = colour[2];
            o[3] = 0.0f;
        }
        return changed;
    });
}

void ExtrapolateNormalBorder(Image* destination, const Image* source, ThreadPool* pool) {
    RequireSameSize(destination, source, "ExtrapolateNormalBorder");
    const int width = source->width;
    RunImageRows(*destination, *source, 2, pool, [width](int, const RowWindow& in, float* out) {
        const float* s = in.Row(0);
        const float* up = in.Row(-1);
        const float* up2 = in.Row(-2);
        const float* down = in.Row(1);
        const float* down2 = in.Row(2);
        // Every direction needs its nearer texel, a direct neighbour, covered.
        auto touches = [&](int x, Lanes4 alpha) { return GroupTouchesCovered(in, width, x, alpha); };
        return VisitEmptyTexels(out, s, width, touches, [&](int x, float* texel) {
            const size_t at = size_t(x) * 4;
            // The nearer and the farther texel, in the order up, down, left, right.
            const float* nearer = nullptr;
            const float* farther = nullptr;
            if (up2 && Covered(up + at) && Covered(up2 + at)) {
                nearer = up + at;
                farther = up2 + at;
            } else if (down2 && Covered(down + at) && Covered(down2 + at)) {
                nearer = down + at;
                farther = down2 + at;
            } else if (x >= 2 && Covered(s + at - 4) && Covered(s + at - 8)) {
                nearer = s + at - 4;
                farther = s + at - 8;
            } else if (x < width - 2 && Covered(s + at + 4) && Covered(s + at + 8)) {
                nearer = s + at + 4;
                farther = s + at + 8;
            }
            if (!nearer) return false;
            const Vec3 a = Decode(nearer);
            const Vec3 b = Decode(farther);
            const Quaternion q{Math::Dot(b, a), Math::Cross(b, a)};
            const Quaternion conjugate{q.w, -q.v};
            const Vec3 r = Multiply(Multiply(q, Quaternion{0.0f, a}), conjugate).v;
            // r = -a leaves no direction; the texel then stays as it was.
            return EncodeUnit(texel, r + a);
        });
    });
}

void SoftwareBaker::GetRange(const Image* image, float* minimum, float* maximum) {
    RequireImage(image, "GetRange");
    if (image->PixelCount() == 0) {
        // No first texel to start from: an empty range rather than a read past the image.
        for (int c = 0; c < 4; ++c) minimum[c] = maximum[c] = 0.0f;
        return;
    }
    for (int c = 0; c < 4; ++c) minimum[c] = maximum[c] = image->data[c];
    ExtendRange(image, minimum, maximum);
}

void SoftwareBaker::ExtendRange(const Image* image, float* minimum, float* maximum) {
    RequireImage(image, "ExtendRange");
    // minps/maxps return their second operand unless the first is smaller/larger, which is
    // exactly "a NaN never widens the range".
    Lanes4 low = Lanes4::LoadUnaligned(minimum), high = Lanes4::LoadUnaligned(maximum);
    const Lanes4 zero = Lanes4::Zero();
    const size_t count = image->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        const Lanes4 p = Lanes4::LoadUnaligned(image->data + i * 4);
        const Lanes4 covered = RepeatFourth(p) > zero;
        low = Select(covered, Min(p, low), low);
        high = Select(covered, Max(p, high), high);
    }
    low.StoreUnaligned(minimum);
    high.StoreUnaligned(maximum);
}

void SoftwareBaker::NormalizeRange(Image* image, const float* minimum, const float* maximum) {
    RequireImage(image, "NormalizeRange");
    // A channel whose range is zero, not finite, or too small for its reciprocal to be finite
    // maps to 0 instead of NaN or infinity.
    alignas(16) float scale[4], keep[4];
    for (int c = 0; c < 4; ++c) {
        const float range = maximum[c] - minimum[c];
        const float reciprocal = 1.0f / range;
        const bool usable = std::isfinite(range) && range != 0.0f && std::isfinite(reciprocal);
        scale[c] = usable ? reciprocal : 0.0f;
        uint32_t bits = usable ? 0xFFFFFFFFu : 0u;
        std::memcpy(&keep[c], &bits, sizeof(bits));
    }
    const Lanes4 low = Lanes4::LoadUnaligned(minimum), factor = Lanes4::Load(scale), mask = Lanes4::Load(keep);
    const size_t count = image->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        float* texel = image->data + i * 4;
        if (!Covered(texel)) continue;
        const Lanes4 v = (Lanes4::LoadUnaligned(texel) - low) * factor;
        (v & mask).StoreUnaligned(texel);
    }
}

void SoftwareBaker::MakeLayer(Image* destination, const Image* source, const float* colour) {
    RequireSameSize(destination, source, "MakeLayer");
    // Works in place as well: each texel is read before it is written.
    const size_t count = source->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        const float* texel = source->data + i * 4;
        const float alpha = Covered(texel) ? texel[0] : 0.0f;
        float* out = destination->data + i * 4;
        out[0] = colour[0];
        out[1] = colour[1];
        out[2] = colour[2];
        out[3] = alpha;
    }
}

void SoftwareBaker::SplatChannel(Image* destination, const Image* source, int channel) {
    RequireSameSize(destination, source, "SplatChannel");
    if (channel < 0 || channel > 3) throw BakeException("SplatChannel: channel " + std::to_string(channel) + " out of range");
    const size_t count = source->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        const float* texel = source->data + i * 4;
        float* out = destination->data + i * 4;
        if (!Covered(texel)) {
            CopyTexel(out, texel);
            continue;
        }
        const float v = texel[channel], alpha = texel[3];
        out[0] = out[1] = out[2] = v;
        out[3] = alpha;
    }
}

}  // namespace Pallix::Bake
