#include "core/image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/outputfile.h"
#include "core/threadpool.h"

namespace Pallix::Bake {

Image::Image(int w, int h) : width(w), height(h), channels(4) {
    storage.resize(FloatCount());
    data = storage.data();
}

Image Image::Header(int w, int h) {
    Image image;
    image.width = w;
    image.height = h;
    image.channels = 4;
    return image;
}

Image::Image(Image&& other) noexcept
    : width(other.width), height(other.height), channels(other.channels), storage(std::move(other.storage)) {
    data = storage.empty() ? other.data : storage.data();
    other.data = nullptr;
}

Image& Image::operator=(Image&& other) noexcept {
    if (this != &other) {
        width = other.width;
        height = other.height;
        channels = other.channels;
        storage = std::move(other.storage);
        data = storage.empty() ? other.data : storage.data();
        other.data = nullptr;
    }
    return *this;
}

void Image::Fill(float r, float g, float b, float a, ThreadPool* pool) {
    const float value[4] = {r, g, b, a};
    uint32_t bits[4];
    std::memcpy(bits, value, sizeof(bits));
    const bool zero = (bits[0] | bits[1] | bits[2] | bits[3]) == 0;
    const size_t rowFloats = size_t(width) * size_t(channels);
    auto fillRows = [&](int first, int last) {
        const size_t begin = size_t(first) * rowFloats, end = size_t(last) * rowFloats;
        if (zero) {
            std::memset(data + begin, 0, (end - begin) * sizeof(float));
            return;
        }
        for (size_t i = begin; i < end; ++i) data[i] = value[i % 4];
    };
    if (FloatCount() == 0) return;
    if (pool && height > 1)
        pool->ParallelFor(0, height, std::max(1, height / int(4 * pool->WorkerCount())), fillRows);
    else
        fillRows(0, height);
}

void Image::CopyFrom(const Image& other) {
    std::memcpy(data, other.data, std::min(FloatCount(), other.FloatCount()) * sizeof(float));
}

namespace {
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;
}  // namespace

bool WriteMifCache(const std::string& path, const Image& image) {
    // Written beside the cache under a temporary name, so an earlier cache stays whole until replaced.
    OutputFile output(path + ".mif");
    if (!output.Create(nullptr)) return false;
    File file(::fdopen(output.Descriptor(), "wb"));
    if (!file) return false;
    output.ReleaseDescriptor();
    const int32_t header[4] = {1, image.width, image.height, image.channels};
    bool ok = std::fwrite(header, sizeof(header), 1, file.get()) == 1;
    const size_t count = image.FloatCount();
    if (ok && count > 0) ok = std::fwrite(image.data, sizeof(float), count, file.get()) == count;
    // fclose flushes; a failed flush (full disk) is a failed write as well.
    const bool closed = std::fclose(file.release()) == 0;
    return closed && ok && output.Commit(nullptr);
}

bool ReadMifCache(const std::string& path, Image& image) {
    File file(std::fopen((path + ".mif").c_str(), "rb"));
    if (!file) return false;
    int32_t header[4] = {0, 0, 0, 0};
    if (std::fread(header, sizeof(header), 1, file.get()) != 1) return false;
    if (header[0] != 1 || header[1] != image.width || header[2] != image.height || header[3] != image.channels)
        return false;
    // A file cut short leaves the pixels behind the cut as they were and reports failure.
    const size_t count = image.FloatCount();
    return count == 0 || std::fread(image.data, sizeof(float), count, file.get()) == count;
}

}  // namespace Pallix::Bake
