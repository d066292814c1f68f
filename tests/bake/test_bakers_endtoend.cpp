#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "bake/bakemanager.h"
#include "events/eventreporter.h"
#include "meshfiles.h"
#include "support/testsupport.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
using namespace KelvorTest;

namespace {

constexpr float Pi = 3.14159265f;

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The square [x0, x1] x [y0, y1] at height z as the low-poly of a bake (two triangles, UVs over
// the whole first UV tile).
ObjMesh Square(float x0, float x1, float y0, float y1, float z = 0.0f) {
    ObjMesh mesh = GridMesh(1, x0, x1, y0, y1);
    for (auto& p : mesh.positions) p.z = z;
    return mesh;
}

// A job baked in this process, for the map types KelvorCmd has no keyword for.
struct InProcess {
    TempFolder folder{"kelvor-bakers"};
    EventReporter reporter{"test"};
    TraceGridSettings grid;
    BakeManager manager{&reporter, &grid};
    BakeJob job;

    explicit InProcess(int type) {
        ChooseTraceKernel(CpuFeatures(), &grid, SimdAuto, PrecisionDefault);
        manager.SetThreadCount(4);
        manager.Init(4, 1024, 1024);
        WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
        WriteObj(folder / "high.obj", Square(-0.6f, 0.6f, -0.6f, 0.6f, 0.05f));
        job.width = job.height = 256;
        job.dilation = 0;
        job.outputFormat = FormatPng8;
        job.lowPolyPath = (folder / "low.obj").string();
        job.AddHighPolyPath((folder / "high.obj").string().c_str());
        job.outputPath = (folder / "crate").string();
        MapSettings& map = job.AddMap();
        map.type = type;
        map.supersampling = 1;
        map.blur = 0.0f;
    }

    void Bake() {
        std::vector<BakeJob*> jobs{&job};
        manager.Bake(&jobs);
        ASSERT_FALSE(manager.HasFailed());
    }
};

}  // namespace

TEST(BakersEndToEnd, FlatCurvatureIsFullRedNoGreenHalfBlue) {
    InProcess bake(MapCurvature);
    bake.Bake();
    const ImageFile packed = ReadImageFile(bake.folder / "crate_curvature_packed.png");
    ASSERT_EQ(packed.width, 256);
    int covered = 0;
    for (int y = 0; y < packed.height; ++y) {
        for (int x = 0; x < packed.width; ++x) {
            const float* p = packed.At(x, y);
            if (p[3] == 0.0f) continue;
            ++covered;
            ASSERT_EQ(p[0] * 255.0f, 255.0f) << x << ", " << y;
            ASSERT_EQ(p[1] * 255.0f, 0.0f) << x << ", " << y;
            ASSERT_EQ(p[2] * 255.0f, 128.0f) << x << ", " << y;
        }
    }
    EXPECT_EQ(covered, 256 * 256);
    for (const char* name : {"crate_concavity.png", "crate_convexity.png", "crate_curvature.png"})
        EXPECT_TRUE(fs::exists(bake.folder / name)) << name;
}

TEST(BakersEndToEnd, DiagnosticMapIsEmptyAndPrintsItsTable) {
    InProcess bake(MapDiagnostic);
    testing::internal::CaptureStdout();
    bake.Bake();
    const std::string out = testing::internal::GetCapturedStdout();
    std::string table;
    for (int i = 0; i < 8; ++i) table += "Method " + std::to_string(i) + " Total error 0.000000, significant errors 0\n";
    EXPECT_NE(out.find(table), std::string::npos) << out;
    const ImageFile image = ReadImageFile(bake.folder / "crate_diag.png");
    ASSERT_EQ(image.width, 256);
    EXPECT_TRUE(std::all_of(image.pixels.begin(), image.pixels.end(), [](float v) { return v == 0.0f; }));
}

TEST(BakersEndToEnd, WorldPositionOfAQuadAtTenSpansItsOwnCoordinates) {
    TempFolder folder("kelvor-position");
    WriteObj(folder / "low.obj", Square(9.5f, 10.5f, -0.5f, 0.5f));
    WriteObj(folder / "high.obj", Square(9.5f, 10.5f, -0.5f, 0.5f));
    const ProgramResult run = RunKelvorCmd({"position", "--low", (folder / "low.obj").string(), "--high",
                                            (folder / "high.obj").string(), "-p", (folder / "quad").string(),
                                            "--format", "exr", "--width", "256", "--height", "256"},
                                           folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const ImageFile image = ReadImageFile(folder / "quad_worldposition.exr");
    ASSERT_EQ(image.width, 256);
    float low = 1e9f, high = -1e9f;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const float* p = image.At(x, y);
            ASSERT_EQ(p[3], 1.0f);
            low = std::min(low, p[0]);
            high = std::max(high, p[0]);
            EXPECT_NEAR(p[2], 0.0f, 1e-3f);
        }
    }
    // Texel centres lie half a texel inside the quad; halves near 10 step by 1/128.
    EXPECT_NEAR(low, 9.5f, 0.01f);
    EXPECT_NEAR(high, 10.5f, 0.01f);
}

