#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Pallix::Bake {

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
    std::vector<float> storage;
    float* data = nullptr;

    size_t PixelCount() const { return size_t(width) * size_t(height); }
    size_t FloatCount() const { return PixelCount() * size_t(channels); }
    size_t Offset(int x, int y) const { return (size_t(x) + size_t(y) * size_t(width)) * size_t(channels); }
    float* Pixel(int x, int y) { return data + Offset(x, y); }
    const float* Pixel(int x, int y) const { return data + Offset(x, y); }
    // Pixel of an unsigned-integer render target read through the same pointer.
    const unsigned* PixelUint(int x, int y) const { return reinterpret_cast<const unsigned*>(Pixel(x, y)); }

    void Fill(float r, float g, float b, float a);
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
