#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/image.h"
#include "core/threadpool.h"

// Runs an image pass that writes each row from the source rows around it, in bands of rows on
// a thread pool, into another image or into the same one. In place, each band keeps the
// original of the rows it has already rewritten for as long as later rows read them, and the
// rows at the band boundaries are saved before any band starts, so every row is computed from
// the source as it was: the result is the one of the plain pass, whatever the band count.
namespace Pallix::Bake {

// The source rows around row y as the pass reads them: Row(dy) is row y + dy for dy within the
// pass's reach, null outside the image.
class RowWindow {
public:
    explicit RowWindow(const float* const* centre) : centre(centre) {}
    const float* Row(int dy) const { return centre[dy]; }

private:
    const float* const* centre;
};

namespace ImageRowsDetail {

struct Band {
    int first = 0, last = 0;  // rows first .. last - 1
};

// Bands of about equal height: a few per worker so that uneven rows even out, but no more than
// keeps the saved boundary rows of an in-place pass under an eighth of the image.
inline std::vector<Band> SplitRows(int height, int reach, ThreadPool* pool, bool inPlace) {
    int count = pool ? int(std::min<size_t>(size_t(height), pool->WorkerCount() * 4)) : 1;
    if (inPlace && reach > 0) count = std::min(count, height / (16 * reach) + 1);
    count = std::max(count, 1);
    std::vector<Band> bands(static_cast<size_t>(count));
    for (int b = 0; b < count; ++b) {
        bands[size_t(b)].first = int(int64_t(height) * b / count);
        bands[size_t(b)].last = int(int64_t(height) * (b + 1) / count);
    }
    return bands;
}

}  // namespace ImageRowsDetail

// pass(y, window, out) rewrites row y: out holds the row as it was in the source, and the pass
// writes the texels it changes into it, reading only the window. It returns how many texels it
// changed (or any positive count when that does not matter). reach: how many rows above and
// below row y the pass reads. destination and source have the same size; they may be the same
// image. Returns the sum of what the pass returned.
template <class Pass>
int64_t RunImageRows(Image& destination, const Image& source, int reach, ThreadPool* pool, Pass&& pass) {
    using ImageRowsDetail::Band;
    const int width = source.width, height = source.height;
    if (width <= 0 || height <= 0) return 0;
    reach = std::max(reach, 0);
    const size_t rowFloats = size_t(width) * 4, rowBytes = rowFloats * sizeof(float);
    const bool inPlace = destination.data == source.data;
    const std::vector<Band> bands = ImageRowsDetail::SplitRows(height, reach, pool, inPlace);
    auto sourceRow = [&](int y) { return source.data + size_t(y) * rowFloats; };
    auto destinationRow = [&](int y) { return destination.data + size_t(y) * rowFloats; };

    // In place: rows boundary - reach .. boundary + reach - 1 of every inner band boundary, as
    // they were before the pass.
    std::vector<float> saved;
    const size_t savedPerBoundary = size_t(2 * reach) * rowFloats;
    if (inPlace && reach > 0 && bands.size() > 1) {
        saved.resize(savedPerBoundary * (bands.size() - 1));
        for (size_t b = 0; b + 1 < bands.size(); ++b) {
            const int boundary = bands[b].last;
            for (int r = boundary - reach; r < boundary + reach; ++r)
                if (r >= 0 && r < height)
                    std::memcpy(saved.data() + savedPerBoundary * b + size_t(r - boundary + reach) * rowFloats,
                                sourceRow(r), rowBytes);
        }
    }
    auto savedRow = [&](size_t boundaryIndex, int r) {
        const int boundary = bands[boundaryIndex].last;
        return static_cast<const float*>(saved.data() + savedPerBoundary * boundaryIndex +
                                         size_t(r - boundary + reach) * rowFloats);
    };

    std::atomic<int64_t> total{0};
    auto runBand = [&](size_t b) {
        const Band band = bands[b];
        std::vector<const float*> window(size_t(2 * reach + 1));
        // In place: copies of this band's rows from the one being rewritten up to `reach` rows
        // back, by row modulo their count, taken before each row is rewritten.
        const int slots = inPlace ? std::min(reach + 1, band.last - band.first) : 0;
        std::vector<float> kept(size_t(slots) * rowFloats);
        auto keptRow = [&](int r) { return kept.data() + size_t(r % slots) * rowFloats; };
        auto original = [&](int r, int y) -> const float* {
            if (r < 0 || r >= height) return nullptr;
            if (!inPlace) return sourceRow(r);
            if (r < band.first) return savedRow(b - 1, r);
            if (r >= band.last) return savedRow(b, r);
            if (r <= y) return keptRow(r);
            return sourceRow(r);
        };
        int64_t changed = 0;
        for (int y = band.first; y < band.last; ++y) {
            float* row = destinationRow(y);
            std::memcpy(inPlace ? keptRow(y) : row, sourceRow(y), rowBytes);
            for (int dy = -reach; dy <= reach; ++dy) window[size_t(dy + reach)] = original(y + dy, y);
            changed += pass(y, RowWindow(window.data() + reach), row);
        }
        total += changed;
    };
    if (pool && bands.size() > 1) {
        pool->ParallelFor(size_t(0), bands.size(), size_t(1), [&](size_t first, size_t last) {
            for (size_t b = first; b < last; ++b) runBand(b);
        });
    } else {
        for (size_t b = 0; b < bands.size(); ++b) runBand(b);
    }
    return total.load();
}

}  // namespace Pallix::Bake
