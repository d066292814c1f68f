#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

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
        if (entry.is_regular_file() && extension != ".obj" && extension != ".ply" && extension != ".stl")
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
    const char* const explicitPath = "An explicit output path holds one image, but the UV-tile region";
    const Refusal refusals[] = {
        {"negative UVs", {"--low", "negative.obj", "--tilingmode", "auto"}, noRange},
        {"NaN UVs", {"--low", "nan.obj", "--tilingmode", "auto"}, noUVs},
        {"NaN UVs untiled", {"--low", "nan.obj"}, noUVs},
        {"infinite UVs", {"--low", "infinite.obj", "--tilingmode", "auto"}, noUVs},
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
        {"negative region", {"--tilingmode", "manual", "--uvtile_min_v", "-1", "--uvtile_max_v", "0"},
         "The UV-tile region u 1 to 1, v -1 to 0 has a negative tile number; the smallest is 0"},
        {"endless manual region, Mudbox",
         {"--tilingmode", "manual", "--tilenaming", "mudbox", "--uvtile_min_u", "0", "--uvtile_max_u", "2000000000"},
         "The UV-tile region u 0 to 2000000000, v 1 to 1 has more than 1000 UV tiles"},
        {"endless manual region, UDIM", {"--tilingmode", "manual", "--uvtile_min_v", "0", "--uvtile_max_v", "1000"},
         "The UV-tile region u 1 to 1, v 0 to 1000 has more than 1000 UV tiles"},
    };
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
            const ProgramResult run = RunKelvorCmd(args, folder.Path());
            EXPECT_EQ(run.status, 1) << refusal.name << " " << map << "\n" << run.out << run.err;
            EXPECT_NE(run.out.find(refusal.message), std::string::npos) << refusal.name << " " << map << "\n" << run.out;
            EXPECT_EQ(Written(folder.Path()), std::vector<std::string>{}) << refusal.name << " " << map;
        }
    }

    // The explicit path still takes a single UV tile of a manual region.
    const ProgramResult one = RunKelvorCmd({"--low", "twotiles.obj", "--high", "high.obj", "-p", "single.png", "-f",
                                            "png8", "--width", "256", "--height", "256", "--tilingmode", "manual",
                                            "--uvtile_min_u", "1", "--uvtile_max_u", "1", "--uvtile_min_v", "0",
                                            "--uvtile_max_v", "0", "--explicitpath", "alphamask"},
                                           folder.Path());
    EXPECT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_TRUE(fs::exists(folder / "single.png.png"));

    // An infinite UV beside usable ones is skipped: automatic tiling bakes the usable ones' tile,
    // and the widest UDIM manual region is the ten columns of a row.
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
        const ProgramResult run = RunKelvorCmd(args, folder.Path());
        EXPECT_EQ(run.status, 0) << mesh << "\n" << run.out << run.err;
    };
    bake("partly.obj", "partly", {"--tilingmode", "auto"});
    EXPECT_TRUE(fs::exists(folder / "partly_alpha.1001.png"));
    EXPECT_FALSE(fs::exists(folder / "partly_alpha.1002.png"));
    bake("low.obj", "row", {"--tilingmode", "manual", "--uvtile_min_u", "0", "--uvtile_max_u", "2000000000",
                            "--uvtile_min_v", "0", "--uvtile_max_v", "0"});
    EXPECT_TRUE(fs::exists(folder / "row_alpha.1010.png"));
}
