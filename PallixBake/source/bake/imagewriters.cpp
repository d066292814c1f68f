#include "bake/imagewriters.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include <Imath/half.h>
#include <OpenEXR/IexBaseExc.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfThreading.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include "core/outputfile.h"
#include "core/threadpool.h"

namespace Pallix::Bake {

namespace {

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

bool CheckImage(const Image& image, const std::string& path, std::string* error) {
    if (image.width > 0 && image.height > 0 && image.channels == 4 && image.data) return true;
    SetError(error, path + ": the image is empty");
    return false;
}

// Converts image row y, four samples per pixel.
template <typename Sample, Sample (*Convert)(float)>
void ConvertRow(const Image& image, int y, Sample* out) {
    const float* in = image.Pixel(0, y);
    const size_t count = size_t(image.width) * 4;
    for (size_t i = 0; i < count; ++i) out[i] = Convert(in[i]);
}

// Without this declaration the fourth sample is an unnamed extra channel and readers warn
// about the file or drop the alpha.
const uint16_t kAlphaSample = EXTRASAMPLE_UNASSALPHA;

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

template <typename Sample, Sample (*Convert)(float)>
bool WriteTiff(const Image& image, const std::string& name, std::string* error) {
    const std::string path = name + ".tif";
    if (!CheckImage(image, path, error)) return false;
    OutputFile output(path);
    if (!output.Create(error)) return false;
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFFdOpen(output.Descriptor(), path.c_str(), "w"));
    if (!tif) {
        SetError(error, "cannot write " + path);
        return false;
    }
    // TIFFClose closes the descriptor from here on.
    output.ReleaseDescriptor();
    const int bits = int(sizeof(Sample) * 8);
    const uint32_t width = uint32_t(image.width), height = uint32_t(image.height);
    bool ok = TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, width) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, height) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 4) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, bits) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == 1 &&
              TIFFSetField(tif.get(), TIFFTAG_EXTRASAMPLES, 1, &kAlphaSample) == 1;
    const tmsize_t scanline = ok ? TIFFScanlineSize(tif.get()) : 0;
    ok = ok && scanline >= tmsize_t(size_t(width) * 4 * sizeof(Sample));
    std::vector<Sample> row;
    if (ok) {
        row.assign(size_t(scanline) / sizeof(Sample) + 1, Sample(0));
        ok = TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif.get(), width * 4)) == 1;
    }
    // The strips can hold the whole image; a bounded write buffer keeps libtiff from holding
    // a second copy of it in memory (data is appended to the strip as the buffer fills).
    ok = ok && TIFFWriteBufferSetup(tif.get(), nullptr, tmsize_t(1) << 20) == 1;
    for (uint32_t i = 0; ok && i < height; ++i) {
        ConvertRow<Sample, Convert>(image, int(height - 1 - i), row.data());
        ok = TIFFWriteScanline(tif.get(), row.data(), i, 0) >= 0;
    }
    // TIFFClose reports nothing: flush first so a strip or directory that cannot be written
    // counts as a failed write.
    ok = ok && TIFFFlush(tif.get()) == 1;
    tif.reset();
    if (ok) return output.Commit(error);
    SetError(error, "cannot write " + path);
    return false;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A stdio stream over the output's temporary file; the stream owns the descriptor.
File OpenStream(OutputFile& output, std::string* error) {
    File file(::fdopen(output.Descriptor(), "wb"));
    if (file)
        output.ReleaseDescriptor();
    else
        SetError(error, "cannot write " + output.Path() + ": " + std::strerror(errno));
    return file;
}

// Closes the file and reports whether everything buffered reached the disk.
bool CloseFile(File& file) {
    FILE* f = file.release();
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    return std::fclose(f) == 0 && flushed;
}

// libpng reports errors by longjmp. Everything between setjmp and a possible longjmp lives
// in this plain struct and in the two functions below, which hold no object with a destructor.
struct PngErrorState {
    char message[256];
};

void PngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    if (state) std::snprintf(state->message, sizeof(state->message), "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

bool WritePngHeader(png_structp png, png_infop info, FILE* file, const Image* image, int bitDepth) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(image->width), png_uint_32(image->height), bitDepth, PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    return true;
}

bool WritePngChunk(png_structp png, const char* type, const unsigned char* data, size_t size) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_chunk(png, reinterpret_cast<png_const_bytep>(type), data, size);
    return true;
}

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

// Level 4 with the Up filter on every row keeps baked maps within a few percent of zlib's
// default level with adaptive filters, at a fifth of the time; level 1 and the other
// filters make flat or 8-bit maps up to half as large again.
constexpr int kPngLevel = 4;
constexpr unsigned char kPngUpFilter = 2;
// Filtered bytes per band: large enough that starting each band with an empty window costs
// little, small enough to spread a 1024 map over every worker.
constexpr size_t kPngBandBytes = size_t(1) << 19;
// The zlib stream header for a 32 KiB window; the check bits make it a multiple of 31.
constexpr unsigned char kZlibHeader[2] = {0x78, 0x01};

struct PngBand {
    std::vector<unsigned char> bytes;  // a piece of the compressed stream
    uLong adler = 1;                    // Adler-32 of the band's filtered bytes
    size_t length = 0;                  // filtered bytes
};

// The PNG samples of file row i (image row height - 1 - i) in file byte order.
void ConvertPngRow(const Image& image, int bitDepth, int i, unsigned char* out) {
    const int y = image.height - 1 - i;
    if (bitDepth == 8) {
        ConvertRow<uint8_t, ToRgba8>(image, y, out);
        return;
    }
    const float* in = image.Pixel(0, y);
    const size_t count = size_t(image.width) * 4;
    for (size_t k = 0; k < count; ++k) {
        const uint16_t code = ToRgba16(in[k]);
        out[2 * k] = uint8_t(code >> 8);
        out[2 * k + 1] = uint8_t(code);
    }
}

