#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "support/fbxtestwriter.h"
#include "support/testsupport.h"

using namespace KelvorTest;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

void WritePly(const fs::path& path, const ObjMesh& mesh) {
    std::ofstream out(path);
    out << "ply\nformat ascii 1.0\nelement vertex " << mesh.positions.size()
        << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << mesh.faces.size()
        << "\nproperty list uchar int vertex_indices\nend_header\n";
    for (const Vec3& p : mesh.positions) out << p.x << ' ' << p.y << ' ' << p.z << '\n';
    for (const auto& f : mesh.faces) out << "3 " << f[0] << ' ' << f[1] << ' ' << f[2] << '\n';
}

// Every file in the folder that is not a mesh or a folder: what a bake wrote.
std::vector<std::string> Written(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && extension != ".obj" && extension != ".ply" && extension != ".stl" &&
            extension != ".fbx")
            names.push_back(entry.path().filename().string());
    }
    return names;
}

// A unit quad with the UVs given per corner (lower left, lower right, upper left, upper right).
ObjMesh QuadWithUVs(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    ObjMesh mesh = GridMesh(1, 0, 1, 0, 1);
    mesh.uvs = {a, b, c, d};
    return mesh;
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;  // low.obj and high.obj unless they name meshes of their own
    const char* message;
    bool everyMap = false;  // tried with other kinds of map, not the alpha mask alone
};

// Each refusal fails the run with its message on standard output and writes no file.
void ExpectRefused(const fs::path& folder, const std::vector<Refusal>& refusals) {
    for (const Refusal& refusal : refusals) {
        // Every map type is refused alike, the normal map's two files included.
        const std::vector<std::string> maps =
            refusal.everyMap ? std::vector<std::string>{"alphamask", "normal", "position"} : std::vector<std::string>{"alphamask"};
        for (const std::string& map : maps) {
            std::vector<std::string> args = refusal.args;
            for (const char* mesh : {"--low", "--high"}) {
                if (std::find(args.begin(), args.end(), mesh) != args.end()) continue;
                args.push_back(mesh);
                args.push_back(mesh == std::string("--low") ? "low.obj" : "high.obj");
            }
            args.insert(args.end(), {"-p", "out", "-f", "png8", "--width", "256", "--height", "256"});
            args.push_back(map);
            const ProgramResult run = RunKelvorCmd(args, folder);
            EXPECT_EQ(run.status, 1) << refusal.name << " " << map << "\n" << run.out << run.err;
            EXPECT_NE(run.out.find(refusal.message), std::string::npos) << refusal.name << " " << map << "\n" << run.out;
            const std::vector<std::string> written = Written(folder);
            EXPECT_EQ(written, std::vector<std::string>{}) << refusal.name << " " << map;
            for (const std::string& name : written) fs::remove(folder / name);  // so the next case starts clean
        }
    }
}

// A low-poly quad as one FBX model placed at x = offset.
void WriteFbxQuad(const fs::path& path, double offset) {
    FbxTest::SceneData scene;
    FbxTest::MeshData& mesh = scene.meshes.emplace_back();
    mesh.vertices = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    mesh.polygonVertexIndex = {0, 1, 2, ~3};
    mesh.uvs.emplace_back().direct = {0, 0, 1, 0, 1, 1, 0, 1};
    FbxTest::ModelData& model = scene.models.emplace_back();
    model.name = "low";
    model.mesh = 0;
    model.properties = {FbxTest::VectorProperty("Lcl Translation", offset, 0, 0)};
    FbxTest::WriteFile(path.string(), FbxTest::WriteScene(scene, {}));
}

}  // namespace

TEST(KelvorCmdRefuses, HighPolyFilesByTheirNameAlone) {
    TempFolder folder("kelvorcmd-highnames");
    WriteObj(folder / "low.obj", GridMesh(1, 0, 1, 0, 1));
    fs::create_directories(folder / "proj.fbx_exports");
    WritePly(folder / "proj.fbx_exports/high.ply", GridMesh(4, -1, 2, -1, 2));
    std::ofstream(folder / "high.stl") << "solid high\nendsolid high\n";
    const std::vector<std::string> common{"--low", "low.obj", "-p", "out", "-f", "png8", "--width", "256",
                                          "--height", "256", "alphamask"};

    std::vector<std::string> args = common;
    args.insert(args.begin(), {"--high", "high.stl"});
    ProgramResult run = RunKelvorCmd(args, folder.Path());
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("Unsupported high-poly file type 'high.stl'"), std::string::npos) << run.out;
    EXPECT_TRUE(Written(folder.Path()).empty());

    // A folder named like an FBX file does not make its PLY file one.
    args = common;
    args.insert(args.begin(), {"--high", "proj.fbx_exports/high.ply"});
    run = RunKelvorCmd(args, folder.Path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(fs::exists(folder / "out_alpha.png"));
}

