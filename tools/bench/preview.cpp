#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench.h"
#include "previewblocks.h"

using namespace Pallix::Bake;

namespace {

// A map with smooth colours and a few uncovered texels, like a baked tile.
Image MakeMap(int size) {
    Image image(size, size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            float* p = image.Pixel(x, y);
            p[0] = 0.5f + 0.6f * std::sin(float(x) * 0.01f);
            p[1] = 0.5f + 0.4f * std::cos(float(y) * 0.013f);
            p[2] = 0.9f;
            p[3] = (x + y) % 7 == 0 ? 0.0f : 1.0f;
        }
    }
    return image;
}

template <typename Operation>
double Best(Operation operation, int repeats = 5) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const double start = KelvorBench::NowSeconds();
        operation();
        best = std::min(best, KelvorBench::NowSeconds() - start);
    }
    return best;
}

// What the bake thread spends converting a finished tile for the live preview, what the
// converted backlog holds, and what one preview tick spends painting it.
void RunPreview() {
    const Image map = MakeMap(4096);
    for (const int tile : {256, 512, 1024}) {
        size_t kept = 0;
        const double seconds = Best([&] { kept += ConvertTile(map, 0, 0, tile, tile).PixelCount(); });
        std::printf("  convert %4d x %-4d tile            %8.2f ms  %7.1f Mtexel/s\n", tile, tile, seconds * 1e3,
                    double(tile) * tile / seconds * 1e-6);
    }
    for (const int size : {2048, 4096}) {
        PreviewBacklog backlog;
        const double seconds = Best([&] { ConvertTile(map, 0, 0, size, size); }, 3);
        backlog.Append(ConvertTile(map, 0, 0, size, size));
        std::printf("  convert %4d x %-4d whole image     %8.2f ms, backlog %6.1f MiB (%.2f bytes a pixel)\n", size,
                    size, seconds * 1e3, double(backlog.Bytes()) / 1048576.0,
                    double(backlog.Bytes()) / (double(size) * size));
        std::vector<uint32_t> preview(size_t(size) * size);
        const double paint = Best(
            [&] {
                PreviewBacklog again;
                again.Append(ConvertTile(map, 0, 0, size, size));
                again.Paint(preview.data(), size, size, size_t(size), again.PendingPixels());
            },
            3);
        std::printf("  convert + paint %4d x %-4d backlog %8.2f ms\n", size, size, paint * 1e3);
    }
    PreviewBacklog backlog;
    backlog.Append(ConvertTile(map, 0, 0, 1000, 1000));
    std::vector<uint32_t> preview(size_t(1024) * 1024);
    const double tick = Best([&] {
        PreviewBacklog again;
        again.Append(ConvertTile(map, 0, 0, 1000, 1000));
        again.Paint(preview.data(), 1024, 1024, 1024, PreviewBudget(again.PendingPixels()));
    });
    std::printf("  tick budget of 1000000 pending     %8zu pixels (convert + paint %.2f ms)\n",
                PreviewBudget(backlog.PendingPixels()), tick * 1e3);
}

}  // namespace

KELVOR_BENCH_SECTION("preview", "live preview: tile conversion, backlog memory, painting", RunPreview);
