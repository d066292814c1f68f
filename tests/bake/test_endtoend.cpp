#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bake/bakemanager.h"
#include "events/eventreporter.h"
#include "support/fbxtestwriter.h"
#include "support/testsupport.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
using namespace KelvorTest;
using Pallix::Math::Vec3;

// Every map type baked end to end, by KelvorCmd or, for the types it has no keyword for, by a
// bake manager in this process, on meshes written here.
namespace {

// The square [x0, x1] x [y0, y1] at height z facing up, its UVs over the whole first UV tile.
ObjMesh Square(float x0, float x1, float y0, float y1, float z = 0.0f) {
    ObjMesh mesh = GridMesh(1, x0, x1, y0, y1);
    for (auto& p : mesh.positions) p.z = z;
    return mesh;
}

ObjMesh Plane() { return Square(-1, 1, -1, 1); }

// A rectangle with one normal as two triangles.
void AddQuad(ObjMesh& mesh, Vec3 a, Vec3 b, Vec3 c, Vec3 d, Vec3 n) {
    const int base = int(mesh.positions.size());
    mesh.positions.insert(mesh.positions.end(), {a, b, c, d});
    mesh.normals.insert(mesh.normals.end(), {n, n, n, n});
    mesh.faces.push_back({base, base + 1, base + 2});
    mesh.faces.push_back({base, base + 2, base + 3});
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

// A box standing on the plane, its top and sides facing out.
ObjMesh Block(Vec3 lo, Vec3 hi) {
    ObjMesh mesh;
    AddQuad(mesh, {lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, {0, 0, 1});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, lo.y, hi.z}, {lo.x, lo.y, hi.z}, {0, -1, 0});
    AddQuad(mesh, {lo.x, hi.y, lo.z}, {lo.x, hi.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, hi.y, lo.z}, {0, 1, 0});
    AddQuad(mesh, {lo.x, lo.y, lo.z}, {lo.x, lo.y, hi.z}, {lo.x, hi.y, hi.z}, {lo.x, hi.y, lo.z}, {-1, 0, 0});
    AddQuad(mesh, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}, {1, 0, 0});
    return mesh;
}

// The mesh as one FBX model. OBJ high-poly meshes get no materials; an FBX file keeps the
// vertex normals it carries and face f takes materials[faceMaterials[f]].
void WriteFbx(const fs::path& path, const ObjMesh& mesh, const std::vector<int>& faceMaterials = {},
              const std::vector<FbxTest::MaterialData>& materials = {}) {
    FbxTest::SceneData scene;
    FbxTest::MeshData& data = scene.meshes.emplace_back();
    for (const Vec3& p : mesh.positions) data.vertices.insert(data.vertices.end(), {p.x, p.y, p.z});
    for (const auto& f : mesh.faces) data.polygonVertexIndex.insert(data.polygonVertexIndex.end(), {f[0], f[1], ~f[2]});
    FbxTest::LayerElement& normals = data.normals.emplace_back();
    normals.mapping = "ByVertice";
    for (const Vec3& n : mesh.normals) normals.direct.insert(normals.direct.end(), {n.x, n.y, n.z});
    if (!faceMaterials.empty()) {
        FbxTest::LayerElement& layer = data.materials.emplace_back();
        layer.mapping = "ByPolygon";
        layer.reference = "IndexToDirect";
        layer.index = faceMaterials;
    }
    scene.materials = materials;
    FbxTest::ModelData& model = scene.models.emplace_back();
    model.name = "high";
    model.mesh = 0;
    for (size_t m = 0; m < materials.size(); ++m) model.materials.push_back(int(m));
    FbxTest::WriteFile(path.string(), FbxTest::WriteScene(scene, {}));
}

