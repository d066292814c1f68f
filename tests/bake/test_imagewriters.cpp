#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include <Imath/half.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include "bake/imagewriters.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

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

using Writer = bool (*)(const Image&, const std::string&, std::string*);

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

TEST(Writers, IntegerFilesHoldTheTopRowFirstInTheirDepth) {
    const TempFolder dir("kelvor-writers");
    const Image image = TestImage();
    const std::vector<int> top8{128, 255, 0, 0, 255, 0, 64, 18}, top16{32767, 65535, 0, 0, 65535, 0, 16383, 0x1234};
    const struct {
        Writer write;
        const char* name;
        const char* extension;
        int bits;
    } cases[] = {{WriteTiff8, "t8", ".tif", 8}, {WriteTiff16, "t16", ".tif", 16}, {WritePng8, "p8", ".png", 8},
                 {WritePng16, "p16", ".png", 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.write(image, (dir / c.name).string(), nullptr));
        const ImageFile file = ReadImageFile(dir / (std::string(c.name) + c.extension));
        EXPECT_EQ(file.width, 2);
        EXPECT_EQ(file.height, 2);
        EXPECT_EQ(file.bits, c.bits);
        EXPECT_EQ(file.channels, 4);
        const float scale = c.bits == 8 ? 255.0f : 65535.0f;
        const std::vector<int>& top = c.bits == 8 ? top8 : top16;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(std::lround(file.At(0, 0)[i] * scale), top[size_t(i)]) << i;
        EXPECT_EQ(std::lround(file.At(0, 1)[0] * scale), c.bits == 8 ? 26 : 6553);  // 0.1 of the bottom row
    }
    // TIFF files mark their fourth sample as unassociated alpha.
    TIFF* tif = TIFFOpen((dir / "t8.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    ASSERT_EQ(TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra), 1);
    EXPECT_EQ(extraCount, 1);
    EXPECT_EQ(extra[0], EXTRASAMPLE_UNASSALPHA);
    TIFFClose(tif);
}

TEST(Writers, ExrKeepsValuesOutsideTheUnitRange) {
    const TempFolder dir("kelvor-exr");
    ASSERT_TRUE(WriteExr(TestImage(), (dir / "map").string()));
    EXPECT_EQ(Imf::RgbaInputFile((dir / "map.exr").c_str()).compression(), Imf::PIZ_COMPRESSION);
    const ImageFile file = ReadImageFile(dir / "map.exr");
    ASSERT_EQ(file.width, 2);
    ASSERT_EQ(file.height, 2);
    EXPECT_EQ(file.At(0, 0)[0], 0.5f);
    EXPECT_EQ(file.At(0, 0)[1], 1.5f);
    EXPECT_EQ(file.At(0, 0)[2], -0.25f);
    EXPECT_TRUE(std::isnan(file.At(0, 0)[3]));
    EXPECT_EQ(file.At(1, 0)[0], 1.0f);
    EXPECT_EQ(file.At(0, 1)[0], float(half(0.1f)));
}

TEST(Writers, AFileThatCannotBeWrittenIsReportedAndRemoved) {
    const TempFolder dir("kelvor-writefail");
    const Image image = TestImage();
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
    const TempFolder dir("kelvor-pngerror");
    const Image wide(1000001, 1);
    std::string error;
    EXPECT_FALSE(WritePng8(wide, (dir / "wide").string(), &error));
    EXPECT_NE(error.find("wide.png"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "wide.png"));
}