TEST(BakersEndToEnd, PlyAndObjVertexColoursComeOutUnchanged) {
    TempFolder folder("kelvor-vcolor");
    WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
    const ObjMesh high = Square(-0.6f, 0.6f, -0.6f, 0.6f, 0.05f);
    MeshFiles::WritePly(folder / "high.ply", high, std::vector<Colour32>(high.positions.size(), PackColour(255, 128, 0, 255)));
    {
        // A sculpting tool's colour line: one MMRRGGBB block per vertex, before the faces.
        std::ofstream obj(folder / "high.obj");
        for (const auto& p : high.positions) obj << "v " << p.x << ' ' << p.y << ' ' << p.z << '\n';
        obj << "#MRGB ff4080c0ff4080c0ff4080c0ff4080c0\n";
        for (const auto& f : high.faces) obj << "f " << f[0] + 1 << ' ' << f[1] + 1 << ' ' << f[2] + 1 << '\n';
    }
    const struct {
        const char* file;
        float r, g, b;
    } cases[] = {{"high.ply", 255, 128, 0}, {"high.obj", 64, 128, 192}};
    for (const auto& c : cases) {
        const ProgramResult run = RunKelvorCmd({"vertexcolors", "--low", (folder / "low.obj").string(), "--high",
                                                (folder / c.file).string(), "-p", (folder / "quad").string(),
                                                "--format", "png8", "--width", "256", "--height", "256"},
                                               folder.Path());
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const ImageFile image = ReadImageFile(folder / "quad_vcolor.png");
        ASSERT_EQ(image.width, 256);
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                const float* p = image.At(x, y);
                ASSERT_EQ(p[0] * 255.0f, c.r) << c.file << ' ' << x << ", " << y;
                ASSERT_EQ(p[1] * 255.0f, c.g) << c.file << ' ' << x << ", " << y;
                ASSERT_EQ(p[2] * 255.0f, c.b) << c.file << ' ' << x << ", " << y;
                ASSERT_EQ(p[3], 1.0f);
            }
        }
    }
}