// ASCII PLY with one byte colour per vertex, and the mesh's normals when it has them.
void WritePly(const fs::path& path, const ObjMesh& mesh, std::array<int, 3> colour = {255, 255, 255}) {
    std::ofstream out(path);
    out.precision(9);
    const bool normals = !mesh.normals.empty();
    out << "ply\nformat ascii 1.0\nelement vertex " << mesh.positions.size()
        << "\nproperty float x\nproperty float y\nproperty float z\n"
        << (normals ? "property float nx\nproperty float ny\nproperty float nz\n" : "")
        << "property uchar red\nproperty uchar green\nproperty uchar blue\nelement face " << mesh.faces.size()
        << "\nproperty list uchar int vertex_indices\nend_header\n";
    for (size_t i = 0; i < mesh.positions.size(); ++i) {
        const Vec3 p = mesh.positions[i];
        out << p.x << ' ' << p.y << ' ' << p.z << ' ';
        if (normals) out << mesh.normals[i].x << ' ' << mesh.normals[i].y << ' ' << mesh.normals[i].z << ' ';
        out << colour[0] << ' ' << colour[1] << ' ' << colour[2] << '\n';
    }
    for (const auto& f : mesh.faces) out << "3 " << f[0] << ' ' << f[1] << ' ' << f[2] << '\n';
}

// The files a bake wrote: every file in the folder but the meshes.
std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && extension != ".obj" && extension != ".fbx" && extension != ".ply")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> kSmall{"-f", "png8", "--width", "256", "--height", "256"};

// Runs KelvorCmd in the folder with the arguments (and the size and format given last) and
// expects a finished bake.
void Bake(const fs::path& folder, std::vector<std::string> args, const std::vector<std::string>& more = kSmall) {
    args.insert(args.end(), more.begin(), more.end());
    const ProgramResult run = RunKelvorCmd(args, folder);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_NE(run.out.find("Done bake (total "), std::string::npos) << run.out << run.err;
}

// Every pixel of an 8-bit map holds this colour, opaque.
void ExpectEverywhere(const ImageFile& image, std::array<int, 3> colour, int size = 256) {
    ASSERT_EQ(image.width, size);
    ASSERT_EQ(image.height, size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const float* p = image.At(x, y);
            for (int c = 0; c < 3; ++c) ASSERT_EQ(int(std::lround(p[c] * 255.0f)), colour[size_t(c)]) << x << " " << y << " " << c;
            ASSERT_EQ(p[3], 1.0f) << x << " " << y;
        }
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
        map.blur = 0.0f;
    }

    void Bake() {
        std::vector<BakeJob*> jobs{&job};
        manager.Bake(&jobs);
        ASSERT_FALSE(manager.HasFailed());
    }
};

}  // namespace

TEST(EndToEnd, FlatQuadOntoItselfGivesFlatNormalsInOneFilePerConvention) {
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
        Bake(folder.Path(), {"normal", "--low", "quad.obj", "--high", "quad.obj", "-p", "quad", "-e", c.engine});
        ASSERT_EQ(FilesIn(folder.Path()), c.files);
        for (const std::string& name : c.files) ExpectEverywhere(ReadImageFile(folder / name), {128, 128, 255});
    }
}

TEST(EndToEnd, OcclusionOfAnOpenPlaneIsWhiteAndOfACoveredOneBlack) {
    TempFolder folder("kelvorcmd-ao");
    WriteObj(folder / "plane.obj", Plane());
    WriteObj(folder / "enclosed.obj", std::vector<ObjMesh>{Plane(), Room({-3, -3, -1}, {3, 3, 0.3f})});
    Bake(folder.Path(), {"ao", "--low", "plane.obj", "--high", "plane.obj", "-p", "open"});
    ExpectEverywhere(ReadImageFile(folder / "open_ao.png"), {255, 255, 255});
    // The search stays below the roof, so the occlusion rays start on the plane, and the room
    // closes the whole cone.
    Bake(folder.Path(), {"ao", "--low", "plane.obj", "--high", "enclosed.obj", "-p", "enclosed", "-d", "0.1"});
    ExpectEverywhere(ReadImageFile(folder / "enclosed_ao.png"), {0, 0, 0});
    // A narrower cone stays above the horizon: a wide roof alone closes it.
    ObjMesh roof;
    AddQuad(roof, {-3, -3, 0.3f}, {-3, 3, 0.3f}, {3, 3, 0.3f}, {3, -3, 0.3f}, {0, 0, -1});
    WriteObj(folder / "roofed.obj", std::vector<ObjMesh>{Plane(), roof});
    Bake(folder.Path(), {"ao", "--low", "plane.obj", "--high", "roofed.obj", "-p", "roofed", "-d", "0.1", "--spread", "90"});
    ExpectEverywhere(ReadImageFile(folder / "roofed_ao.png"), {0, 0, 0});
}