class DeflateStream {
public:
    DeflateStream() {
        if (deflateInit2(&stream, kPngLevel, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
    }
    ~DeflateStream() { deflateEnd(&stream); }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;
    z_stream stream{};
};

// Filters file rows [first, last) and compresses them as one piece of a zlib stream: raw
// deflate ending on a byte boundary (a sync flush), or the stream's final block for the last
// band, so that the pieces concatenate into one valid stream.
PngBand CompressPngBand(const Image& image, int bitDepth, int first, int last) {
    const size_t rowBytes = size_t(image.width) * 4 * size_t(bitDepth / 8);
    const size_t stride = rowBytes + 1;
    std::vector<unsigned char> filtered(stride * size_t(last - first));
    std::vector<unsigned char> previous(rowBytes, 0), current(rowBytes);
    if (first > 0) ConvertPngRow(image, bitDepth, first - 1, previous.data());
    for (int i = first; i < last; ++i) {
        ConvertPngRow(image, bitDepth, i, current.data());
        unsigned char* out = filtered.data() + size_t(i - first) * stride;
        out[0] = kPngUpFilter;
        for (size_t k = 0; k < rowBytes; ++k) out[1 + k] = uint8_t(current[k] - previous[k]);
        previous.swap(current);
    }

    PngBand band;
    band.length = filtered.size();
    band.adler = adler32(1, filtered.data(), uInt(filtered.size()));
    DeflateStream deflater;
    z_stream& stream = deflater.stream;
    const bool lastBand = last == image.height;
    const int flush = lastBand ? Z_FINISH : Z_SYNC_FLUSH;
    band.bytes.resize(deflateBound(&stream, uLong(filtered.size())) + 64);
    stream.next_in = filtered.data();
    stream.avail_in = uInt(filtered.size());
    size_t used = 0;
    for (;;) {
        stream.next_out = band.bytes.data() + used;
        stream.avail_out = uInt(band.bytes.size() - used);
        const int result = deflate(&stream, flush);
        used = band.bytes.size() - stream.avail_out;
        if (lastBand ? result == Z_STREAM_END : result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0) break;
        if (result != Z_OK && result != Z_BUF_ERROR) throw std::runtime_error("compression failed");
        band.bytes.resize(band.bytes.size() * 2);
    }
    band.bytes.resize(used);
    return band;
}

bool WritePng(const Image& image, const std::string& name, int bitDepth, ThreadPool* pool, std::string* error) {
    const std::string path = name + ".png";
    if (!CheckImage(image, path, error)) return false;
    OutputFile output(path);
    if (!output.Create(error)) return false;
    File file = OpenStream(output, error);
    if (!file) return false;

    PngErrorState state{};
    bool ok = false;
    {
        PngWriter writer;
        writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, nullptr);
        if (writer.png) writer.info = png_create_info_struct(writer.png);
        if (writer.info)
            ok = WritePngHeader(writer.png, writer.info, file.get(), &image, bitDepth);
        else
            std::snprintf(state.message, sizeof(state.message), "out of memory");

        const size_t stride = size_t(image.width) * 4 * size_t(bitDepth / 8) + 1;
        const int bandRows = int(std::clamp<size_t>(kPngBandBytes / stride, 1, size_t(image.height)));
        const int bandCount = (image.height + bandRows - 1) / bandRows;
        auto compress = [&image, bitDepth, bandRows](int band) {
            const int first = band * bandRows;
            return CompressPngBand(image, bitDepth, first, std::min(image.height, first + bandRows));
        };
        // Bands are written in order as they finish; a bounded number in flight bounds the memory.
        const size_t window = pool ? 2 * pool->WorkerCount() : 0;
        std::deque<std::future<PngBand>> pending;
        int submitted = 0;
        uLong adler = 1;
        try {
            ok = ok && WritePngChunk(writer.png, "IDAT", kZlibHeader, sizeof(kZlibHeader));
            for (int b = 0; ok && b < bandCount; ++b) {
                PngBand band;
                if (pool) {
                    while (submitted < bandCount && pending.size() <= window)
                        pending.push_back(pool->Enqueue(compress, submitted++));
                    band = pending.front().get();
                    pending.pop_front();
                } else {
                    band = compress(b);
                }
                adler = adler32_combine(adler, band.adler, z_off_t(band.length));
                if (b + 1 == bandCount) {
                    for (int shift = 24; shift >= 0; shift -= 8) band.bytes.push_back(uint8_t(adler >> shift));
                }
                ok = WritePngChunk(writer.png, "IDAT", band.bytes.data(), band.bytes.size());
            }
            ok = ok && WritePngChunk(writer.png, "IEND", nullptr, 0);
        } catch (const std::exception& e) {
            ok = false;
            std::snprintf(state.message, sizeof(state.message), "%s", e.what());
        }
        // Bands still in flight read the image; none may outlive this call.
        for (auto& band : pending)
            if (band.valid()) band.wait();
    }
    // A short write may surface only when the buffered rest is flushed.
    const bool closed = CloseFile(file);
    if (ok && closed) return output.Commit(error);
    SetError(error, "cannot write " + path + (state.message[0] ? std::string(": ") + state.message : std::string()));
    return false;
}

// OpenEXR's own file stream cannot report a write that fails when it is closed; this one
// does, and throws on a short write like the library's streams.
class ExrFileStream : public Imf::OStream {
public:
    ExrFileStream(FILE* file, const char* path) : Imf::OStream(path), file(file) {}

    void write(const char c[], int n) override {
        if (n > 0 && std::fwrite(c, 1, size_t(n), file) != size_t(n)) {
            failed = true;
            throw Iex::IoExc(std::string("cannot write ") + fileName() + ": " + std::strerror(errno ? errno : EIO));
        }
    }
    uint64_t tellp() override {
        const off_t position = ftello(file);
        if (position < 0) failed = true;
        return uint64_t(position < 0 ? 0 : position);
    }
    void seekp(uint64_t position) override {
        if (fseeko(file, off_t(position), SEEK_SET) != 0) {
            failed = true;
            throw Iex::IoExc(std::string("cannot seek in ") + fileName());
        }
    }

