#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testsupport.h"

using namespace KelvorTest;
using Pallix::Math::Vec3;

// Normal, occlusion and thickness maps baked end to end by KelvorCmd on meshes written here.
namespace {

Vec3 Unit(Vec3 v) { return v * (1.0f / Pallix::Math::Length(v)); }

double AngleDegrees(Vec3 a, Vec3 b) {
    const double c = double(Pallix::Math::Dot(Unit(a), Unit(b)));
    return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / 3.14159265358979;
}

// A rectangle with one normal as two triangles; with uv, mapped onto the whole UV square.
void AddQuad(ObjMesh& mesh, Vec3 a, Vec3 b, Vec3 c, Vec3 d, Vec3 n, bool uv = false) {
    const int base = int(mesh.positions.size());
    mesh.positions.insert(mesh.positions.end(), {a, b, c, d});
    mesh.normals.insert(mesh.normals.end(), {n, n, n, n});
    if (uv) mesh.uvs.insert(mesh.uvs.end(), {{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    mesh.faces.push_back({base, base + 1, base + 2});
    mesh.faces.push_back({base, base + 2, base + 3});
}

// The square [-1, 1]^2 at z = 0 facing up, mapped onto the whole UV square.
ObjMesh Plane() {
    ObjMesh mesh;
    AddQuad(mesh, {-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}, {0, 0, 1}, true);
    return mesh;
}

// A closed box from lo to hi, its sides facing in.
ObjMesh Room(Vec3 lo, Vec3 hi) {
    ObjMesh mesh;
    AddQuad(mesh, {lo.x, lo.y, hi.z}, {lo.x, hi.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}, {0, 0, -1});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {lo.x, hi.y, lo.z}, {0, 0, 1});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z}, {hi.x, lo.y, lo.z}, {0, 1, 0});
    AddQuad(mesh, {lo.x, hi.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, {0, -1, 0});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {lo.x, hi.y, lo.z}, {lo.x, hi.y, hi.z}, {lo.x, lo.y, hi.z}, {1, 0, 0});
    AddQuad(mesh, {hi.x, lo.y, lo.z}, {hi.x, lo.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, hi.y, lo.z}, {-1, 0, 0});
    return mesh;
}

// A box standing on the plane, its sides facing out.
ObjMesh Block(Vec3 lo, Vec3 hi) {
    ObjMesh mesh;
    AddQuad(mesh, {lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, {0, 0, 1});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, lo.y, hi.z}, {lo.x, lo.y, hi.z}, {0, -1, 0});
    AddQuad(mesh, {lo.x, hi.y, lo.z}, {lo.x, hi.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, hi.y, lo.z}, {0, 1, 0});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {lo.x, lo.y, hi.z}, {lo.x, hi.y, hi.z}, {lo.x, hi.y, lo.z}, {-1, 0, 0});
    AddQuad(mesh, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}, {1, 0, 0});
    return mesh;
}

// The mesh as an ASCII FBX file with its normals per vertex. OBJ high-poly files get flat face
// normals; an FBX file keeps the smooth normals it carries.
void WriteFbx(const fs::path& path, const ObjMesh& mesh) {
    std::ofstream out(path);
    out.precision(9);
    auto array = [&](const char* name, size_t count, auto&& write) {
        out << "\t\t" << name << ": *" << count << " {\n\t\t\ta: ";
        for (size_t i = 0; i < count; ++i) {
            if (i) out << (i % 16 == 0 ? ",\n\t\t\t" : ",");
            write(i);
        }
        out << "\n\t\t}\n";
    };
    out << "; FBX 7.4.0 project file\nFBXHeaderExtension:  {\n\tFBXHeaderVersion: 1003\n\tFBXVersion: 7400\n}\n"
        << "GlobalSettings:  {\n\tVersion: 1000\n\tProperties70:  {\n\t\tP: \"UpAxis\", \"int\", \"\", \"\",1\n"
        << "\t\tP: \"UnitScaleFactor\", \"double\", \"\", \"\",1\n\t}\n}\n"
        << "Objects:  {\n\tGeometry: 2000, \"Geometry::field\", \"Mesh\" {\n";
    array("Vertices", mesh.positions.size() * 3, [&](size_t i) { out << mesh.positions[i / 3][int(i % 3)]; });
    array("PolygonVertexIndex", mesh.faces.size() * 3, [&](size_t i) {
        const int index = mesh.faces[i / 3][i % 3];
        out << (i % 3 == 2 ? ~index : index);
    });
    out << "\t\tLayerElementNormal: 0 {\n\t\t\tVersion: 101\n\t\t\tName: \"\"\n"
        << "\t\t\tMappingInformationType: \"ByVertice\"\n\t\t\tReferenceInformationType: \"Direct\"\n";
    array("\tNormals", mesh.normals.size() * 3, [&](size_t i) { out << mesh.normals[i / 3][int(i % 3)]; });
    out << "\t\t}\n\t\tLayer: 0 {\n\t\t\tVersion: 100\n\t\t\tLayerElement:  {\n\t\t\t\tType: \"LayerElementNormal\"\n"
        << "\t\t\t\tTypedIndex: 0\n\t\t\t}\n\t\t}\n\t}\n"
        << "\tModel: 1000, \"Model::field\", \"Mesh\" {\n\t\tVersion: 232\n\t}\n}\n"
        << "Connections:  {\n\tC: \"OO\",1000,0\n\tC: \"OO\",2000,1000\n}\n";
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() != ".obj") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs KelvorCmd in the folder and expects a finished bake.
void Bake(const fs::path& folder, const std::vector<std::string>& args) {
    const ProgramResult run = RunKelvorCmd(args, folder);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_NE(run.out.find("Done bake (total "), std::string::npos) << run.out << run.err;
}