TEST(EndToEnd, OcclusionRunsAreIdenticalAndAZeroSpreadFinishes) {
    TempFolder folder("kelvorcmd-ao-runs");
    WriteObj(folder / "plane.obj", Plane());
    WriteObj(folder / "blocks.obj",
             std::vector<ObjMesh>{Plane(), Block({-0.5f, -0.5f, 0}, {0.1f, 0.2f, 0.3f}), Block({0.4f, -0.8f, 0}, {0.7f, 0.6f, 0.15f})});
    const std::vector<std::string> args{"ao", "--low", "plane.obj", "--high", "blocks.obj", "-d", "0.05"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), args.begin(), args.end());
        return more;
    };
    Bake(folder.Path(), with({"-p", "first"}));
    Bake(folder.Path(), with({"-p", "second"}));
    const std::string first = ReadAll(folder / "first_ao.png");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, ReadAll(folder / "second_ao.png"));

    // The blocks shade the plane around them, so the identical files say something.
    const ImageFile map = ReadImageFile(folder / "first_ao.png");
    float darkest = 1.0f, lightest = 0.0f;
    for (size_t i = 0; i < map.pixels.size(); i += 4) {
        darkest = std::min(darkest, map.pixels[i]);
        lightest = std::max(lightest, map.pixels[i]);
    }
    EXPECT_LT(darkest, 0.6f);
    EXPECT_EQ(lightest, 1.0f);

    Bake(folder.Path(), with({"-p", "narrow", "--spread", "0"}));
    const ImageFile narrow = ReadImageFile(folder / "narrow_ao.png");
    ASSERT_EQ(narrow.width, 256);
    // A cone without width sends every ray along the texel's jittered axis, which in the top
    // right corner, away from the blocks, leaves the scene.
    EXPECT_EQ(narrow.At(255, 0)[0], 1.0f);
}

TEST(EndToEnd, AConvexBoxOntoItselfIsUnoccludedAtEverySpread) {
    // Each face of the box [-1, 1]^3 in a cell of its own of a 3 x 2 UV layout.
    ObjMesh box;
    const Vec3 lo{-1, -1, -1}, hi{1, 1, 1};
    AddQuad(box, {lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z}, {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}, {0, 0, 1});
    AddQuad(box, {lo.x, lo.y, lo.z}, {lo.x, hi.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, lo.y, lo.z}, {0, 0, -1});
    AddQuad(box, {lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, lo.y, hi.z}, {lo.x, lo.y, hi.z}, {0, -1, 0});
    AddQuad(box, {lo.x, hi.y, lo.z}, {lo.x, hi.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, hi.y, lo.z}, {0, 1, 0});
    AddQuad(box, {lo.x, lo.y, lo.z}, {lo.x, lo.y, hi.z}, {lo.x, hi.y, hi.z}, {lo.x, hi.y, lo.z}, {-1, 0, 0});
    AddQuad(box, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}, {1, 0, 0});
    for (int face = 0; face < 6; ++face) {
        const float u0 = float(face % 3) / 3 + 0.02f, u1 = float(face % 3 + 1) / 3 - 0.02f;
        const float v0 = float(face / 3) / 2 + 0.02f, v1 = float(face / 3 + 1) / 2 - 0.02f;
        box.uvs.insert(box.uvs.end(), {{u0, v0}, {u1, v0}, {u1, v1}, {u0, v1}});
    }
    TempFolder folder("kelvorcmd-ao-box");
    WriteObj(folder / "box.obj", box);
    const struct {
        const char* spread;
        const char* quality;
    } runs[] = {{"1", "low"}, {"60", "medium"}, {"120", "high"}, {"160", "ultra"}, {"160", "low"}, {"179", "medium"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string("spread ") + run.spread);
        Bake(folder.Path(), {"ao", "--low", "box.obj", "--high", "box.obj", "-p", "box", "--spread", run.spread, "-q",
                             run.quality, "--sampling", "2"});
        const ImageFile map = ReadImageFile(folder / "box_ao.png");
        int covered = 0, occluded = 0;
        for (size_t i = 0; i < map.pixels.size(); i += 4) {
            if (map.pixels[i + 3] == 0.0f) continue;
            ++covered;
            occluded += map.pixels[i] < 1.0f;
        }
        EXPECT_GT(covered, 256 * 256 / 2);
        EXPECT_EQ(occluded, 0);
    }
}