    bool failed = false;

private:
    FILE* file;
};

// OpenEXR compresses on its global pool, which has no threads until someone sizes it.
int ExrThreadCount() {
    static std::once_flag sized;
    std::call_once(sized, [] {
        if (Imf::globalThreadCount() == 0) Imf::setGlobalThreadCount(int(std::max(1u, std::thread::hardware_concurrency())));
    });
    return Imf::globalThreadCount();
}

}  // namespace

bool WriteTiff8(const Image& image, const std::string& name, std::string* error) {
    return WriteTiff<uint8_t, ToRgba8>(image, name, error);
}

bool WriteTiff16(const Image& image, const std::string& name, std::string* error) {
    return WriteTiff<uint16_t, ToRgba16>(image, name, error);
}

bool WritePng8(const Image& image, const std::string& name, std::string* error, ThreadPool* pool) {
    return WritePng(image, name, 8, pool, error);
}

bool WritePng16(const Image& image, const std::string& name, std::string* error, ThreadPool* pool) {
    return WritePng(image, name, 16, pool, error);
}

bool WriteExr(const Image& image, const std::string& name, std::string* error) {
    const std::string path = name + ".exr";
    if (!CheckImage(image, path, error)) return false;
    try {
        const int threads = ExrThreadCount();
        const int width = image.width, height = image.height;
        // Rows are converted a group at a time, whole compression blocks (PIZ takes 32 rows) for
        // each of OpenEXR's threads, instead of into a half copy of the whole image; the next
        // group is converted while OpenEXR compresses the current one.
        const int groupRows = std::min(height, 32 * 2 * std::max(1, threads));
        std::vector<Imf::Rgba> groups[2];
        for (auto& group : groups) group.resize(size_t(width) * size_t(groupRows));
        auto convert = [&image, width, height, groupRows](Imf::Rgba* out, int first) {
            const int rows = std::min(groupRows, height - first);
            for (int i = 0; i < rows; ++i) {
                const float* in = image.Pixel(0, height - 1 - (first + i));
                for (int x = 0; x < width; ++x, in += 4, ++out) *out = Imf::Rgba(in[0], in[1], in[2], in[3]);
            }
        };
        OutputFile output(path);
        if (!output.Create(error)) return false;
        File file = OpenStream(output, error);
        if (!file) return false;
        ExrFileStream stream(file.get(), path.c_str());
        {
            const Imf::Header header(width, height, 1.0f, Imath::V2f(0.0f, 0.0f), 1.0f, Imf::INCREASING_Y,
                                     Imf::PIZ_COMPRESSION);
            Imf::RgbaOutputFile exr(stream, header, Imf::WRITE_RGBA, threads);
            convert(groups[0].data(), 0);
            for (int first = 0, current = 0; first < height; first += groupRows, current ^= 1) {
                const int next = first + groupRows;
                std::future<void> converted;
                if (next < height) converted = std::async(std::launch::async, convert, groups[current ^ 1].data(), next);
                // OpenEXR addresses the frame buffer by file row: its origin is where row 0 would be.
                const uintptr_t origin = reinterpret_cast<uintptr_t>(groups[current].data()) -
                                         uintptr_t(first) * uintptr_t(width) * sizeof(Imf::Rgba);
                try {
                    exr.setFrameBuffer(reinterpret_cast<Imf::Rgba*>(origin), 1, size_t(width));
                    exr.writePixels(std::min(groupRows, height - first));
                } catch (...) {
                    if (converted.valid()) converted.wait();
                    throw;
                }
                if (converted.valid()) converted.get();
            }
        }
        // The line-offset table is written when the output file closes, where OpenEXR
        // swallows errors; the stream remembers them.
        const bool closed = CloseFile(file);
        if (!stream.failed && closed) return output.Commit(error);
        SetError(error, "cannot write " + path);
    } catch (const std::exception& e) {
        SetError(error, e.what());
    } catch (...) {
        SetError(error, "cannot write " + path);
    }
    return false;
}

}  // namespace Pallix::Bake