// Every pixel of an 8-bit map holds this colour, opaque.
void ExpectEverywhere(const ImageFile& image, std::array<int, 3> colour, int size) {
    ASSERT_EQ(image.width, size);
    ASSERT_EQ(image.height, size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const float* p = image.At(x, y);
            for (int c = 0; c < 3; ++c) ASSERT_EQ(int(std::lround(p[c] * 255.0f)), colour[size_t(c)]) << x << " " << y << " " << c;
            ASSERT_EQ(p[3], 1.0f) << x << " " << y;
        }
}

const std::vector<std::string> kSmall{"-f", "png8", "--width", "256", "--height", "256"};

std::vector<std::string> Args(std::vector<std::string> args, const std::vector<std::string>& more = kSmall) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

}  // namespace

TEST(KelvorCmdMaps, FlatQuadOntoItselfGivesFlatNormalsInOneFilePerConvention) {
    TempFolder folder("kelvorcmd-normals");
    WriteObj(folder / "quad.obj", Plane());
    const struct {
        const char* engine;
        std::vector<std::string> files;
    } conventions[] = {
        {"fbx", {"quad_onm.png", "quad_tnm_fbx.png"}},     {"maya", {"quad_onm.png", "quad_tnm_maya.png"}},
        {"mikk", {"quad_onm.png", "quad_tnm_mikkt.png"}},  {"unreal47", {"quad_onm.png", "quad_tnm_ue47.png"}},
        {"unity", {"quad_onm.png", "quad_tnm_unity.png"}}, {"source", {"quad_onm.png", "quad_tnm_source.png"}},
        {"object", {"quad_onm.png"}},
    };
    for (const auto& c : conventions) {
        SCOPED_TRACE(c.engine);
        for (const std::string& name : FilesIn(folder.Path())) fs::remove(folder / name);
        Bake(folder.Path(), Args({"normal", "--low", "quad.obj", "--high", "quad.obj", "-p", "quad", "-e", c.engine}));
        ASSERT_EQ(FilesIn(folder.Path()), c.files);
        for (const std::string& name : c.files) ExpectEverywhere(ReadImageFile(folder / name), {128, 128, 255}, 256);
    }
}

TEST(KelvorCmdMaps, OcclusionOfAnOpenPlaneIsWhiteAndOfACoveredOneBlack) {
    TempFolder folder("kelvorcmd-ao");
    WriteObj(folder / "plane.obj", Plane());
    WriteObj(folder / "enclosed.obj", std::vector<ObjMesh>{Plane(), Room({-3, -3, -1}, {3, 3, 0.3f})});
    Bake(folder.Path(), Args({"ao", "--low", "plane.obj", "--high", "plane.obj", "-p", "open"}));
    ExpectEverywhere(ReadImageFile(folder / "open_ao.png"), {255, 255, 255}, 256);
    // The search stays below the roof, so the occlusion rays start on the plane. The room also
    // closes the cone's jittered rays that reach below the horizon.
    Bake(folder.Path(), Args({"ao", "--low", "plane.obj", "--high", "enclosed.obj", "-p", "enclosed", "-d", "0.1"}));
    ExpectEverywhere(ReadImageFile(folder / "enclosed_ao.png"), {0, 0, 0}, 256);
    // A narrower cone stays above the horizon: a wide roof alone closes it.
    ObjMesh roof;
    AddQuad(roof, {-3, -3, 0.3f}, {-3, 3, 0.3f}, {3, 3, 0.3f}, {3, -3, 0.3f}, {0, 0, -1});
    WriteObj(folder / "roofed.obj", std::vector<ObjMesh>{Plane(), roof});
    Bake(folder.Path(),
         Args({"ao", "--low", "plane.obj", "--high", "roofed.obj", "-p", "roofed", "-d", "0.1", "--spread", "90"}));
    ExpectEverywhere(ReadImageFile(folder / "roofed_ao.png"), {0, 0, 0}, 256);
}

