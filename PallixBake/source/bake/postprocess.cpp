// Whole-image clean-up passes of the baked maps: super-sample resolves, blurs, dilation,
// normal-map fills and range operations. Every pass runs once over the image in row order;
// alpha above 0 marks a covered texel throughout.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

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
inline void ConvolveTexel(const Image* source, const BlurKernel& kernel, int x, int y, Lanes4& sum, Lanes4& weight) {
    const int half = kernel.half;
    const int r0 = std::max(y - half, 0), r1 = std::min(y + half, source->height - 1);
    const int c0 = std::max(x - half, 0), c1 = std::min(x + half, source->width - 1);
    sum = Lanes4::Zero();
    weight = Lanes4::Zero();
    for (int r = r0; r <= r1; ++r) {
        const float* k = kernel.RowFor(r - y);
        const float* s = Row(source, r);
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
PALLIX_LANES_INLINE int ConvolveBlocks(float* destination, const Image* source, const BlurKernel& kernel, int y, int x,
                                       int lastFull) {
    using L = Lanes<N>;
    const int half = kernel.half, size = kernel.size;
    const int r0 = std::max(y - half, 0), r1 = std::min(y + half, source->height - 1);
    const float* row = Row(source, y);
    const L zero = L::Zero();
    for (; x + N - 1 <= lastFull; x += N) {
        const float* texels = row + size_t(x) * 4;
        float* out = destination + size_t(x) * 4;
        if (weighByAlpha && !AnyCovered(texels, N)) {
            std::memcpy(out, texels, 4 * N * sizeof(float));
            continue;
        }
        L sum[4], weight[4];
        for (int i = 0; i < 4; ++i) sum[i] = weight[i] = zero;
        for (int r = r0; r <= r1; ++r) {
            const float* k = kernel.RowFor(r - y);
            const float* s = Row(source, r) + size_t(x - half) * 4;
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
PALLIX_AVX int ConvolveBlocksAvx(float* destination, const Image* source, const BlurKernel& kernel, int y, int x,
                                 int lastFull) {
    return ConvolveBlocks<8, weighByAlpha>(destination, source, kernel, y, x, lastFull);
}

bool CpuHasAvx() {
    static const bool avx = CpuFeatures().Has(CpuFeatures::AVX);
    return avx;
}

// A window of the texel alone (radius up to 0.5, the usual map setting): the same
// arithmetic as the general case, one texel after the other, in a single stream.
template <bool coveredOnly>
void ConvolveSingleTexelWindow(Image* destination, const Image* source, float centreWeight) {
    const Lanes4 w = Lanes4::Broadcast(centreWeight), zero = Lanes4::Zero();
    const size_t count = source->PixelCount();
    const bool aligned = (reinterpret_cast<uintptr_t>(destination->data) & 15) == 0;
    for (size_t i = 0; i < count; ++i) {
        const Lanes4 p = Lanes4::LoadUnaligned(source->data + i * 4);
        Lanes4 weight = w;
        if constexpr (coveredOnly) weight = w * RepeatFourth(p);
        const Lanes4 sum = zero + weight * p;
        weight = zero + weight;
        Lanes4 result = Select(weight > zero, sum / weight, sum);
        if constexpr (coveredOnly) result = Select(RepeatFourth(p) > zero, result, p);
        // Each texel is written once and not read again here: keep it out of the cache.
        if (aligned)
            result.Stream(destination->data + i * 4);
        else
            result.StoreUnaligned(destination->data + i * 4);
    }
    Simd::StoreFence();
}

template <bool coveredOnly>
void Convolve(Image* destination, const Image* source, const BlurKernel& kernel) {
    if (kernel.half == 0) {
        ConvolveSingleTexelWindow<coveredOnly>(destination, source, kernel.weights[0]);
        return;
    }
    const int width = source->width, height = source->height, half = kernel.half;
    const int firstFull = std::min(half, width), lastFull = width - 1 - half;
    const bool avx = CpuHasAvx();
    for (int y = 0; y < height; ++y) {
        const float* s = Row(source, y);
        float* d = Row(destination, y);
        auto single = [&](int column) {
            const float* texel = s + size_t(column) * 4;
            if (coveredOnly && !Covered(texel)) {
                CopyTexel(d + size_t(column) * 4, texel);
                return;
            }
            Lanes4 sum, weight;
            ConvolveTexel<coveredOnly>(source, kernel, column, y, sum, weight);
            StoreWeighted(d + size_t(column) * 4, sum, weight);
        };
        int x = 0;
        for (; x < firstFull; ++x) single(x);
        if (avx) x = ConvolveBlocksAvx<coveredOnly>(d, source, kernel, y, x, lastFull);
        x = ConvolveBlocks<4, coveredOnly>(d, source, kernel, y, x, lastFull);
        for (; x < width; ++x) single(x);
    }
}

inline int CoveredMask(Lanes4 alpha) { return MoveMask(alpha > Lanes4::Zero()); }

// Copies row y and lets visit(x, out) rewrite out, the copy of every texel x that is not
// covered. wanted(x, alpha) may rule out a whole group of four that is not fully covered
// (alpha holds the group's alphas). The copy streams past the cache: the passes that change
// only a few empty texels then run at close to the speed of a plain copy.
template <typename Wanted, typename Visit>
inline void CopyRowVisitEmpty(Image* destination, const Image* source, int y, Wanted&& wanted, Visit&& visit) {
    const int width = source->width;
    const float* s = Row(source, y);
    float* d = Row(destination, y);
    const bool aligned = (reinterpret_cast<uintptr_t>(d) & 15) == 0;
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const float* in = s + size_t(x) * 4;
        float* out = d + size_t(x) * 4;
        const Lanes4 alpha = Simd::FourthOfEach(in);
        const int covered = CoveredMask(alpha);
        const float* copy = in;
        alignas(16) float group[16];
        if (covered != 0xF && wanted(x, alpha)) {
            std::memcpy(group, in, sizeof(group));
            for (int i = 0; i < 4; ++i)
                if (!(covered & (1 << i))) visit(x + i, group + 4 * i);
            copy = group;
        }
        if (aligned) {
            for (int i = 0; i < 4; ++i) Lanes4::LoadUnaligned(copy + 4 * i).Stream(out + 4 * i);
        } else {
            std::memcpy(out, copy, sizeof(group));
        }
    }
    for (; x < width; ++x) {
        float* out = d + size_t(x) * 4;
        CopyTexel(out, s + size_t(x) * 4);
        if (!Covered(out)) visit(x, out);
    }
    // Streamed stores are weakly ordered; later reads of the image must see them.
    Simd::StoreFence();
}

// True when a texel of the group x .. x + 3 of row y, or a direct neighbour of one, is
// covered: only then can an empty texel of the group have a covered neighbour.
inline bool GroupTouchesCovered(const Image* source, int x, int y, Lanes4 alpha) {
    if (CoveredMask(alpha)) return true;
    if (y > 0 && CoveredMask(Simd::FourthOfEach(Row(source, y - 1) + size_t(x) * 4))) return true;
    if (y < source->height - 1 && CoveredMask(Simd::FourthOfEach(Row(source, y + 1) + size_t(x) * 4))) return true;
    if (x > 0 && Covered(Row(source, y) + size_t(x - 1) * 4)) return true;
    return x + 4 < source->width && Covered(Row(source, y) + size_t(x + 4) * 4);
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

void SoftwareBaker::Blur(Image* destination, const Image* source, float radius) {
    RequireSameSize(destination, source, "Blur");
    BlurKernel kernel;
    if (!kernel.Build(radius, source->width, source->height)) {
        destination->CopyFrom(*source);
        return;
    }
    Convolve<false>(destination, source, kernel);
}

void SoftwareBaker::BlurCovered(Image* destination, const Image* source, float radius) {
    RequireSameSize(destination, source, "BlurCovered");
    BlurKernel kernel;
    if (!kernel.Build(radius, source->width, source->height)) {
        destination->CopyFrom(*source);
        return;
    }
    Convolve<true>(destination, source, kernel);
}

void SoftwareBaker::DilateStep(Image* destination, const Image* source) {
    RequireSameSize(destination, source, "DilateStep");
    const int width = source->width, height = source->height;
    const size_t stride = size_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        const float* s = Row(source, y);
        auto touches = [&](int x, Lanes4 alpha) { return GroupTouchesCovered(source, x, y, alpha); };
        CopyRowVisitEmpty(destination, source, y, touches, [&](int x, float* out) {
            const float* texel = s + size_t(x) * 4;
            const float* neighbours[4];
            int count = 0;
            if (y > 0) neighbours[count++] = texel - stride;
            if (y < height - 1) neighbours[count++] = texel + stride;
            if (x > 0) neighbours[count++] = texel - 4;
            if (x < width - 1) neighbours[count++] = texel + 4;
            // The weight can pass 0.001 only with a covered neighbour; deep in the empty
            // area there is none and the copy stands.
            bool anyCovered = false;
            for (int n = 0; n < count; ++n) anyCovered |= Covered(neighbours[n]);
            if (!anyCovered) return;
            float weight = 0.0f, red = 0.0f, green = 0.0f, blue = 0.0f;
            for (int n = 0; n < count; ++n) {
                const float a = neighbours[n][3];
                weight += a;
                red += a * neighbours[n][0];
                green += a * neighbours[n][1];
                blue += a * neighbours[n][2];
            }
            if (weight > 0.001f) {
                out[0] = red / weight;
                out[1] = green / weight;
                out[2] = blue / weight;
                out[3] = 1.0f;
            }
        });
    }
}

void SoftwareBaker::FillMarkedTexels(Image* destination, const Image* source) {
    RequireSameSize(destination, source, "FillMarkedTexels");
    const int width = source->width, height = source->height;
    const ptrdiff_t stride = ptrdiff_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        const float* s = Row(source, y);
        auto marked = [](int, Lanes4 alpha) { return MoveMask(alpha < Lanes4::Zero()) != 0; };
        CopyRowVisitEmpty(destination, source, y, marked, [&](int x, float* out) {
            const float* texel = s + size_t(x) * 4;
            if (!(texel[3] < 0.0f)) return;
            // Only an interior texel can have all eight neighbours inside the image.
            if (x > 0 && y > 0 && x < width - 1 && y < height - 1) {
                const float* ring[8] = {texel - stride - 4, texel - stride, texel - stride + 4, texel - 4,
                                        texel + 4,          texel + stride - 4, texel + stride, texel + stride + 4};
                bool all = true;
                for (const float* n : ring) all = all && Covered(n);
                if (all) {
                    float red = 0.0f, green = 0.0f, blue = 0.0f;
                    for (const float* n : ring) {
                        red += n[0];
                        green += n[1];
                        blue += n[2];
                    }
                    out[0] = red * 0.125f;
                    out[1] = green * 0.125f;
                    out[2] = blue * 0.125f;
                    out[3] = 0.125f;
                    return;
                }
            }
            out[3] = 1.0f;
        });
    }
}

void RenormalizeNormals(Image* destination, const Image* source) {
    RequireSameSize(destination, source, "RenormalizeNormals");
    const size_t count = source->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        const float* texel = source->data + i * 4;
        float* out = destination->data + i * 4;
        if (!Covered(texel)) {
            out[0] = out[1] = out[2] = 0.5f;
            out[3] = 0.0f;
        } else if (!EncodeUnit(out, Decode(texel))) {
            CopyTexel(out, texel);
            out[3] = 1.0f;
        }
    }
}

void FillEmptyTexels(Image* image, const float* colour) {
    RequireImage(image, "FillEmptyTexels");
    const size_t count = image->PixelCount();
    for (size_t i = 0; i < count; ++i) {
        float* texel = image->data + i * 4;
        if (texel[3] != 0.0f) continue;
        texel[0] = colour[0];
        texel[1] = colour[1];
        texel[2] = colour[2];
        texel[3] = 0.0f;
    }
}

void ExtrapolateNormalBorder(Image* destination, const Image* source) {
    RequireSameSize(destination, source, "ExtrapolateNormalBorder");
    const int width = source->width, height = source->height;
    const ptrdiff_t stride = ptrdiff_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        const float* s = Row(source, y);
        // Every direction needs its nearer texel, a direct neighbour, covered.
        auto touches = [&](int x, Lanes4 alpha) { return GroupTouchesCovered(source, x, y, alpha); };
        CopyRowVisitEmpty(destination, source, y, touches, [&](int x, float* out) {
            const float* texel = s + size_t(x) * 4;
            // Step towards the nearer and the farther texel, in the order up, down, left, right.
            ptrdiff_t step = 0;
            if (y >= 2 && Covered(texel - stride) && Covered(texel - 2 * stride))
                step = -stride;
            else if (y < height - 2 && Covered(texel + stride) && Covered(texel + 2 * stride))
                step = stride;
            else if (x >= 2 && Covered(texel - 4) && Covered(texel - 8))
                step = -4;
            else if (x < width - 2 && Covered(texel + 4) && Covered(texel + 8))
                step = 4;
            if (step == 0) return;
            const Vec3 a = Decode(texel + step);
            const Vec3 b = Decode(texel + 2 * step);
            const Quaternion q{Math::Dot(b, a), Math::Cross(b, a)};
            const Quaternion conjugate{q.w, -q.v};
            const Vec3 r = Multiply(Multiply(q, Quaternion{0.0f, a}), conjugate).v;
            // r = -a leaves no direction; the texel then stays as it was.
            EncodeUnit(out, r + a);
        });
    }
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