TEST(EndToEnd, OcclusionAndThicknessDoNotDependOnTheModelsUnit) {
    // A closed slab with two blocks on it, under a low-poly plane: the same model in three units,
    // with the occlusion distance in the same unit.
    auto model = [](float scale) {
        ObjMesh slab = Block({-1, -1, -0.4f}, {1, 1, 0});
        AddQuad(slab, {-1, -1, -0.4f}, {-1, 1, -0.4f}, {1, 1, -0.4f}, {1, -1, -0.4f}, {0, 0, -1});
        std::vector<ObjMesh> meshes{slab, Block({-0.5f, -0.5f, 0}, {0.1f, 0.2f, 0.3f}),
                                    Block({0.4f, -0.8f, 0}, {0.7f, 0.6f, 0.15f})};
        for (ObjMesh& mesh : meshes)
            for (Vec3& p : mesh.positions) p = p * scale;
        ObjMesh low = Plane();
        for (Vec3& p : low.positions) p = p * scale;
        return std::make_pair(low, meshes);
    };
    TempFolder folder("kelvorcmd-ao-units");
    const float scales[] = {1.0f, 0.01f, 100.0f};
    for (float scale : scales) {
        const auto [low, high] = model(scale);
        const std::string unit = std::to_string(int(scale * 100));
        WriteObj(folder / ("low" + unit + ".obj"), low);
        WriteObj(folder / ("high" + unit + ".obj"), high);
        char distance[32];
        std::snprintf(distance, sizeof distance, "%g", double(scale));
        for (const char* map : {"ao", "thickness"})
            Bake(folder.Path(), {map, "--low", "low" + unit + ".obj", "--high", "high" + unit + ".obj", "-p",
                                 "unit" + unit, "--aodistance", distance});
    }
    for (const char* suffix : {"_ao.png", "_thickness.png"}) {
        SCOPED_TRACE(suffix);
        const ImageFile reference = ReadImageFile(folder / (std::string("unit100") + suffix));
        float lowest = 1.0f, highest = 0.0f;
        for (size_t i = 0; i < reference.pixels.size(); i += 4) {
            lowest = std::min(lowest, reference.pixels[i]);
            highest = std::max(highest, reference.pixels[i]);
        }
        EXPECT_GT(highest - lowest, 0.2f);  // the map has something to compare
        for (const char* unit : {"unit1", "unit10000"}) {
            const ImageFile other = ReadImageFile(folder / (std::string(unit) + suffix));
            ASSERT_EQ(other.pixels.size(), reference.pixels.size());
            float largest = 0.0f;
            for (size_t i = 0; i < other.pixels.size(); ++i)
                largest = std::max(largest, std::fabs(other.pixels[i] - reference.pixels[i]));
            EXPECT_LE(largest, 1.0f / 255.0f + 1e-6f) << unit;
        }
    }
}