TEST(KelvorCmdRefuses, InputsThatCannotGiveAMap) {
    TempFolder folder("kelvorcmd-refusals");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    WriteObj(folder / "negative.obj", QuadWithUVs({-2, -1}, {-1, -1}, {-2, 0.5f}, {-1, 0.5f}));
    WriteObj(folder / "nan.obj", QuadWithUVs({nan, nan}, {nan, nan}, {nan, nan}, {nan, nan}));
    WriteObj(folder / "infinite.obj", QuadWithUVs({inf, 0}, {-inf, 0}, {0, inf}, {inf, -inf}));
    WriteObj(folder / "point.obj", QuadWithUVs({0.5f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.5f}));
    WriteObj(folder / "huge.obj", GridMesh(1, 0, 1, 0, 1, 0, 1e30f, 0, 1e30f));
    WriteObj(folder / "twotiles.obj", GridMesh(1, 0, 1, 0, 1, 0, 2, 0, 1));
    WriteObj(folder / "low.obj", GridMesh(1, 0, 1, 0, 1));
    WriteObj(folder / "high.obj", GridMesh(4, -1, 2, -1, 2));
    ObjMesh flat = GridMesh(2, -1, 2, -1, 2);
    for (Vec3& p : flat.positions) p.y = 0.5f;  // every triangle collapses onto a line
    WriteObj(folder / "flat.obj", flat);

    const char* const noRange = "The low-poly mesh has no UVs inside the tile range";
    const char* const noUVs = "The low-poly mesh has no usable UVs";
    const char* const notFinite = "texture coordinate is not a finite number on line 5";
    const char* const explicitPath = "An explicit output path holds one image, but the UV-tile region";
    const std::vector<Refusal> refusals = {
        {"negative UVs", {"--low", "negative.obj", "--tilingmode", "auto"}, noRange},
        // Texture coordinates that are not finite do not reach the bake: the reader refuses them.
        {"NaN UVs", {"--low", "nan.obj", "--tilingmode", "auto"}, notFinite},
        {"NaN UVs untiled", {"--low", "nan.obj"}, notFinite},
        {"infinite UVs", {"--low", "infinite.obj", "--tilingmode", "auto"}, notFinite},
        {"one UV point", {"--low", "point.obj"}, noUVs},
        {"huge UVs", {"--low", "huge.obj", "--tilingmode", "auto"}, "automatic tiling bakes at most 10 x 100 UV tiles"},
        {"huge UVs, Mudbox", {"--low", "huge.obj", "--tilingmode", "auto", "--tilenaming", "mudbox"},
         "automatic tiling bakes at most 10 x 100 UV tiles"},
        {"degenerate high-poly", {"--high", "flat.obj"}, "The high-poly meshes have no usable triangles"},
        {"explicit path, automatic", {"--low", "twotiles.obj", "--tilingmode", "auto", "--explicitpath"}, explicitPath,
         true},
        {"explicit path, manual",
         {"--tilingmode", "manual", "--uvtile_min_u", "0", "--uvtile_max_u", "0", "--uvtile_min_v", "0",
          "--uvtile_max_v", "1", "--explicitpath"},
         explicitPath, true},
        {"inverted region", {"--tilingmode", "manual", "--uvtile_min_u", "2", "--uvtile_max_u", "1"},
         "The UV-tile region u 2 to 1, v 1 to 1 has a minimum above its maximum"},
        {"endless manual region, Mudbox",
         {"--tilingmode", "manual", "--tilenaming", "mudbox", "--uvtile_min_u", "0", "--uvtile_max_u", "2000000000"},
         "The UV-tile region u 0 to 2000000000, v 1 to 1 has more than 1000 UV tiles"},
        {"endless manual region, UDIM", {"--tilingmode", "manual", "--uvtile_min_v", "0", "--uvtile_max_v", "1000"},
         "The UV-tile region u 1 to 1, v 0 to 1000 has more than 1000 UV tiles"},
    };
    ExpectRefused(folder.Path(), refusals);

    // The explicit path still takes a single UV tile of a manual region.
    const ProgramResult one = RunKelvorCmd({"--low", "twotiles.obj", "--high", "high.obj", "-p", "single.png", "-f",
                                            "png8", "--width", "256", "--height", "256", "--tilingmode", "manual",
                                            "--uvtile_min_u", "1", "--uvtile_max_u", "1", "--uvtile_min_v", "0",
                                            "--uvtile_max_v", "0", "--explicitpath", "alphamask"},
                                           folder.Path());
    EXPECT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_TRUE(fs::exists(folder / "single.png.png"));

    // An infinite UV beside usable ones is refused with its line, not skipped with its triangle;
    // a manual region bakes every UV tile in it, the empty ones too, once one holds a texel.
    ObjMesh partly = GridMesh(1, 0, 1, 0, 1, 0, 0.5f, 0, 0.5f);
    partly.positions.insert(partly.positions.end(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    partly.uvs.insert(partly.uvs.end(), {{0.1f, 0.1f}, {inf, 0.1f}, {0.1f, 0.2f}});
    partly.normals.insert(partly.normals.end(), 3, Vec3{0, 0, 1});
    partly.faces.push_back({4, 5, 6});
    WriteObj(folder / "partly.obj", partly);
    auto bake = [&](const char* mesh, const char* path, std::vector<std::string> region) {
        std::vector<std::string> args{"--low", mesh, "--high", "high.obj", "-p", path, "-f", "png8", "--width", "256", "--height", "256"};
        args.insert(args.end(), region.begin(), region.end());
        args.push_back("alphamask");
        return RunKelvorCmd(args, folder.Path());
    };
    const ProgramResult partial = bake("partly.obj", "partly", {"--tilingmode", "auto"});
    EXPECT_EQ(partial.status, 1) << partial.out << partial.err;
    EXPECT_NE(partial.out.find("'partly.obj': File is corrupt: texture coordinate is not a finite number on line 13"),
              std::string::npos)
        << partial.out;
    for (const std::string& name : Written(folder.Path())) EXPECT_EQ(name.find("partly"), std::string::npos) << name;
    const ProgramResult row = bake("low.obj", "row", {"--tilingmode", "manual", "--uvtile_min_u", "0", "--uvtile_max_u", "9",
                            "--uvtile_min_v", "0", "--uvtile_max_v", "0"});
    EXPECT_EQ(row.status, 0) << row.out << row.err;
    EXPECT_TRUE(fs::exists(folder / "row_alpha.1010.png"));
}

TEST(KelvorCmdRefuses, MeshesThatGiveNoTexelOrNoSurface) {
    TempFolder folder("kelvorcmd-notexel");
    WriteObj(folder / "low.obj", GridMesh(1, 0, 1, 0, 1));
    WriteObj(folder / "high.obj", GridMesh(4, -1, 2, -1, 2));
    // Envelopes no ray can hit: points, faces on a line, a file with no geometry.
    std::ofstream(folder / "points.obj") << "v 0 0 1\nv 1 0 1\nv 0 1 1\nvt 0 0\n";
    ObjMesh line = GridMesh(2, -1, 2, -1, 2);
    for (Vec3& p : line.positions) p.y = 0.5f;
    WriteObj(folder / "line.obj", line);
    FbxTest::WriteFile((folder / "empty.fbx").string(), FbxTest::WriteScene(FbxTest::SceneData{}, {}));
    // UVs no UV tile of the bake can hold or name, and an island narrower than a texel.
    WriteObj(folder / "column12.obj", QuadWithUVs({12, 0}, {13, 0}, {12, 1}, {13, 1}));
    WriteObj(folder / "million.obj", QuadWithUVs({1e6f, 1e6f}, {1e6f + 1, 1e6f}, {1e6f, 1e6f + 1}, {1e6f + 1, 1e6f + 1}));
    WriteObj(folder / "outside.obj", QuadWithUVs({2, 0}, {3, 0}, {2, 1}, {3, 1}));
    WriteObj(folder / "sliver.obj", QuadWithUVs({0.3f, 0.3f}, {0.3f + 1e-7f, 0.3f}, {0.3f, 0.7f}, {0.3f + 1e-7f, 0.7f}));
    // Low-poly meshes without an area in space.
    auto scaled = [&](const char* name, float scale) {
        ObjMesh mesh = GridMesh(1, 0, 1, 0, 1);
        for (Vec3& p : mesh.positions) p = p * scale;
        WriteObj(folder / name, mesh);
    };
    scaled("tiny.obj", 1e-30f);
    scaled("zero.obj", 0.0f);
    scaled("vast.obj", 1e30f);
    WriteFbxQuad(folder / "far.fbx", 1e20);
    WriteFbxQuad(folder / "near.fbx", 1.0);

    const char* const noEnvelope = "The envelope mesh has no usable triangles";
    const char* const noSurface = "The low-poly mesh has no usable triangles";
    const std::vector<Refusal> refusals = {
        {"envelope of points", {"--env", "points.obj"}, noEnvelope},
        {"envelope on a line", {"--env", "line.obj"}, noEnvelope},
        {"envelope without geometry", {"--env", "empty.fbx"}, noEnvelope},
        {"u 12, automatic UDIM tiles",
         {"--low", "column12.obj", "--tilingmode", "auto"},
         "The low-poly UVs (u 12 to 13, v 0 to 1) lie outside every UV tile baked (u 9 to 9, v 0 to 0): UDIM names "
         "end at UV tile u 9"},
        {"u 12, the manual UDIM row",
         {"--low", "column12.obj", "--tilingmode", "manual", "--uvtile_min_u", "0", "--uvtile_max_u", "9",
          "--uvtile_min_v", "0", "--uvtile_max_v", "0"},
         "The low-poly UVs (u 12 to 13, v 0 to 1) lie outside every UV tile baked (u 0 to 9, v 0 to 0)"},
        {"a million, UDIM",
         {"--low", "million.obj", "--tilingmode", "auto"},
         "lie outside every UV tile baked (u 9 to 9, v 1000 to 1000): UDIM names end at UV tile u 9"},
        {"a million, Mudbox",
         {"--low", "million.obj", "--tilingmode", "auto", "--tilenaming", "mudbox"},
         "The low-poly UVs (u 1000000 to 1000001, v 1000000 to 1000001) lie outside every UV tile baked (u 1000 to "
         "1000, v 1000 to 1000): automatic tiling reaches UV tile 1000 at most"},
        {"outside 0 to 1 untiled",
         {"--low", "outside.obj"},
         "The low-poly UVs (u 2 to 3, v 0 to 1) lie outside every UV tile baked (u 0 to 0, v 0 to 0): with the tiling "
         "mode off only u and v 0 to 1 are baked"},
        {"an island 1e-7 wide", {"--low", "sliver.obj"}, "The low-poly UV triangles are too small to cover a texel at 256 x 256"},
        {"low-poly on a line", {"--low", "line.obj"}, noSurface},
        {"low-poly scaled by 1e-30", {"--low", "tiny.obj"}, noSurface},
        {"low-poly scaled by 0", {"--low", "zero.obj"}, noSurface},
        {"low-poly scaled by 1e30", {"--low", "vast.obj"}, noSurface},
        {"low-poly moved by 1e20", {"--low", "far.fbx"}, noSurface},
    };
    ExpectRefused(folder.Path(), refusals);

    // What the same tiles can hold or name bakes: u 12 under Mudbox names, an island narrower
    // than a texel over a texel's centre, the quad moved by 1.
    WriteObj(folder / "speck.obj", QuadWithUVs({0.5f / 256 - 1e-4f, 0}, {0.5f / 256 + 1e-4f, 0},
                                               {0.5f / 256 - 1e-4f, 1}, {0.5f / 256 + 1e-4f, 1}));
    for (const auto& [args, file] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--low", "column12.obj", "--tilingmode", "auto", "--tilenaming", "mudbox"}, "out_alpha_u13_v1.png"},
             {{"--low", "speck.obj"}, "out_alpha.png"},
             {{"--low", "near.fbx"}, "out_alpha.png"}}) {
        std::vector<std::string> run = args;
        run.insert(run.end(), {"--high", "high.obj", "-p", "out", "-f", "png8", "--width", "256", "--height", "256",
                               "alphamask"});
        const ProgramResult result = RunKelvorCmd(run, folder.Path());
        ASSERT_EQ(result.status, 0) << args[1] << "\n" << result.out << result.err;
        EXPECT_EQ(ReadImageFile(folder / file).At(0, 128)[3], 1.0f) << args[1];
        fs::remove(folder / file);
    }
}
