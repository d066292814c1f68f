#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <Imath/half.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include "bake/imagewriters.h"
#include "core/outputfile.h"
#include "core/threadpool.h"
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

struct Format {
    Writer write;
    const char* name;
    const char* extension;
};

// Every writer, with the pool-less PNG path.
const Format kFormats[] = {
    {WriteTiff8, "tiff8", ".tif"},
    {WriteTiff16, "tiff16", ".tif"},
    {[](const Image& i, const std::string& n, std::string* e) { return WritePng8(i, n, e); }, "png8", ".png"},
    {[](const Image& i, const std::string& n, std::string* e) { return WritePng16(i, n, e); }, "png16", ".png"},
    {WriteExr, "exr", ".exr"},
};

// Values over the whole range, outside it and NaN, different in every sample.
Image NoiseImage(int width, int height, uint32_t seed) {
    Image image(width, height);
    for (size_t i = 0; i < image.FloatCount(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        image.data[i] = float(seed >> 8) * (1.2f / 16777216.0f) - 0.1f;
        if (seed % 97 == 0) image.data[i] = kNaN;
    }
    return image;
}

std::vector<std::string> FolderNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Makes every write past a few kilobytes fail as on a full disk, for the life of the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

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
    for (const Format& c : kFormats) {
        if (c.write == WriteExr) continue;
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.write(image, (dir / c.name).string(), nullptr));
        const ImageFile file = ReadImageFile(dir / (std::string(c.name) + c.extension));
        EXPECT_EQ(file.width, 2);
        EXPECT_EQ(file.height, 2);
        const int bits = std::string(c.name).find("16") != std::string::npos ? 16 : 8;
        EXPECT_EQ(file.bits, bits);
        EXPECT_EQ(file.channels, 4);
        const float scale = bits == 8 ? 255.0f : 65535.0f;
        const std::vector<int>& top = bits == 8 ? top8 : top16;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(std::lround(file.At(0, 0)[i] * scale), top[size_t(i)]) << i;
        EXPECT_EQ(std::lround(file.At(0, 1)[0] * scale), bits == 8 ? 26 : 6553);  // 0.1 of the bottom row
    }
    // TIFF files mark their fourth sample as unassociated alpha.
    TIFF* tif = TIFFOpen((dir / "tiff8.tif").c_str(), "r");
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

TEST(Writers, PngLibraryErrorsAreReportedWithoutLeaks) {
    // Wider than libpng accepts by default: png_set_IHDR fails through its error jump.
    const TempFolder dir("kelvor-pngerror");
    const Image wide(1000001, 1);
    std::string error;
    EXPECT_FALSE(WritePng8(wide, (dir / "wide").string(), &error));
    EXPECT_NE(error.find("wide.png"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "wide.png"));
}

namespace {

uint32_t BigEndian32(const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Checks every chunk's CRC, that the IDAT chunks follow each other, and inflates their data as
// one zlib stream (Adler-32 checked); returns the inflated bytes.
std::string InflatePngStream(const std::string& file) {
    EXPECT_EQ(file.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    std::string stream, type, previous;
    size_t at = 8;
    int idatRuns = 0;
    while (at + 12 <= file.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(file.data() + at);
        const uint32_t length = BigEndian32(p);
        if (at + 12 + length > file.size()) break;
        type.assign(file, at + 4, 4);
        EXPECT_EQ(crc32(0, p + 4, length + 4), BigEndian32(p + 8 + length)) << type;
        if (type == "IDAT") {
            if (previous != "IDAT") ++idatRuns;
            stream.append(file, at + 8, length);
        }
        previous = type;
        at += 12 + length;
    }
    EXPECT_EQ(type, "IEND");
    EXPECT_EQ(at, file.size());
    EXPECT_EQ(idatRuns, 1);

    std::string out(1 << 16, '\0');
    std::string inflated;
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = uInt(out.size());
        result = inflate(&z, Z_NO_FLUSH);
        inflated.append(out, 0, out.size() - z.avail_out);
    }
    EXPECT_EQ(result, Z_STREAM_END) << (z.msg ? z.msg : "");
    EXPECT_EQ(z.avail_in, 0u);  // nothing after the stream's end
    inflateEnd(&z);
    return inflated;
}

}  // namespace

TEST(Writers, PngBandsMakeOneStreamThatReadsBackExactly) {
    const TempFolder dir("kelvor-pngbands");
    ThreadPool pool(3);
    // Sizes around one band, many bands with a short last one, and a single pixel.
    const std::pair<int, int> sizes[] = {{1, 1}, {300, 1000}, {2049, 37}};
    for (const auto& [width, height] : sizes) {
        const Image image = NoiseImage(width, height, uint32_t(width * 31 + height));
        for (const int bits : {8, 16}) {
            for (ThreadPool* withPool : {static_cast<ThreadPool*>(nullptr), &pool}) {
                SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", " + std::to_string(bits) +
                             " bits" + (withPool ? ", pool" : ""));
                const std::string name = (dir / "map").string();
                ASSERT_TRUE(bits == 8 ? WritePng8(image, name, nullptr, withPool)
                                      : WritePng16(image, name, nullptr, withPool));
                const std::string bytes = ReadAll(name + ".png");
                const size_t rowBytes = size_t(width) * 4 * size_t(bits / 8);
                EXPECT_EQ(InflatePngStream(bytes).size(), size_t(height) * (rowBytes + 1));

                const ImageFile file = ReadImageFile(name + ".png");
                ASSERT_EQ(file.width, width);
                ASSERT_EQ(file.height, height);
                ASSERT_EQ(file.bits, bits);
                size_t wrong = 0;
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        for (int c = 0; c < 4; ++c) {
                            const float value = image.Pixel(x, height - 1 - y)[c];
                            const long want = bits == 8 ? long(ToRgba8(value)) : long(ToRgba16(value));
                            wrong += std::lround(file.At(x, y)[c] * (bits == 8 ? 255.0f : 65535.0f)) != want;
                        }
                EXPECT_EQ(wrong, 0u);
            }
        }
    }
}