TEST(EndToEnd, ThicknessWithoutAHighPolyMeshIsZero) {
    TempFolder folder("kelvorcmd-thickness");
    WriteObj(folder / "plane.obj", Plane());
    Bake(folder.Path(), {"thickness", "--low", "plane.obj", "-p", "plane"});
    ExpectEverywhere(ReadImageFile(folder / "plane_thickness.png"), {0, 0, 0});
}

namespace {

// h = A cos(k x) cos(k y) over the low-poly plane [-1, 1]^2, finely tessellated, with the
// analytic normals at the vertices.
struct HeightField {
    float amplitude = 0.05f, k = 2.0f * 3.14159265f * 1.5f;

    float Height(float x, float y) const { return amplitude * std::cos(k * x) * std::cos(k * y); }
    Vec3 NormalAt(float x, float y) const {
        const float dx = -amplitude * k * std::sin(k * x) * std::cos(k * y);
        const float dy = -amplitude * k * std::cos(k * x) * std::sin(k * y);
        return Unit({-dx, -dy, 1});
    }
    ObjMesh Mesh() const {
        ObjMesh field = GridMesh(400, -1, 1, -1, 1);
        for (size_t i = 0; i < field.positions.size(); ++i) {
            Vec3& p = field.positions[i];
            p.z = Height(p.x, p.y);
            field.normals[i] = NormalAt(p.x, p.y);
        }
        return field;
    }
};

struct AngularErrors {
    double mean = 0.0, p99 = 0.0, largest = 0.0;
};

// Bakes the high-poly file's tangent-space normals onto plane.obj in the folder and measures
// them against the analytic normals of the field, in degrees.
AngularErrors BakeFieldNormals(const fs::path& folder, const HeightField& field, const std::string& high) {
    Bake(folder, {"normal", "--low", "plane.obj", "--high", high, "-p", "field", "-e", "mikk", "-s", "2"},
         {"-f", "exr", "--width", "1024", "--height", "1024"});
    const ImageFile map = ReadImageFile(folder / "field_tnm_mikkt.exr");
    EXPECT_EQ(map.width, 1024);
    EXPECT_EQ(map.height, 1024);
    if (map.width != 1024 || map.height != 1024) return {180, 180, 180};

    // MikkTSpace gives the plane the frame (+X, +Y, +Z): its tangent space is object space. The
    // file's first row is the top of the map, v = 1.
    std::vector<double> errors;
    for (int row = 0; row < 1024; ++row)
        for (int column = 0; column < 1024; ++column) {
            const float* p = map.At(column, row);
            const float u = (float(column) + 0.5f) / 1024.0f, v = 1.0f - (float(row) + 0.5f) / 1024.0f;
            const Vec3 expected = field.NormalAt(2 * u - 1, 2 * v - 1);
            const double c = Pallix::Math::Dot(Unit({p[0] * 2 - 1, p[1] * 2 - 1, p[2] * 2 - 1}), expected);
            errors.push_back(std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / 3.14159265358979);
        }
    AngularErrors result;
    for (double e : errors) result.mean += e / double(errors.size());
    std::sort(errors.begin(), errors.end());
    result.p99 = errors[errors.size() * 99 / 100];
    result.largest = errors.back();
    std::printf("height field from %s: mean angular error %.4f degrees, 99th percentile %.4f, largest %.4f\n", high.c_str(),
                result.mean, result.p99, result.largest);
    return result;
}

}  // namespace

