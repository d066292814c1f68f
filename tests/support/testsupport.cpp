#include "support/testsupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenEXR/ImfRgbaFile.h>
#include <Imath/ImathBox.h>
#include <png.h>
#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace KelvorTest {

TempFolder::TempFolder(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ProgramResult RunProgram(const fs::path& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         const fs::path& workingFolder, uint64_t addressSpaceLimit) {
    TempFolder capture("kelvor-run");
    const fs::path outFile = capture / "stdout";
    const fs::path errFile = capture / "stderr";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        setenv("LSAN_OPTIONS", "suppressions=" KELVOR_LSAN_SUPPRESSIONS ":print_suppressions=0", 0);
        setenv("ASAN_OPTIONS", KELVOR_ASAN_PROGRAM_OPTIONS, 0);
        unsetenv("DISPLAY");
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) _exit(126);
        const rlimit limit{rlim_t(addressSpaceLimit), rlim_t(addressSpaceLimit)};
        if (addressSpaceLimit > 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        if (!freopen(outFile.c_str(), "w", stdout) || !freopen(errFile.c_str(), "w", stderr)) _exit(127);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ProgramResult result;
    int raw = 0;
    rusage usage{};
    if (child > 0) wait4(child, &raw, 0, &usage);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.peakKilobytes = usage.ru_maxrss;
    result.out = ReadAll(outFile);
    result.err = ReadAll(errFile);
    return result;
}

fs::path KelvorCmdPath() { return fs::path(KELVOR_BINARY_DIR) / "cmd" / "KelvorCmd"; }

fs::path SamplesProgramPath() { return fs::path(KELVOR_BINARY_DIR) / "tools" / "kelvor_samples"; }

ProgramResult RunKelvorCmd(const std::vector<std::string>& args, const fs::path& workingFolder,
                           uint64_t addressSpaceLimit) {
    const fs::path config = workingFolder / ".config";
    fs::create_directories(config);
    return RunProgram(KelvorCmdPath(), args, {{"XDG_CONFIG_HOME", config.string()}}, workingFolder, addressSpaceLimit);
}

void WriteObj(const fs::path& path, const std::vector<ObjMesh>& meshes) {
    std::ofstream out(path);
    out.precision(9);
    int base = 1;
    for (const ObjMesh& mesh : meshes) {
        if (!mesh.group.empty()) out << "g " << mesh.group << "\n";
        for (const auto& p : mesh.positions) out << "v " << p.x << " " << p.y << " " << p.z << "\n";
        for (const auto& t : mesh.uvs) out << "vt " << t.x << " " << t.y << "\n";
        for (const auto& n : mesh.normals) out << "vn " << n.x << " " << n.y << " " << n.z << "\n";
        const bool uv = !mesh.uvs.empty(), normal = !mesh.normals.empty();
        for (const auto& f : mesh.faces) {
            out << "f";
            for (int corner : f) {
                const int i = corner + base;
                out << " " << i;
                if (uv || normal) out << "/" << (uv ? std::to_string(i) : "");
                if (normal) out << "/" << i;
            }
            out << "\n";
        }
        base += int(mesh.positions.size());
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteObj(const fs::path& path, const ObjMesh& mesh) { WriteObj(path, std::vector<ObjMesh>{mesh}); }

ObjMesh GridMesh(int n, float x0, float x1, float y0, float y1, float u0, float u1, float v0, float v1) {
    ObjMesh mesh;
    for (int j = 0; j <= n; ++j) {
        for (int i = 0; i <= n; ++i) {
            const float s = float(i) / float(n), t = float(j) / float(n);
            mesh.positions.push_back({x0 + (x1 - x0) * s, y0 + (y1 - y0) * t, 0.0f});
            mesh.uvs.push_back({u0 + (u1 - u0) * s, v0 + (v1 - v0) * t});
            mesh.normals.push_back({0.0f, 0.0f, 1.0f});
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            mesh.faces.push_back({a, b, d});
            mesh.faces.push_back({a, d, c});
        }
    }
    return mesh;
}

namespace {

ImageFile ReadPng(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error("cannot read " + path.string());
    ImageFile file;
    file.width = int(image.width);
    file.height = int(image.height);
    file.channels = PNG_IMAGE_SAMPLE_CHANNELS(image.format);
    file.bits = (image.format & PNG_FORMAT_FLAG_LINEAR) ? 16 : 8;
    const bool sixteen = file.bits == 16;
    image.format = sixteen ? PNG_FORMAT_LINEAR_RGB_ALPHA : PNG_FORMAT_RGBA;
    // libpng's simplified reader converts 16-bit files to linear light; read the raw samples instead.
    if (sixteen) {
        png_image_free(&image);
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) throw std::runtime_error("cannot open " + path.string());
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        std::vector<png_byte> rows;
        if (setjmp(png_jmpbuf(png))) {
            png_destroy_read_struct(&png, &info, nullptr);
            std::fclose(f);
            throw std::runtime_error("cannot decode " + path.string());
        }
        png_init_io(png, f);
        png_read_info(png, info);
        const size_t stride = png_get_rowbytes(png, info);
        rows.resize(stride * file.height);
        std::vector<png_bytep> pointers(file.height);
        for (int y = 0; y < file.height; ++y) pointers[y] = rows.data() + stride * y;
        png_read_image(png, pointers.data());
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        file.pixels.resize(size_t(file.width) * file.height * 4);
        for (size_t i = 0; i < file.pixels.size(); ++i)
            file.pixels[i] = float((rows[2 * i] << 8) | rows[2 * i + 1]) / 65535.0f;
        return file;
    }
    std::vector<png_byte> buffer(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr))
        throw std::runtime_error("cannot decode " + path.string());
    file.pixels.resize(buffer.size());
    for (size_t i = 0; i < buffer.size(); ++i) file.pixels[i] = float(buffer[i]) / 255.0f;
    return file;
}

ImageFile ReadTiff(const fs::path& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) throw std::runtime_error("cannot read " + path.string());
    ImageFile file;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    file.width = int(width);
    file.height = int(height);
    file.bits = bits;
    file.channels = samples;
    file.pixels.assign(size_t(width) * height * 4, 0.0f);
    std::vector<uint8_t> row(TIFFScanlineSize(tif));
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) < 0) {
            TIFFClose(tif);
            throw std::runtime_error("cannot decode " + path.string());
        }
        for (uint32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 4 && c < samples; ++c) {
                const size_t sample = size_t(x) * samples + c;
                float value = 0.0f;
                if (bits == 16) {
                    uint16_t v;
                    std::memcpy(&v, row.data() + 2 * sample, 2);
                    value = float(v) / 65535.0f;
                } else {
                    value = float(row[sample]) / 255.0f;
                }
                file.pixels[(size_t(y) * width + x) * 4 + c] = value;
            }
        }
    }
    TIFFClose(tif);
    return file;
}

