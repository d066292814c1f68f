#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include <unistd.h>

#include <Imath/half.h>
#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include "bake/imagewriters.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

fs::path TempDir(const char* name) {
    fs::path dir = fs::temp_directory_path() / ("kelvor_" + std::string(name) + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Row 1 (the top of the map, so the first row of every file) holds the interesting values;
// row 0 is a plain ramp so that a file written first-row-first is told apart.
Image TestImage() {
    Image image(2, 2);
    const float top[8] = {0.5f, 1.5f, -0.25f, kNaN, 1.0f, 0.0f, 0.25f, 4660.5f / 65535.0f};
    const float bottom[8] = {0.1f, 0.2f, 0.3f, 0.4f, 0.6f, 0.7f, 0.8f, 0.9f};
    std::copy(top, top + 8, image.Pixel(0, 1));
    std::copy(bottom, bottom + 8, image.Pixel(0, 0));
    return image;
}

struct TiffFile {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0, alpha = 0;
    std::vector<std::vector<uint8_t>> rows;
};

TiffFile ReadTiff(const fs::path& path) {
    TiffFile file;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return file;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &file.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &file.height);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &file.samples);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &file.bits);
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount == 1) file.alpha = extra[0];
    for (uint32_t y = 0; y < file.height; ++y) {
        std::vector<uint8_t> row(size_t(TIFFScanlineSize(tif)));
        if (TIFFReadScanline(tif, row.data(), y, 0) < 0) break;
        file.rows.push_back(std::move(row));
    }
    TIFFClose(tif);
    return file;
}

struct PngFile {
    uint32_t width = 0, height = 0;
    int depth = 0, colourType = -1;
    std::vector<std::vector<uint8_t>> rows;  // raw bytes as stored, big-endian for 16 bits
};

PngFile ReadPng(const fs::path& path) {
    PngFile file;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return file;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        file.width = png_get_image_width(png, info);
        file.height = png_get_image_height(png, info);
        file.depth = png_get_bit_depth(png, info);
        file.colourType = png_get_color_type(png, info);
        file.rows.assign(file.height, std::vector<uint8_t>(png_get_rowbytes(png, info)));
        for (auto& row : file.rows) png_read_row(png, row.data(), nullptr);
        png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return file;
}

uint16_t Host16(const std::vector<uint8_t>& row, size_t sample) {
    uint16_t v;
    std::memcpy(&v, row.data() + sample * 2, 2);
    return v;
}

uint16_t Big16(const std::vector<uint8_t>& row, size_t sample) {
    return uint16_t(row[sample * 2] << 8 | row[sample * 2 + 1]);
}

}  // namespace