TEST(EndToEnd, NormalsAndDisplacementOfASmoothHeightFieldMatchTheAnalyticSurface) {
    // With the analytic normals at the vertices the baked normals are as smooth as the surface.
    const HeightField field;
    TempFolder folder("kelvorcmd-heightfield");
    WriteFbx(folder / "field.fbx", field.Mesh());
    WriteObj(folder / "plane.obj", Plane());
    const AngularErrors errors = BakeFieldNormals(folder.Path(), field, "field.fbx");
    // Well inside a degree on average and three at the 99th percentile; what remains is mostly
    // the half-float file's rounding.
    EXPECT_LT(errors.mean, 0.1);
    EXPECT_LT(errors.p99, 0.3);

    Bake(folder.Path(), {"displacement", "--low", "plane.obj", "--high", "field.fbx", "-p", "field"},
         {"-f", "exr", "--width", "256", "--height", "256"});
    const ImageFile displacement = ReadImageFile(folder / "field_displacement.exr");
    ASSERT_EQ(displacement.width, 256);
    float worst = 0.0f;
    for (int row = 0; row < 256; ++row)
        for (int column = 0; column < 256; ++column) {
            const float x = 2.0f * (float(column) + 0.5f) / 256.0f - 1.0f, y = 1.0f - 2.0f * (float(row) + 0.5f) / 256.0f;
            const float* p = displacement.At(column, row);
            ASSERT_EQ(p[3], 1.0f);
            worst = std::max(worst, std::fabs(p[0] - field.Height(x, y)));
        }
    std::printf("height field: largest displacement error %.4f of the bump height\n", worst / field.amplitude);
    EXPECT_LT(worst, 0.01f * field.amplitude);
}

// The same field from the other formats: with the file's normals as close as from FBX, and
// without them close to it through normals built from the faces.
void ExpectFieldNormalsFromObjAndPly(bool withNormals, double meanLimit) {
    const HeightField field;
    ObjMesh mesh = field.Mesh();
    if (!withNormals) mesh.normals.clear();
    TempFolder folder("kelvorcmd-heightfield-formats");
    WriteObj(folder / "plane.obj", Plane());
    WriteObj(folder / "field.obj", mesh);
    WritePly(folder / "field.ply", mesh);
    for (const char* high : {"field.obj", "field.ply"}) {
        SCOPED_TRACE(high);
        EXPECT_LT(BakeFieldNormals(folder.Path(), field, high).mean, meanLimit);
    }
}

TEST(EndToEnd, HeightFieldNormalsFromObjAndPlyFilesMatchTheAnalyticSurface) { ExpectFieldNormalsFromObjAndPly(true, 0.05); }

TEST(EndToEnd, HeightFieldNormalsBuiltForObjAndPlyFilesMatchTheAnalyticSurface) { ExpectFieldNormalsFromObjAndPly(false, 0.1); }