TEST(Writers, ExrRowGroupsLandOnTheirRows) {
    // Taller than a group of rows however many threads OpenEXR runs, with a short last group.
    const TempFolder dir("kelvor-exrrows");
    const Image image = NoiseImage(5, 1100, 7);
    ASSERT_TRUE(WriteExr(image, (dir / "map").string()));
    const ImageFile file = ReadImageFile(dir / "map.exr");
    ASSERT_EQ(file.width, 5);
    ASSERT_EQ(file.height, 1100);
    size_t wrong = 0;
    for (int y = 0; y < 1100; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 4; ++c) {
                const float want = float(half(image.Pixel(x, 1099 - y)[c]));
                const float got = file.At(x, y)[c];
                wrong += !(got == want || (std::isnan(got) && std::isnan(want)));
            }
    EXPECT_EQ(wrong, 0u);
}

TEST(Writers, AFailedWriteLeavesTheEarlierFileAndNoTemporary) {
    const TempFolder dir("kelvor-writefail");
    const Image image = NoiseImage(64, 64, 3);
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.name);
        std::string error;
        EXPECT_FALSE(format.write(image, (dir / "missing" / "map").string(), &error));
        EXPECT_NE(error.find("missing"), std::string::npos) << error;

        // A disk that fills part-way through the file.
        const fs::path target = dir / (std::string(format.name) + format.extension);
        { std::ofstream(target) << "earlier"; }
        {
            const FileSizeLimit limit(4096);
            error.clear();
            EXPECT_FALSE(format.write(image, (dir / format.name).string(), &error));
        }
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(ReadAll(target), "earlier");

        const Image empty(0, 0);
        EXPECT_FALSE(format.write(empty, (dir / "empty").string(), nullptr));
    }
    {
        const fs::path cache = dir / "cache.mif";
        { std::ofstream(cache) << "earlier"; }
        const FileSizeLimit limit(4096);
        EXPECT_FALSE(WriteMifCache((dir / "cache").string(), image));
        EXPECT_EQ(ReadAll(cache), "earlier");
    }
    const std::vector<std::string> expected{"cache.mif", "exr.exr", "png16.png", "png8.png", "tiff16.tif", "tiff8.tif"};
    EXPECT_EQ(FolderNames(dir.Path()), expected);
}

