#include "previewblocks.h"

#include <algorithm>

namespace Pallix::Bake {

namespace {

// Comparisons written so that NaN gives 0: a NaN cast to an integer is undefined.
uint32_t Channel(float value) {
    const float held = value > 0.0f ? (value < 1.0f ? value : 1.0f) : 0.0f;
    return uint32_t(held * 255.0f);
}

}  // namespace

uint32_t PreviewColour(const float* texel) {
    if (!(texel[3] > 0.0f)) return 0xFF000000u;
    return 0xFF000000u | Channel(texel[0]) << 16 | Channel(texel[1]) << 8 | Channel(texel[2]);
}

PreviewBlock ConvertTile(const Image& image, int x, int y, int width, int height) {
    PreviewBlock block;
    if (!image.data || image.channels < 4) return block;
    // 64-bit sums: a rectangle near the int range must not wrap into the image.
    const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t(x) + width, image.width);
    const int64_t y1 = std::min<int64_t>(int64_t(y) + height, image.height);
    if (x1 <= x0 || y1 <= y0) return block;
    block.x = int(x0);
    block.top = int(image.height - y0 - 1);
    block.width = int(x1 - x0);
    block.height = int(y1 - y0);
    block.colours.resize(size_t(block.width) * size_t(block.height));
    uint32_t* out = block.colours.data();
    const size_t channels = size_t(image.channels);
    for (int64_t row = y0; row < y1; ++row) {
        const float* texel = image.Pixel(int(x0), int(row));
        for (int64_t column = x0; column < x1; ++column, texel += channels) *out++ = PreviewColour(texel);
    }
    return block;
}

size_t PreviewBudget(size_t pending) { return pending <= 0x100000 ? pending / 10 + 4096 : pending; }

void PreviewBacklog::Append(PreviewBlock&& block) {
    if (block.colours.empty()) return;
    pending += block.colours.size();
    blocks.push_back(std::move(block));
}

void PreviewBacklog::Clear() {
    blocks.clear();
    painted = 0;
    pending = 0;
}

size_t PreviewBacklog::Bytes() const {
    size_t bytes = 0;
    for (const PreviewBlock& block : blocks) bytes += block.Bytes();
    return bytes;
}

size_t PreviewBacklog::Paint(uint32_t* image, int width, int height, size_t stride, size_t count) {
    size_t taken = 0;
    while (taken < count && !blocks.empty()) {
        const PreviewBlock& block = blocks.front();
        const size_t end = std::min(block.colours.size(), painted + (count - taken));
        const size_t blockWidth = size_t(block.width);
        // One run per block row, clipped to the image.
        for (size_t i = painted; i < end;) {
            const size_t row = i / blockWidth, column = i % blockWidth;
            const size_t run = std::min(blockWidth - column, end - i);
            const int64_t y = int64_t(block.top) - int64_t(row);
            if (y >= 0 && y < height) {
                const int64_t first = std::max<int64_t>(int64_t(block.x) + int64_t(column), 0);
                const int64_t last = std::min<int64_t>(int64_t(block.x) + int64_t(column + run), width);
                if (first < last) {
                    const uint32_t* from = block.colours.data() + i + size_t(first - (int64_t(block.x) + int64_t(column)));
                    std::copy(from, from + (last - first), image + size_t(y) * stride + size_t(first));
                }
            }
            i += run;
        }
        taken += end - painted;
        pending -= end - painted;
        if (end == block.colours.size()) {
            blocks.pop_front();
            painted = 0;
        } else {
            painted = end;
        }
    }
    return taken;
}

}  // namespace Pallix::Bake