TEST(EndToEnd, ALowPolyWithoutNormalsGetsBuiltOnes) {
    // A quad tilted about y, written with UVs but no "vn", over a plane tilted further: the
    // tangent-space map shows the difference, not the flat (128, 128, 255) of zero normals.
    const float lowSlope = 0.2f, highSlope = 0.532f;
    ObjMesh low = Square(-0.5f, 0.5f, -0.5f, 0.5f);
    for (Vec3& p : low.positions) p.z = lowSlope * p.x;
    low.normals.clear();
    ObjMesh high = Square(-0.8f, 0.8f, -0.8f, 0.8f);
    for (Vec3& p : high.positions) p.z = highSlope * p.x;
    high.normals.clear();
    TempFolder folder("kelvorcmd-no-normals");
    WriteObj(folder / "low.obj", low);
    WriteObj(folder / "high.obj", high);
    const ProgramResult run = RunKelvorCmd({"normal", "--low", "low.obj", "--high", "high.obj", "-p", "tilted", "-e", "mikk",
                                            "-d", "0.5", "-f", "png8", "--width", "256", "--height", "256"},
                                           folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Mesh 'default' has no normals: building smooth vertex normals\n"), std::string::npos) << run.out;

    // The frame of the low quad: tangent along u (x), bitangent along v (y), its face normal.
    const Vec3 tangent = Unit({1, 0, lowSlope}), bitangent{0, 1, 0}, normal = Unit({-lowSlope, 0, 1});
    const Vec3 target = Unit({-highSlope, 0, 1});
    const Vec3 expected{Pallix::Math::Dot(target, tangent), Pallix::Math::Dot(target, bitangent), Pallix::Math::Dot(target, normal)};
    const ImageFile map = ReadImageFile(folder / "tilted_tnm_mikkt.png");
    ASSERT_EQ(map.width, 256);
    for (int y = 8; y < 256; y += 16)
        for (int x = 8; x < 256; x += 16) {
            const float* p = map.At(x, y);
            for (int c = 0; c < 3; ++c)
                ASSERT_NEAR(p[c] * 255.0f, (expected[c] + 1.0f) * 0.5f * 255.0f, 1.5f) << x << " " << y << " " << c;
        }
    EXPECT_LT(map.At(128, 128)[0] * 255.0f, 100.0f);
}

TEST(EndToEnd, ADegenerateFaceInAPlyHighPolyChangesNoTexel) {
    const HeightField field;
    ObjMesh coarse = GridMesh(40, -1, 1, -1, 1);
    for (Vec3& p : coarse.positions) p.z = field.Height(p.x, p.y);
    coarse.normals.clear();
    ObjMesh degenerate = coarse;
    degenerate.faces.insert(degenerate.faces.begin() + 400, {500, 500, 501});
    TempFolder folder("kelvorcmd-degenerate");
    WriteObj(folder / "plane.obj", Plane());
    WritePly(folder / "clean.ply", coarse);
    WritePly(folder / "degenerate.ply", degenerate);
    for (const char* name : {"clean", "degenerate"})
        Bake(folder.Path(), {"normal", "--low", "plane.obj", "--high", std::string(name) + ".ply", "-p", name, "-e", "mikk"},
             {"-f", "png16", "--width", "256", "--height", "256"});
    const std::string clean = ReadAll(folder / "clean_tnm_mikkt.png");
    ASSERT_FALSE(clean.empty());
    EXPECT_EQ(clean, ReadAll(folder / "degenerate_tnm_mikkt.png"));
    // The bumps are there, so the equal files say something.
    const ImageFile map = ReadImageFile(folder / "clean_tnm_mikkt.png");
    float lowest = 1.0f;
    for (size_t i = 0; i < map.pixels.size(); i += 4) lowest = std::min(lowest, map.pixels[i]);
    EXPECT_LT(lowest, 0.4f);
}

TEST(EndToEnd, AnObjHighPolyAfterAnFbxOneLeavesTheFbxNormals) {
    // The left half of the high-poly plane is an FBX file whose normals lean towards +x, the
    // right half an OBJ file without normals: both halves keep their own in one job.
    InProcess bake(MapNormal);
    ObjMesh left = Square(-0.6f, 0.0f, -0.6f, 0.6f, 0.05f), right = Square(0.0f, 0.6f, -0.6f, 0.6f, 0.05f);
    const Vec3 leaning = Unit({0.3f, 0, 1});
    for (Vec3& n : left.normals) n = leaning;
    right.normals.clear();
    WriteFbx(bake.folder / "left.fbx", left);
    WriteObj(bake.folder / "right.obj", right);
    bake.job.highPolyPaths = {(bake.folder / "left.fbx").string(), (bake.folder / "right.obj").string()};
    bake.job.hasHighPoly = true;
    bake.job.maps[0].tangentSpace = TangentMikkt;
    bake.Bake();
    const ImageFile map = ReadImageFile(bake.folder / "crate_tnm_mikkt.png");
    ASSERT_EQ(map.width, 256);
    for (int y = 16; y < 256; y += 32) {
        for (int x : {16, 64, 100}) {
            EXPECT_NEAR(map.At(x, y)[0] * 255.0f, (leaning.x + 1.0f) * 0.5f * 255.0f, 1.5f) << x << " " << y;
            EXPECT_NEAR(map.At(x, y)[2] * 255.0f, (leaning.z + 1.0f) * 0.5f * 255.0f, 1.5f) << x << " " << y;
        }
        for (int x : {156, 200, 240}) EXPECT_NEAR(map.At(x, y)[0] * 255.0f, 127.5f, 1.0f) << x << " " << y;
    }
}

TEST(EndToEnd, FlatCurvatureIsFullRedNoGreenHalfBlue) {
    InProcess bake(MapCurvature);
    bake.Bake();
    const ImageFile packed = ReadImageFile(bake.folder / "crate_curvature_packed.png");
    ExpectEverywhere(packed, {255, 0, 128});
    for (const char* name : {"crate_concavity.png", "crate_convexity.png", "crate_curvature.png"})
        EXPECT_TRUE(fs::exists(bake.folder / name)) << name;
}

TEST(EndToEnd, DiagnosticMapIsEmptyAndPrintsItsTable) {
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

TEST(EndToEnd, WorldPositionOfAQuadAtTenSpansItsOwnCoordinates) {
    TempFolder folder("kelvor-position");
    WriteObj(folder / "quad.obj", Square(9.5f, 10.5f, -0.5f, 0.5f));
    Bake(folder.Path(), {"position", "--low", "quad.obj", "--high", "quad.obj", "-p", "quad"},
         {"--format", "exr", "--width", "256", "--height", "256"});
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

TEST(EndToEnd, PlyAndObjVertexColoursComeOutUnchanged) {
    TempFolder folder("kelvor-vcolor");
    WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
    const ObjMesh high = Square(-0.6f, 0.6f, -0.6f, 0.6f, 0.05f);
    WritePly(folder / "high.ply", high, {255, 128, 0});
    {
        // A sculpting tool's colour line: one MMRRGGBB block per vertex, before the faces.
        std::ofstream obj(folder / "high.obj");
        for (const auto& p : high.positions) obj << "v " << p.x << ' ' << p.y << ' ' << p.z << '\n';
        obj << "#MRGB ff4080c0ff4080c0ff4080c0ff4080c0\n";
        for (const auto& f : high.faces) obj << "f " << f[0] + 1 << ' ' << f[1] + 1 << ' ' << f[2] + 1 << '\n';
    }
    const struct {
        const char* file;
        std::array<int, 3> colour;
    } cases[] = {{"high.ply", {255, 128, 0}}, {"high.obj", {64, 128, 192}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Bake(folder.Path(), {"vertexcolors", "--low", "low.obj", "--high", c.file, "-p", "quad"});
        ExpectEverywhere(ReadImageFile(folder / "quad_vcolor.png"), c.colour);
    }
}

TEST(EndToEnd, LayeredMaterialIdWritesOneFilePerMaterial) {
    TempFolder folder("kelvor-layered");
    WriteObj(folder / "low.obj", Square(-0.5f, 0.5f, -0.5f, 0.5f));
    // Left half red, right half green.
    const ObjMesh high = GridMesh(2, -0.6f, 0.6f, -0.6f, 0.6f);
    std::vector<int> faceMaterials;
    for (const auto& face : high.faces) faceMaterials.push_back(high.positions[size_t(face[0])].x < 0.0f ? 0 : 1);
    WriteFbx(folder / "high.fbx", high, faceMaterials,
             {{"red", "Phong", std::array<double, 3>{1, 0, 0}, ""}, {"green", "Phong", std::array<double, 3>{0, 1, 0}, ""}});
    const ProgramResult run = RunKelvorCmd({"clown", "--layers", "--low", "low.obj", "--high", "high.fbx", "-p", "crate",
                                            "--format", "png8", "--width", "256", "--height", "256"},
                                           folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Adding map for a shader\nAdding map for a shader\nAdding map for a shader\n"), std::string::npos);
    EXPECT_EQ(FilesIn(folder.Path()), (std::vector<std::string>{"crate_mat.png", "crate_mat_green.png", "crate_mat_red.png"}));

    const ImageFile colour = ReadImageFile(folder / "crate_mat.png");
    const ImageFile red = ReadImageFile(folder / "crate_mat_red.png");
    const ImageFile green = ReadImageFile(folder / "crate_mat_green.png");
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
