#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bake/softwarebaker.h"
#include "bench.h"

using namespace Pallix::Bake;

namespace {

// A 4096 x 4096 map laid out like a real UV sheet: rectangular and round islands with
// gutters between them, about two thirds covered, smooth normal-like colours inside.
Image MakeUvSheet(int size) {
    Image image(size, size);
    const int cells = 8;
    const int cell = size / cells;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (!KelvorBench::UvSheetCovered(x, y, cell)) continue;
            float* p = image.Pixel(x, y);
            p[0] = 0.5f + 0.4f * std::sin(float(x) * 0.01f);
            p[1] = 0.5f + 0.4f * std::cos(float(y) * 0.013f);
            p[2] = 0.8f + 0.1f * std::sin(float(x + y) * 0.007f);
            p[3] = 1.0f;
        }
    }
    return image;
}

double CoveredShare(const Image& image) {
    size_t covered = 0;
    for (size_t i = 0; i < image.PixelCount(); ++i) covered += image.data[i * 4 + 3] > 0.0f;
    return double(covered) / double(image.PixelCount());
}

template <typename Operation>
void Time(const char* name, const Image& image, Operation operation, int repeats = 3) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const double start = KelvorBench::NowSeconds();
        operation();
        best = std::min(best, KelvorBench::NowSeconds() - start);
    }
    std::printf("  %-34s %8.1f ms  %7.1f Mtexel/s\n", name, best * 1e3, double(image.PixelCount()) / best * 1e-6);
}

// The covered blur as the plain per-texel loop, for comparison with the library's.
void ScalarBlurCovered(Image& out, const Image& in, float radius) {
    const int half = int(std::ceil(radius - 0.5f)), size = 2 * half + 1;
    std::vector<float> kernel(size_t(size) * size);
    MakeGaussianKernel(kernel.data(), size, radius);
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            const float* centre = in.Pixel(x, y);
            float* o = out.Pixel(x, y);
            if (!(centre[3] > 0.0f)) {
                std::memcpy(o, centre, 16);
                continue;
            }
            float sum[4] = {0, 0, 0, 0}, weight = 0.0f;
            for (int r = std::max(y - half, 0); r <= std::min(y + half, in.height - 1); ++r) {
                for (int c = std::max(x - half, 0); c <= std::min(x + half, in.width - 1); ++c) {
                    const float* n = in.Pixel(c, r);
                    const float w = kernel[size_t(c - x + half) * size + size_t(r - y + half)] * n[3];
                    for (int ch = 0; ch < 4; ++ch) sum[ch] += w * n[ch];
                    weight += w;
                }
            }
            for (int ch = 0; ch < 4; ++ch) o[ch] = weight > 0.0f ? sum[ch] / weight : sum[ch];
        }
    }
}

void Run() {
    const int size = 4096;
    const Image sheet = MakeUvSheet(size);
    Image out(size, size);
    std::printf("  %d x %d, %.0f%% covered\n", size, size, CoveredShare(sheet) * 100.0);

    Time("copy (memory floor)", sheet, [&] { out.CopyFrom(sheet); });
    for (float radius : {0.5f, 1.0f, 2.0f, 3.0f}) {
        char name[64];
        std::snprintf(name, sizeof(name), "BlurCovered radius %.1f", radius);
        Time(name, sheet, [&] { SoftwareBaker::BlurCovered(&out, &sheet, radius); });
    }
    Time("Blur radius 1.0", sheet, [&] { SoftwareBaker::Blur(&out, &sheet, 1.0f); });
    Time("plain loop BlurCovered radius 2.0", sheet, [&] { ScalarBlurCovered(out, sheet, 2.0f); }, 1);
    Time("DilateStep", sheet, [&] { SoftwareBaker::DilateStep(&out, &sheet); });
    Time("ExtrapolateNormalBorder", sheet, [&] { ExtrapolateNormalBorder(&out, &sheet); });
    Time("RenormalizeNormals", sheet, [&] { RenormalizeNormals(&out, &sheet); });
    Time("FillMarkedTexels", sheet, [&] { SoftwareBaker::FillMarkedTexels(&out, &sheet); });
    float low[4], high[4];
    Time("GetRange", sheet, [&] { SoftwareBaker::GetRange(&sheet, low, high); });

    // Eight dilation steps alternating between two images, as a map's post-processing runs them.
    Image a(size, size), b(size, size);
    a.CopyFrom(sheet);
    Time("8 x DilateStep", sheet, [&] {
        for (int i = 0; i < 4; ++i) {
            SoftwareBaker::DilateStep(&b, &a);
            SoftwareBaker::DilateStep(&a, &b);
        }
    }, 1);
}

}  // namespace

KELVOR_BENCH_SECTION("postprocess", "image post-processing on a 4096 x 4096 map", Run);
