#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/largeblock.h"

namespace Pallix::Bake {

class ThreadPool;

// Allocates zero-filled memory and leaves value-initialised elements as they come: fresh pages
// from the system are zero already, so a new image costs no pass over its memory before it is
// first written. A vector with it must grow only from empty, or new elements keep old values.
template <class T>
struct ZeroedAllocator {
    using value_type = T;
    ZeroedAllocator() = default;
    template <class U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(AllocateZeroed(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { FreeZeroed(p, n * sizeof(T)); }
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const ZeroedAllocator<U>&) const noexcept {
        return true;
    }
};

// Four-channel float pixel buffer. Row 0 is the bottom row of the map (the GPU's read-back
// order); alpha above 0 marks a covered texel. Sizes and offsets are size_t: a 16384 x 16384
// RGBA image holds 4 GiB.
class Image {
public:
    // Owning image of width x height RGBA floats, zero-filled.
    Image(int width, int height);
    // Read-back header: no storage, null data until a mapped buffer is attached.
    static Image Header(int width, int height);

    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    Image(Image&&) noexcept;
    Image& operator=(Image&&) noexcept;
    ~Image() = default;

    int width = 0;
    int height = 0;
    int channels = 4;
    std::vector<float, ZeroedAllocator<float>> storage;
    float* data = nullptr;

    size_t PixelCount() const { return size_t(width) * size_t(height); }
    size_t FloatCount() const { return PixelCount() * size_t(channels); }
    size_t Offset(int x, int y) const { return (size_t(x) + size_t(y) * size_t(width)) * size_t(channels); }
    float* Pixel(int x, int y) { return data + Offset(x, y); }
    const float* Pixel(int x, int y) const { return data + Offset(x, y); }
    // Pixel of an unsigned-integer render target read through the same pointer.
    const unsigned* PixelUint(int x, int y) const { return reinterpret_cast<const unsigned*>(Pixel(x, y)); }

    // Sets every pixel; with a pool the rows are written on its workers, which also spreads the
    // first touch of a new image's pages over them.
    void Fill(float r, float g, float b, float a, ThreadPool* pool = nullptr);
    // Copies pixels from an image of the same size.
    void CopyFrom(const Image& other);
    bool SameSize(const Image& other) const {
        return width == other.width && height == other.height && channels == other.channels;
    }

private:
    Image() = default;
};

// Writes path + ".mif": int32 version 1, width, height, channels, then the raw floats.
// Returns false when the file could not be written completely; an earlier file of that name
// is then left as it was.
bool WriteMifCache(const std::string& path, const Image& image);

// Fills the image from path + ".mif" when the file exists, has version 1 and the image's
// dimensions, and holds every pixel. Returns true only then; a file that does not match leaves the image unchanged.
bool ReadMifCache(const std::string& path, Image& image);

}  // namespace Pallix::Bake
