#pragma once

#include <cstdint>
#include <string>

#include "core/image.h"

namespace Pallix::Bake {

// Sample conversions of the writers. 8 bits round to nearest, 16 bits truncate; values of 1
// and more give the largest code, negative values and NaN give 0.
inline uint8_t ToRgba8(float value) {
    if (value >= 1.0f) return 255;
    if (!(value >= 0.0f)) return 0;
    return uint8_t(int64_t(value * 255.0f + 0.5f));
}

inline uint16_t ToRgba16(float value) {
    if (value >= 1.0f) return 65535;
    if (!(value >= 0.0f)) return 0;
    return uint16_t(int64_t(value * 65535.0f));
}

// The 16-bit code with its two bytes swapped: stored on a little-endian host it reads as the
// big-endian sample PNG requires.
inline uint16_t ToRgba16BigEndian(float value) {
    const uint16_t code = ToRgba16(value);
    return uint16_t((code >> 8) | (code << 8));
}

class ThreadPool;

// Each writer appends its extension (".tif", ".png", ".exr") to name, writes the image's four
// channels as RGBA with the image's last row as the file's first, and returns true only when
// the whole file is on disk. The file is written beside its target under a temporary name and
// renamed over it when complete: a failed write leaves the target as it was and no temporary
// behind and, when error is given, stores the reason there.
bool WriteTiff8(const Image& image, const std::string& name, std::string* error = nullptr);
bool WriteTiff16(const Image& image, const std::string& name, std::string* error = nullptr);
// PNG rows are filtered and compressed in bands, on the pool when one is given (the calling
// thread must not be one of its workers), and joined into the file's one compressed stream.
bool WritePng8(const Image& image, const std::string& name, std::string* error = nullptr, ThreadPool* pool = nullptr);
bool WritePng16(const Image& image, const std::string& name, std::string* error = nullptr, ThreadPool* pool = nullptr);
// Half-float RGBA, PIZ-compressed on OpenEXR's worker threads; values are kept unclamped.
bool WriteExr(const Image& image, const std::string& name, std::string* error = nullptr);

}  // namespace Pallix::Bake
