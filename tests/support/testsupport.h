#pragma once

// Helpers shared by the test binaries: temporary folders, running the programs, writing small
// meshes and reading the written images back.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/vecmath.h"

namespace KelvorTest {

namespace fs = std::filesystem;

// Sanitizer builds reserve more address space than any limit a test could set.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizer = true;
#else
constexpr bool AddressSanitizer = false;
#endif

inline Pallix::Math::Vec3 Unit(Pallix::Math::Vec3 v) { return v * (1.0f / Pallix::Math::Length(v)); }

inline void ExpectNear(Pallix::Math::Vec3 got, Pallix::Math::Vec3 want, float tolerance) {
    EXPECT_NEAR(got.x, want.x, tolerance);
    EXPECT_NEAR(got.y, want.y, tolerance);
    EXPECT_NEAR(got.z, want.z, tolerance);
}

// The whole file, empty when it cannot be read.
std::string ReadAll(const fs::path& path);

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "kelvor");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& Path() const { return path; }
    fs::path operator/(const std::string& name) const { return path / name; }

private:
    fs::path path;
};

struct ProgramResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    long peakKilobytes = 0;  // the most resident memory the program held
};

// Runs a program with arguments, extra environment variables and a working folder, and
// captures its output; with an address-space limit in bytes, under it, as `ulimit -v` sets one.
// Sanitizer builds pass the Mesa leak suppressions on.
ProgramResult RunProgram(const fs::path& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         const fs::path& workingFolder = {}, uint64_t addressSpaceLimit = 0);

// The built KelvorCmd and sample generator.
fs::path KelvorCmdPath();
fs::path SamplesProgramPath();

// Runs KelvorCmd in workingFolder with a settings folder of its own inside it.
ProgramResult RunKelvorCmd(const std::vector<std::string>& args, const fs::path& workingFolder,
                           uint64_t addressSpaceLimit = 0);

// A triangle mesh for OBJ files; uvs and normals, when present, have one entry per position
// and faces use the same index for v, vt and vn.
struct ObjMesh {
    std::vector<Pallix::Math::Vec3> positions;
    std::vector<Pallix::Math::Vec2> uvs;
    std::vector<Pallix::Math::Vec3> normals;
    std::vector<std::array<int, 3>> faces;  // 0-based
    std::string group;                      // written as "g <group>" when not empty
};
void WriteObj(const fs::path& path, const std::vector<ObjMesh>& meshes);
void WriteObj(const fs::path& path, const ObjMesh& mesh);

// An n x n grid of quads over [x0, x1] x [y0, y1] at height z(x, y) with normals n(x, y),
// UVs given by (u0 + (u1 - u0) s, v0 + (v1 - v0) t) for the grid parameters s, t in [0, 1].
ObjMesh GridMesh(int n, float x0, float x1, float y0, float y1, float u0 = 0, float u1 = 1, float v0 = 0,
                 float v1 = 1);

// An image file read back: top file row first, channel values scaled to [0, 1] for 8 and 16
// bits, raw halves for EXR.
struct ImageFile {
    int width = 0;
    int height = 0;
    int bits = 0;
    int channels = 0;
    std::vector<float> pixels;  // width * height * 4, RGBA

    // Pixel (x, y) counted from the top-left corner of the file.
    const float* At(int x, int y) const { return &pixels[(size_t(y) * width + x) * 4]; }
};
// Reads a .png, .tif or .exr file; throws std::runtime_error when it cannot.
ImageFile ReadImageFile(const fs::path& path);

}  // namespace KelvorTest