TEST(KelvorCmdMaps, OcclusionRunsAreIdenticalAndAZeroSpreadFinishes) {
    TempFolder folder("kelvorcmd-ao-runs");
    WriteObj(folder / "plane.obj", Plane());
    WriteObj(folder / "blocks.obj",
             std::vector<ObjMesh>{Plane(), Block({-0.5f, -0.5f, 0}, {0.1f, 0.2f, 0.3f}), Block({0.4f, -0.8f, 0}, {0.7f, 0.6f, 0.15f})});
    const std::vector<std::string> args{"ao", "--low", "plane.obj", "--high", "blocks.obj", "-d", "0.05"};
    Bake(folder.Path(), Args(Args(args, {"-p", "first"})));
    Bake(folder.Path(), Args(Args(args, {"-p", "second"})));
    const std::string first = ReadBytes(folder / "first_ao.png");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, ReadBytes(folder / "second_ao.png"));

    // The blocks shade the plane around them, so the identical files say something.
    const ImageFile map = ReadImageFile(folder / "first_ao.png");
    float darkest = 1.0f, lightest = 0.0f;
    for (size_t i = 0; i < map.pixels.size(); i += 4) {
        darkest = std::min(darkest, map.pixels[i]);
        lightest = std::max(lightest, map.pixels[i]);
    }
    EXPECT_LT(darkest, 0.6f);
    EXPECT_EQ(lightest, 1.0f);

    Bake(folder.Path(), Args(Args(args, {"-p", "narrow", "--spread", "0"})));
    const ImageFile narrow = ReadImageFile(folder / "narrow_ao.png");
    ASSERT_EQ(narrow.width, 256);
    // A cone without width sends every ray along the texel's jittered axis, which in the top
    // right corner, away from the blocks, leaves the scene.
    EXPECT_EQ(narrow.At(255, 0)[0], 1.0f);
}

TEST(KelvorCmdMaps, ThicknessWithoutAHighPolyMeshIsZero) {
    TempFolder folder("kelvorcmd-thickness");
    WriteObj(folder / "plane.obj", Plane());
    Bake(folder.Path(), Args({"thickness", "--low", "plane.obj", "-p", "plane"}));
    ExpectEverywhere(ReadImageFile(folder / "plane_thickness.png"), {0, 0, 0}, 256);
}

TEST(KelvorCmdMaps, TangentNormalsOfASmoothHeightFieldMatchItsAnalyticNormals) {
    // h = A cos(k x) cos(k y) over the low-poly plane [-1, 1]^2, finely tessellated, with the
    // analytic normals at the vertices: the baked normals are as smooth as the surface.
    const float amplitude = 0.05f, k = 2.0f * 3.14159265f * 1.5f;
    auto height = [&](float x, float y) { return amplitude * std::cos(k * x) * std::cos(k * y); };
    auto normalAt = [&](float x, float y) {
        const float dx = -amplitude * k * std::sin(k * x) * std::cos(k * y);
        const float dy = -amplitude * k * std::cos(k * x) * std::sin(k * y);
        return Unit({-dx, -dy, 1});
    };
    ObjMesh field = GridMesh(400, -1, 1, -1, 1);
    field.uvs.clear();
    for (size_t i = 0; i < field.positions.size(); ++i) {
        Vec3& p = field.positions[i];
        p.z = height(p.x, p.y);
        field.normals[i] = normalAt(p.x, p.y);
    }
    TempFolder folder("kelvorcmd-heightfield");
    WriteFbx(folder / "field.fbx", field);
    WriteObj(folder / "plane.obj", Plane());
    Bake(folder.Path(), Args({"normal", "--low", "plane.obj", "--high", "field.fbx", "-p", "field", "-e", "mikk", "-s", "2"},
                             {"-f", "exr", "--width", "1024", "--height", "1024"}));
    const ImageFile map = ReadImageFile(folder / "field_tnm_mikkt.exr");
    ASSERT_EQ(map.width, 1024);
    ASSERT_EQ(map.height, 1024);

    // MikkTSpace gives the plane the frame (+X, +Y, +Z): its tangent space is object space.
    std::vector<double> errors;
    for (int row = 0; row < 1024; ++row)
        for (int column = 0; column < 1024; ++column) {
            const float* p = map.At(column, row);
            const float u = (float(column) + 0.5f) / 1024.0f, v = 1.0f - (float(row) + 0.5f) / 1024.0f;
            errors.push_back(AngleDegrees({p[0] * 2 - 1, p[1] * 2 - 1, p[2] * 2 - 1}, normalAt(2 * u - 1, 2 * v - 1)));
        }
    double mean = 0.0;
    for (double e : errors) mean += e / double(errors.size());
    std::sort(errors.begin(), errors.end());
    const double p99 = errors[errors.size() * 99 / 100];
    std::printf("height field: mean angular error %.4f degrees, 99th percentile %.4f, largest %.4f\n", mean, p99, errors.back());
    // Well inside a degree on average and three at the 99th percentile; what remains is mostly
    // the half-float file's rounding.
    EXPECT_LT(mean, 0.1);
    EXPECT_LT(p99, 0.3);
}