TEST(SampleConversions, RoundTruncateAndClamp) {
    EXPECT_EQ(ToRgba8(0.5f), 128);
    EXPECT_EQ(ToRgba8(1.5f), 255);
    EXPECT_EQ(ToRgba8(-0.25f), 0);
    EXPECT_EQ(ToRgba8(kNaN), 0);
    EXPECT_EQ(ToRgba8(0.998f), 254);  // 254.49 + 0.5 truncates to 254
    EXPECT_EQ(ToRgba16(0.5f), 32767);
    EXPECT_EQ(ToRgba16(1.0f), 65535);
    EXPECT_EQ(ToRgba16(kNaN), 0);
    EXPECT_EQ(ToRgba16(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(ToRgba16BigEndian(4660.5f / 65535.0f), 0x3412);
}

TEST(Writers, TiffFilesHoldTheTopRowFirst) {
    const fs::path dir = TempDir("tiff");
    const Image image = TestImage();
    ASSERT_TRUE(WriteTiff8(image, (dir / "map8").string()));
    ASSERT_TRUE(WriteTiff16(image, (dir / "map16").string()));

    const TiffFile t8 = ReadTiff(dir / "map8.tif");
    EXPECT_EQ(t8.width, 2u);
    EXPECT_EQ(t8.height, 2u);
    EXPECT_EQ(t8.samples, 4);
    EXPECT_EQ(t8.bits, 8);
    EXPECT_EQ(t8.alpha, EXTRASAMPLE_UNASSALPHA);
    ASSERT_EQ(t8.rows.size(), 2u);
    const std::vector<uint8_t> first8 = {128, 255, 0, 0, 255, 0, 64, 18};
    EXPECT_EQ(std::vector<uint8_t>(t8.rows[0].begin(), t8.rows[0].begin() + 8), first8);
    EXPECT_EQ(t8.rows[1][0], 26);  // 0.1 of the bottom row

    const TiffFile t16 = ReadTiff(dir / "map16.tif");
    EXPECT_EQ(t16.bits, 16);
    ASSERT_EQ(t16.rows.size(), 2u);
    const uint16_t first16[8] = {32767, 65535, 0, 0, 65535, 0, 16383, 0x1234};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(Host16(t16.rows[0], i), first16[i]) << i;
    EXPECT_EQ(Host16(t16.rows[1], 0), 6553);
}

TEST(Writers, PngFilesAreRgbaWithBigEndianSixteenBitSamples) {
    const fs::path dir = TempDir("png");
    const Image image = TestImage();
    ASSERT_TRUE(WritePng8(image, (dir / "map8").string()));
    ASSERT_TRUE(WritePng16(image, (dir / "map16").string()));

    const PngFile p8 = ReadPng(dir / "map8.png");
    EXPECT_EQ(p8.width, 2u);
    EXPECT_EQ(p8.height, 2u);
    EXPECT_EQ(p8.depth, 8);
    EXPECT_EQ(p8.colourType, PNG_COLOR_TYPE_RGBA);
    ASSERT_EQ(p8.rows.size(), 2u);
    EXPECT_EQ(p8.rows[0], (std::vector<uint8_t>{128, 255, 0, 0, 255, 0, 64, 18}));
    EXPECT_EQ(p8.rows[1][0], 26);

    const PngFile p16 = ReadPng(dir / "map16.png");
    EXPECT_EQ(p16.depth, 16);
    ASSERT_EQ(p16.rows.size(), 2u);
    EXPECT_EQ(p16.rows[0][14], 0x12);
    EXPECT_EQ(p16.rows[0][15], 0x34);
    const uint16_t first16[8] = {32767, 65535, 0, 0, 65535, 0, 16383, 0x1234};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(Big16(p16.rows[0], i), first16[i]) << i;
    EXPECT_EQ(Big16(p16.rows[1], 0), 6553);
}

TEST(Writers, ExrKeepsValuesOutsideTheUnitRange) {
    const fs::path dir = TempDir("exr");
    const Image image = TestImage();
    ASSERT_TRUE(WriteExr(image, (dir / "map").string()));

    Imf::RgbaInputFile file((dir / "map.exr").c_str());
    const Imath::Box2i window = file.dataWindow();
    ASSERT_EQ(window.max.x - window.min.x + 1, 2);
    ASSERT_EQ(window.max.y - window.min.y + 1, 2);
    EXPECT_EQ(file.compression(), Imf::PIZ_COMPRESSION);
    Imf::Array2D<Imf::Rgba> pixels(2, 2);
    file.setFrameBuffer(&pixels[0][0] - window.min.x - window.min.y * 2, 1, 2);
    file.readPixels(window.min.y, window.max.y);
    EXPECT_EQ(float(pixels[0][0].r), 0.5f);
    EXPECT_EQ(float(pixels[0][0].g), 1.5f);
    EXPECT_EQ(float(pixels[0][0].b), -0.25f);
    EXPECT_TRUE(pixels[0][0].a.isNan());
    EXPECT_EQ(float(pixels[0][1].r), 1.0f);
    EXPECT_EQ(float(pixels[1][0].r), float(half(0.1f)));
}

TEST(Writers, AFileThatCannotBeWrittenIsReportedAndRemoved) {
    const fs::path dir = TempDir("writefail");
    const Image image = TestImage();
    using Writer = bool (*)(const Image&, const std::string&, std::string*);
    const std::pair<Writer, const char*> writers[] = {
        {WriteTiff8, ".tif"}, {WriteTiff16, ".tif"}, {WritePng8, ".png"}, {WritePng16, ".png"}, {WriteExr, ".exr"}};
    for (const auto& [write, extension] : writers) {
        std::string error;
        EXPECT_FALSE(write(image, (dir / "missing" / "map").string(), &error)) << extension;
        EXPECT_NE(error.find("missing"), std::string::npos) << error;

        // A full disk: every byte written to /dev/full fails, some only when flushed.
        const fs::path full = dir / (std::string("full") + extension);
        fs::create_symlink("/dev/full", full);
        error.clear();
        EXPECT_FALSE(write(image, (dir / "full").string(), &error)) << extension;
        EXPECT_FALSE(error.empty()) << extension;
        EXPECT_FALSE(fs::exists(fs::symlink_status(full))) << extension;

        const Image empty(0, 0);
        EXPECT_FALSE(write(empty, (dir / "empty").string(), nullptr)) << extension;
        EXPECT_FALSE(fs::exists(dir / (std::string("empty") + extension))) << extension;
    }
}

TEST(Writers, PngLibraryErrorsAreReportedWithoutLeaks) {
    // Wider than libpng accepts by default: png_set_IHDR fails through its error jump.
    const fs::path dir = TempDir("pngerror");
    const Image wide(1000001, 1);
    std::string error;
    EXPECT_FALSE(WritePng8(wide, (dir / "wide").string(), &error));
    EXPECT_NE(error.find("wide.png"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "wide.png"));
}
