#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "pallixbake.h"

namespace Pallix::Bake {

// A finished tile in the preview's colours (0xFFRRGGBB, 4 bytes a pixel), made on the bake
// thread while the tile's image still exists, so no image pointer reaches the GUI thread.
struct PreviewBlock {
    int x = 0;       // first preview column
    int top = 0;     // preview row of the block's first row; row r lands on top - r
    int width = 0;
    int height = 0;
    std::vector<uint32_t> colours;  // row by row, in the image's (bottom-up) row order

    size_t PixelCount() const { return colours.size(); }
    // Heap bytes of the colours.
    size_t Bytes() const { return colours.capacity() * sizeof(colours[0]); }
};

// The preview colour of one texel: black where alpha is not above 0, else each of red, green
// and blue held to 0..1, times 255, truncated.
uint32_t PreviewColour(const float* texel);

// Converts the rectangle x, y, width, height of image (rows bottom-up) into a block whose rows
// land on the preview's top-down rows: image row y + r becomes preview row H - (y + r) - 1.
// The part outside the image is left out.
PreviewBlock ConvertTile(const Image& image, int x, int y, int width, int height);

// Pixels one preview tick may paint out of pending: a tenth of the backlog plus 4096, or all
// of it once it exceeds 1048576.
size_t PreviewBudget(size_t pending);

// Converted blocks waiting to be painted, oldest pixel first.
class PreviewBacklog {
public:
    void Append(PreviewBlock&& block);
    void Clear();
    size_t PendingPixels() const { return pending; }
    // Heap bytes the pending colours hold.
    size_t Bytes() const;

    // Writes up to count pending pixels, oldest first, into a 32-bit image of width x height
    // whose rows are stride pixels apart; pixels outside it are dropped. Returns the pixels taken.
    size_t Paint(uint32_t* image, int width, int height, size_t stride, size_t count);

private:
    std::deque<PreviewBlock> blocks;
    size_t painted = 0;  // of the front block
    size_t pending = 0;
};

}  // namespace Pallix::Bake