ImageFile ReadExr(const fs::path& path) {
    Imf::RgbaInputFile input(path.c_str());
    const Imath::Box2i window = input.dataWindow();
    ImageFile file;
    file.width = window.max.x - window.min.x + 1;
    file.height = window.max.y - window.min.y + 1;
    file.bits = 16;
    file.channels = 4;
    std::vector<Imf::Rgba> pixels(size_t(file.width) * file.height);
    input.setFrameBuffer(pixels.data() - window.min.x - size_t(window.min.y) * file.width, 1, file.width);
    input.readPixels(window.min.y, window.max.y);
    file.pixels.resize(pixels.size() * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        file.pixels[4 * i + 0] = pixels[i].r;
        file.pixels[4 * i + 1] = pixels[i].g;
        file.pixels[4 * i + 2] = pixels[i].b;
        file.pixels[4 * i + 3] = pixels[i].a;
    }
    return file;
}

}  // namespace

ImageFile ReadImageFile(const fs::path& path) {
    const std::string extension = path.extension().string();
    if (extension == ".png") return ReadPng(path);
    if (extension == ".tif") return ReadTiff(path);
    if (extension == ".exr") return ReadExr(path);
    throw std::runtime_error("unknown image type " + path.string());
}

}  // namespace KelvorTest