TEST(BakersEndToEnd, LayeredMaterialIdWritesOneFilePerMaterial) {
    TempFolder folder("kelvor-layered");
    WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
    // Left half red, right half green.
    const ObjMesh high = GridMesh(2, -0.6f, 0.6f, -0.6f, 0.6f);
    std::vector<int> faceMaterials;
    for (size_t f = 0; f < high.faces.size(); ++f) faceMaterials.push_back(high.positions[size_t(high.faces[f][0])].x < 0.0f ? 0 : 1);
    MeshFiles::WriteFbx(folder / "high.fbx", high, faceMaterials, {{"red", 1, 0, 0}, {"green", 0, 1, 0}});
    const fs::path output = folder / "out";
    fs::create_directories(output);
    const ProgramResult run = RunKelvorCmd({"clown", "--layers", "--low", (folder / "low.obj").string(), "--high",
                                            (folder / "high.fbx").string(), "-p", (output / "crate").string(),
                                            "--format", "png8", "--width", "256", "--height", "256"},
                                           folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Adding map for a shader\nAdding map for a shader\nAdding map for a shader\n"), std::string::npos);
    EXPECT_EQ(FilesIn(output), (std::vector<std::string>{"crate_mat.png", "crate_mat_green.png", "crate_mat_red.png"}));

    const ImageFile colour = ReadImageFile(output / "crate_mat.png");
    const ImageFile red = ReadImageFile(output / "crate_mat_red.png");
    const ImageFile green = ReadImageFile(output / "crate_mat_green.png");
    ASSERT_EQ(colour.width, 256);
    ASSERT_EQ(red.width, 256);
    ASSERT_EQ(green.width, 256);
    for (int y = 0; y < 256; y += 17) {
        EXPECT_EQ(colour.At(20, y)[0], 1.0f);
        EXPECT_EQ(colour.At(230, y)[1], 1.0f);
        EXPECT_EQ(red.At(20, y)[3], 1.0f);
        EXPECT_EQ(red.At(230, y)[3], 0.0f);
        EXPECT_EQ(green.At(20, y)[3], 0.0f);
        EXPECT_EQ(green.At(230, y)[3], 1.0f);
        EXPECT_EQ(green.At(20, y)[0], 1.0f);  // a white layer
    }
}

TEST(BakersEndToEnd, DisplacementAgreesWithTheHeightField) {
    TempFolder folder("kelvor-displacement");
    // Smooth cosine bumps of height 0.1 (peak to peak 0.2), two per unit, finely tessellated,
    // over a flat low-poly square.
    const float amplitude = 0.1f;
    auto height = [&](float x, float y) { return amplitude * std::cos(4.0f * Pi * x) * std::cos(4.0f * Pi * y); };
    ObjMesh high = GridMesh(160, -0.6f, 0.6f, -0.6f, 0.6f);
    for (auto& p : high.positions) p.z = height(p.x, p.y);
    for (size_t v = 0; v < high.positions.size(); ++v) {
        const float x = high.positions[v].x, y = high.positions[v].y;
        const float dx = -amplitude * 4.0f * Pi * std::sin(4.0f * Pi * x) * std::cos(4.0f * Pi * y);
        const float dy = -amplitude * 4.0f * Pi * std::cos(4.0f * Pi * x) * std::sin(4.0f * Pi * y);
        const float length = std::sqrt(dx * dx + dy * dy + 1.0f);
        high.normals[v] = {-dx / length, -dy / length, 1.0f / length};
    }
    WriteObj(folder / "high.obj", high);
    WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
    const int size = 256;
    const ProgramResult run = RunKelvorCmd({"displacement", "--low", (folder / "low.obj").string(), "--high",
                                            (folder / "high.obj").string(), "-p", (folder / "bumps").string(),
                                            "--format", "exr", "--width", std::to_string(size), "--height",
                                            std::to_string(size)},
                                           folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const ImageFile image = ReadImageFile(folder / "bumps_displacement.exr");
    ASSERT_EQ(image.width, size);
    float worst = 0.0f;
    for (int row = 0; row < size; ++row) {
        for (int x = 0; x < size; ++x) {
            // The file's first row is the top of the map, v = 1.
            const float px = (float(x) + 0.5f) / float(size) - 0.5f;
            const float py = 0.5f - (float(row) + 0.5f) / float(size);
            const float* p = image.At(x, row);
            ASSERT_EQ(p[3], 1.0f);
            worst = std::max(worst, std::fabs(p[0] - height(px, py)));
        }
    }
    EXPECT_LT(worst, 0.01f * amplitude);
    RecordProperty("worst_error_of_bump_height", std::to_string(worst / amplitude));
}
