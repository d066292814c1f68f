#include "bake/imagewriters.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include <Imath/half.h>
#include <OpenEXR/IexBaseExc.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <png.h>
#include <tiffio.h>

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

std::string OpenError(const std::string& path, int code) {
    return "cannot create " + path + ": " + std::strerror(code);
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
    // Opening the file here tells a file that cannot be created (nothing to clean up) from
    // one libtiff created but could not write to.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetError(error, OpenError(path, errno));
        return false;
    }
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFFdOpen(fd, path.c_str(), "w"));
    if (!tif) {
        ::close(fd);
        std::remove(path.c_str());
        SetError(error, "cannot write " + path);
        return false;
    }
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
    if (!ok) {
        std::remove(path.c_str());
        SetError(error, "cannot write " + path);
    }
    return ok;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Closes the file and reports whether everything buffered reached the disk.
bool CloseFile(File& file) {
    FILE* f = file.release();
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    return std::fclose(f) == 0 && flushed;
}

// libpng reports errors by longjmp. Everything between setjmp and a possible longjmp lives
// in this plain struct and in WritePngRows, which holds no object with a destructor.
struct PngErrorState {
    char message[256];
};

void PngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    if (state) std::snprintf(state->message, sizeof(state->message), "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

bool WritePngRows(png_structp png, png_infop info, FILE* file, const Image* image, int bitDepth, unsigned char* row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(image->width), png_uint_32(image->height), bitDepth, PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int i = 0; i < image->height; ++i) {
        const int y = image->height - 1 - i;
        if (bitDepth == 8)
            ConvertRow<uint8_t, ToRgba8>(*image, y, row);
        else
            ConvertRow<uint16_t, ToRgba16BigEndian>(*image, y, reinterpret_cast<uint16_t*>(row));
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

bool WritePng(const Image& image, const std::string& name, int bitDepth, std::string* error) {
    const std::string path = name + ".png";
    if (!CheckImage(image, path, error)) return false;
    // The row buffer is made before the file so that running out of memory leaves nothing behind.
    std::vector<uint16_t> row(size_t(image.width) * 4);
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        SetError(error, OpenError(path, errno));
        return false;
    }
    PngErrorState state{};
    bool ok = false;
    {
        PngWriter writer;
        writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, nullptr);
        if (writer.png) writer.info = png_create_info_struct(writer.png);
        if (writer.info)
            ok = WritePngRows(writer.png, writer.info, file.get(), &image, bitDepth,
                              reinterpret_cast<unsigned char*>(row.data()));
        else
            std::snprintf(state.message, sizeof(state.message), "out of memory");
    }
    // A short write may surface only when the buffered rest is flushed.
    const bool closed = CloseFile(file);
    if (ok && closed) return true;
    std::remove(path.c_str());
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

}  // namespace

bool WriteTiff8(const Image& image, const std::string& name, std::string* error) {
    return WriteTiff<uint8_t, ToRgba8>(image, name, error);
}

bool WriteTiff16(const Image& image, const std::string& name, std::string* error) {
    return WriteTiff<uint16_t, ToRgba16>(image, name, error);
}

bool WritePng8(const Image& image, const std::string& name, std::string* error) {
    return WritePng(image, name, 8, error);
}

bool WritePng16(const Image& image, const std::string& name, std::string* error) {
    return WritePng(image, name, 16, error);
}

bool WriteExr(const Image& image, const std::string& name, std::string* error) {
    const std::string path = name + ".exr";
    if (!CheckImage(image, path, error)) return false;
    bool created = false;
    try {
        const size_t width = size_t(image.width), height = size_t(image.height);
        std::vector<Imf::Rgba> pixels(width * height);
        for (size_t i = 0; i < height; ++i) {
            const float* in = image.Pixel(0, int(height - 1 - i));
            Imf::Rgba* out = pixels.data() + i * width;
            for (size_t x = 0; x < width; ++x, in += 4) out[x] = Imf::Rgba(in[0], in[1], in[2], in[3]);
        }
        File file(std::fopen(path.c_str(), "wb"));
        if (!file) {
            SetError(error, OpenError(path, errno));
            return false;
        }
        created = true;
        ExrFileStream stream(file.get(), path.c_str());
        {
            const Imf::Header header(image.width, image.height, 1.0f, Imath::V2f(0.0f, 0.0f), 1.0f, Imf::INCREASING_Y,
                                     Imf::PIZ_COMPRESSION);
            Imf::RgbaOutputFile output(stream, header, Imf::WRITE_RGBA, Imf::globalThreadCount());
            output.setFrameBuffer(pixels.data(), 1, width);
            output.writePixels(image.height);
        }
        // The line-offset table is written when the output file closes, where OpenEXR
        // swallows errors; the stream remembers them.
        const bool closed = CloseFile(file);
        if (!stream.failed && closed) return true;
        SetError(error, "cannot write " + path);
    } catch (const std::exception& e) {
        SetError(error, e.what());
    } catch (...) {
        SetError(error, "cannot write " + path);
    }
    if (created) std::remove(path.c_str());
    return false;
}

}  // namespace Pallix::Bake