TEST(Writers, TwoWritersOfOnePathLeaveOneWholeImage) {
    const TempFolder dir("kelvor-writerace");
    const Image first = NoiseImage(512, 512, 11), second = NoiseImage(512, 512, 12);
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.name);
        ASSERT_TRUE(format.write(first, (dir / "first").string(), nullptr));
        ASSERT_TRUE(format.write(second, (dir / "second").string(), nullptr));
        const std::string firstBytes = ReadAll(dir / (std::string("first") + format.extension));
        const std::string secondBytes = ReadAll(dir / (std::string("second") + format.extension));
        ASSERT_NE(firstBytes, secondBytes);
        const std::string shared = (dir / "shared").string();
        for (int round = 0; round < 5; ++round) {
            std::atomic<int> ready{0};
            auto write = [&](const Image* image) {
                ++ready;
                while (ready.load() < 2) std::this_thread::yield();
                EXPECT_TRUE(format.write(*image, shared, nullptr));
            };
            std::thread a(write, &first), b(write, &second);
            a.join();
            b.join();
            const std::string bytes = ReadAll(shared + format.extension);
            EXPECT_TRUE(bytes == firstBytes || bytes == secondBytes) << "round " << round;
        }
        fs::remove(dir / (std::string("first") + format.extension));
        fs::remove(dir / (std::string("second") + format.extension));
        fs::remove(shared + format.extension);
        EXPECT_TRUE(FolderNames(dir.Path()).empty());
    }
}

TEST(OutputFile, TheTargetChangesOnlyWhenTheWriteIsCommitted) {
    const TempFolder dir("kelvor-outputfile");
    const fs::path target = dir / "map.tif";
    { std::ofstream(target) << "earlier"; }
    auto writeNew = [&](OutputFile& file) {
        ASSERT_TRUE(file.Create(nullptr));
        EXPECT_EQ(fs::path(file.TemporaryPath()).parent_path(), dir.Path());
        ASSERT_EQ(::write(file.Descriptor(), "new", 3), 3);
        EXPECT_EQ(ReadAll(target), "earlier");
    };
    {
        OutputFile abandoned(target.string());
        writeNew(abandoned);
    }
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"map.tif"});
    OutputFile file(target.string());
    writeNew(file);
    ASSERT_TRUE(file.Commit(nullptr));
    EXPECT_EQ(ReadAll(target), "new");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"map.tif"});

    // A target that cannot be replaced fails the commit and leaves nothing behind.
    fs::create_directory(dir / "folder.tif");
    OutputFile onFolder((dir / "folder.tif").string());
    ASSERT_TRUE(onFolder.Create(nullptr));
    std::string error;
    EXPECT_FALSE(onFolder.Commit(&error));
    EXPECT_NE(error.find("folder.tif"), std::string::npos) << error;
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"folder.tif", "map.tif"}));
}

TEST(OutputFile, ACommittedWriteRemovesTheTemporariesThatEndedRunsLeftBesideItsTarget) {
    const TempFolder dir("kelvor-outputleftovers");
    const pid_t gone = ::fork();
    if (gone == 0) std::_Exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string dead = std::to_string(gone), alive = std::to_string(::getppid()),
                      self = std::to_string(::getpid());
    const std::vector<std::string> abandoned{"map.png." + dead + "-0.tmp", "map.png." + dead + "-17.tmp"};
    // A live writer's, this process's own, another target's, and names not of the pattern.
    std::vector<std::string> kept{"map.png",
                                  "map.png." + alive + "-3.tmp",
                                  "map.png." + self + "-999.tmp",
                                  "other.png." + dead + "-0.tmp",
                                  "map.png." + dead + ".tmp",
                                  "map.png.0" + dead + "-1.tmp",
                                  "map.png." + dead + "-1.tmp.bak"};
    for (const auto& name : abandoned) std::ofstream(dir / name) << "partial";
    for (const auto& name : kept) std::ofstream(dir / name) << "other";
    std::sort(kept.begin(), kept.end());

    // Only a write that reached its target clears them.
    OutputFile discarded((dir / "map.png").string());
    ASSERT_TRUE(discarded.Create(nullptr));
    discarded.Discard();
    EXPECT_EQ(FolderNames(dir.Path()).size(), abandoned.size() + kept.size());

    OutputFile file((dir / "map.png").string());
    ASSERT_TRUE(file.Create(nullptr));
    ASSERT_TRUE(file.Commit(nullptr));
    EXPECT_EQ(FolderNames(dir.Path()), kept);
}

TEST(OutputFile, SigtermRemovesTheTemporaryOfAWriteUnderWay) {
    // Forked, so that the child writes into this test's folder.
    GTEST_FLAG_SET(death_test_style, "fast");
    const TempFolder dir("kelvor-outputsignal");
    const fs::path target = dir / "map.png";
    { std::ofstream(target) << "earlier"; }
    EXPECT_EXIT(
        {
            InstallOutputFileCleanup();
            OutputFile file(target.string());
            if (!file.Create(nullptr) || ::write(file.Descriptor(), "partial", 7) != 7) std::_Exit(1);
            std::raise(SIGTERM);
            std::_Exit(2);
        },
        testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"map.png"});
    EXPECT_EQ(ReadAll(target), "earlier");
}
