#include <fstream>

#include <gtest/gtest.h>

#include "support/fbxtestwriter.h"
#include "support/testsupport.h"

using namespace KelvorTest;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;

namespace {

// A low-poly triangle whose UVs cover the lower-left half of UV space, and a high-poly plane
// under all of it.
void WriteHalfCoveredScene(const fs::path& folder) {
    ObjMesh low;
    low.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    low.uvs = {{0, 0}, {1, 0}, {0, 1}};
    low.normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    low.faces = {{0, 1, 2}};
    WriteObj(folder / "low.obj", low);
    WriteObj(folder / "high.obj", GridMesh(4, -1, 2, -1, 2));
}

// A quad whose UVs span two tiles in u.
void WriteTwoTileScene(const fs::path& folder) {
    WriteObj(folder / "low.obj", GridMesh(1, 0, 2, 0, 1, 0, 2, 0, 1));
    WriteObj(folder / "high.obj", GridMesh(4, -1, 3, -1, 2));
}

}  // namespace

TEST(KelvorCmdBake, AlphaMaskCoversExactlyTheLowerLeftTriangle) {
    TempFolder folder("kelvorcmd-alpha");
    WriteHalfCoveredScene(folder.Path());
    const ProgramResult run = RunKelvorCmd(
        {"--low", "low.obj", "--high", "high.obj", "-p", "out_crate", "-f", "png8", "--width", "256", "--height", "256",
         "alphamask"},
        folder.Path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Done bake (total "), std::string::npos);

    const ImageFile image = ReadImageFile(folder / "out_crate_alpha.png");
    ASSERT_EQ(image.width, 256);
    ASSERT_EQ(image.height, 256);
    // The file's top row is the top of UV space: covered texels sit at the bottom-left.
    for (float channel : {0, 1, 2, 3}) {
        EXPECT_EQ(image.At(20, 235)[int(channel)], 1.0f);
        EXPECT_EQ(image.At(100, 200)[int(channel)], 1.0f);
        EXPECT_EQ(image.At(235, 20)[int(channel)], 0.0f);
        EXPECT_EQ(image.At(200, 100)[int(channel)], 0.0f);
    }
    int covered = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) covered += image.At(x, y)[3] > 0.5f;
    EXPECT_NEAR(covered, 256 * 256 / 2, 256 * 2);
}

TEST(KelvorCmdBake, TileNamesAndExplicitPath) {
    TempFolder folder("kelvorcmd-tiles");
    WriteTwoTileScene(folder.Path());
    const std::vector<std::string> common{"--low", "low.obj", "--high", "high.obj", "-f", "png8", "--width", "256",
                                          "--height", "256"};
    auto run = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = common;
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("alphamask");
        return RunKelvorCmd(args, folder.Path());
    };

    ProgramResult result = run({"-p", "udim", "--tilingmode", "auto"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(fs::exists(folder / "udim_alpha.1001.png"));
    EXPECT_TRUE(fs::exists(folder / "udim_alpha.1002.png"));
    EXPECT_FALSE(fs::exists(folder / "udim_alpha.1003.png"));
    // Each UV tile's file holds only its own half of the quad, which covers it fully.
    EXPECT_EQ(ReadImageFile(folder / "udim_alpha.1002.png").At(128, 128)[3], 1.0f);

    result = run({"-p", "mudbox", "--tilingmode", "auto", "--tilenaming", "mudbox"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(fs::exists(folder / "mudbox_alpha_u1_v1.png"));
    EXPECT_TRUE(fs::exists(folder / "mudbox_alpha_u2_v1.png"));

    result = run({"-p", "exact_name", "--explicitpath"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(fs::exists(folder / "exact_name.png"));
    EXPECT_FALSE(fs::exists(folder / "exact_name_alpha.png"));
}

TEST(KelvorCmdBake, EveryFormatHasTheRequestedSizeAndDepth) {
    TempFolder folder("kelvorcmd-formats");
    WriteHalfCoveredScene(folder.Path());
    const struct {
        const char* format;
        const char* file;
        int bits;
    } formats[] = {{"tiff16", "t16_alpha.tif", 16}, {"tiff8", "t8_alpha.tif", 8}, {"png8", "p8_alpha.png", 8},
                   {"png16", "p16_alpha.png", 16}, {"exr", "e_alpha.exr", 16}};
    for (const auto& f : formats) {
        const std::string prefix = std::string(f.file).substr(0, std::string(f.file).find("_alpha"));
        const ProgramResult run = RunKelvorCmd({"--low", "low.obj", "--high", "high.obj", "-p", prefix, "-f", f.format,
                                                "--width", "256", "--height", "512", "alphamask"},
                                               folder.Path());
        ASSERT_EQ(run.status, 0) << f.format << run.out << run.err;
        const ImageFile image = ReadImageFile(folder / f.file);
        EXPECT_EQ(image.width, 256) << f.format;
        EXPECT_EQ(image.height, 512) << f.format;
        EXPECT_EQ(image.bits, f.bits) << f.format;
        EXPECT_EQ(image.channels, 4) << f.format;
        EXPECT_FLOAT_EQ(image.At(10, 500)[3], 1.0f) << f.format;
        EXPECT_FLOAT_EQ(image.At(250, 10)[3], 0.0f) << f.format;
    }
}

TEST(KelvorCmdBake, MissingOrBrokenInputFailsWithoutAnImage) {
    TempFolder folder("kelvorcmd-missing");
    WriteHalfCoveredScene(folder.Path());
    ProgramResult run = RunKelvorCmd(
        {"--low", "low.obj", "--high", "missing.obj", "-p", "out", "-f", "png8", "--width", "256", "alphamask"},
        folder.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Can not open OBJ file"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Done bake"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "out_alpha.png"));

    run = RunKelvorCmd({"--low", "missing_low.obj", "--high", "high.obj", "-p", "out", "alphamask"}, folder.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(fs::exists(folder / "out_alpha.tif"));

    // An output folder that does not exist is named.
    run = RunKelvorCmd({"--low", "low.obj", "--high", "high.obj", "-p", "no/such/folder/out", "-f", "png8", "--width",
                        "256", "alphamask"},
                       folder.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("The output folder 'no/such/folder' does not exist"), std::string::npos) << run.out;
}

TEST(KelvorCmdBake, NonFiniteCoordinatesFailTheBakeInEveryRole) {
    TempFolder folder("kelvorcmd-nonfinite");
    WriteHalfCoveredScene(folder.Path());
    // Low-poly and envelope files go through the FBX importer whatever their extension.
    const std::string quad = "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nf 1/1/1 2/2/1 3/3/1\n";
    std::ofstream(folder / "nan.obj") << "v nan 0 0\nv 1 0 0\nv 0 1 0\n" << quad;
    std::ofstream(folder / "huge.obj") << "v 0 0 0\nv 1e400 0 0\nv 0 1 0\n" << quad;
    const std::vector<std::vector<std::string>> roles{{"--low", "nan.obj", "--high", "high.obj"},
                                                      {"--low", "low.obj", "--high", "high.obj", "--env", "huge.obj"},
                                                      {"--low", "low.obj", "--high", "nan.obj"}};
    for (std::vector<std::string> args : roles) {
        SCOPED_TRACE(args[1] + " " + args.back());
        args.insert(args.end(), {"-p", "out", "-f", "png8", "--width", "256", "--height", "256", "normal"});
        const ProgramResult run = RunKelvorCmd(args, folder.Path());
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("not a finite number"), std::string::npos) << run.out;
        for (const auto& entry : fs::directory_iterator(folder.Path()))
            EXPECT_NE(entry.path().extension(), ".png") << entry.path();
    }
}

TEST(KelvorCmdBake, NumbersThatAreNoNumbersFailTheBakeInEveryRole) {
    TempFolder folder("kelvorcmd-numbers");
    WriteHalfCoveredScene(folder.Path());
    // A texture coordinate beyond a double once dropped one of the two triangles from every map.
    std::ofstream(folder / "uv.obj") << "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nvt 1e309 0\nvn 0 0 1\n"
                                        "f 1/1/1 2/2/1 3/3/1\nf 2/2/1 4/4/1 3/3/1\n";
    std::ofstream(folder / "nan.obj") << "v 0 0 0\nv 1.#QNAN 0 0\nv 0 1 0\nf 1 2 3\n";
    std::ofstream(folder / "comma.ply") << "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                                           "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                                           "-1,25 -1,25 0,5\n1,25 -1,25 0,5\n1,25 1,25 0,5\n-1,25 1,25 0,5\n4 0 1 2 3\n";
    // ASCII FBX files whose vertex, index or translation was written beyond what the reader can take.
    FbxTest::SceneData fbx;
    FbxTest::MeshData& mesh = fbx.meshes.emplace_back();
    mesh.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 12345.25};
    mesh.polygonVertexIndex = {0, 987654, ~2};
    FbxTest::LayerElement uvs;
    uvs.direct = {0, 0, 1, 0, 0, 1};
    mesh.uvs = {uvs};
    fbx.models.push_back({"tri", -1, "Mesh", 0, {}, {FbxTest::VectorProperty("Lcl Translation", 0, 0, 7777.5)}});
    const std::string text = FbxTest::WriteScene(fbx, {FbxTest::Encoding::Ascii, 7400, false});
    const auto write = [&](const std::string& name, std::string contents, const std::vector<std::string>& replaced) {
        for (const std::string& marker : {std::string("12345.25"), std::string("987654"), std::string("7777.5")})
            contents.replace(contents.find(marker), marker.size(),
                             marker == replaced[0] ? replaced[1] : marker == "987654" ? "1" : "0");
        std::ofstream(folder / name) << contents;
    };
    write("vertex.fbx", text, {"12345.25", "1e309"});
    write("index.fbx", text, {"987654", std::string(800, '9')});
    write("moved.fbx", text, {"7777.5", "inf"});

    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--low", "uv.obj", "--high", "high.obj"}, "texture coordinate is not a finite number on line 8"},
        {{"--low", "low.obj", "--high", "high.obj", "--env", "uv.obj"}, "texture coordinate is not a finite number"},
        {{"--low", "low.obj", "--high", "nan.obj"}, "line 2: '1.#QNAN' is not a number"},
        {{"--low", "low.obj", "--high", "comma.ply"}, "line 10: '-1,25' in a vertex record is not a number"},
        {{"--low", "vertex.fbx", "--high", "high.obj"}, "has a coordinate that is not a finite number"},
        {{"--low", "low.obj", "--high", "index.fbx"}, "PolygonVertexIndex entry 1 is not a valid index"},
        {{"--low", "low.obj", "--high", "high.obj", "--env", "moved.fbx"}, "property 'Lcl Translation' of model 'tri' holds 'inf'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        SCOPED_TRACE(args[1] + " " + args.back());
        args.insert(args.end(), {"-p", "out", "-f", "png8", "--width", "256", "--height", "256", "normal"});
        const ProgramResult run = RunKelvorCmd(args, folder.Path());
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        for (const auto& entry : fs::directory_iterator(folder.Path()))
            EXPECT_NE(entry.path().extension(), ".png") << entry.path();
    }
}

TEST(KelvorCmdBake, DilationFarBeyondTheMapEndsWithTheImageOfEnoughSteps) {
    TempFolder folder("kelvorcmd-dilation");
    WriteHalfCoveredScene(folder.Path());
    // The empty corner of the 256 x 256 map lies about 254 steps from the covered triangle. A
    // count that would run for days must stop once a step fills nothing: the run is bounded,
    // and its images are those of 256 steps.
    auto bake = [&](const std::string& prefix, const std::string& dilation) {
        return RunProgram("/usr/bin/timeout",
                          {"600", KelvorCmdPath().string(), "--low", "low.obj", "--high", "high.obj", "-p", prefix, "-f",
                           "png8", "--width", "256", "--height", "256", "--dilation", dilation, "normal"},
                          {{"XDG_CONFIG_HOME", (folder / ".config").string()}}, folder.Path());
    };
    for (const auto& [prefix, dilation] : {std::pair<std::string, std::string>{"enough", "256"}, {"endless", "2147483647"},
                                           {"short", "16"}}) {
        const ProgramResult run = bake(prefix, dilation);
        ASSERT_EQ(run.status, 0) << "--dilation " << dilation << "\n" << run.out << run.err;
    }
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(folder.Path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("enough_", 0) != 0) continue;
        const std::string suffix = name.substr(std::string("enough").size());
        const ImageFile enough = ReadImageFile(entry.path());
        const ImageFile endless = ReadImageFile(folder / ("endless" + suffix));
        const ImageFile cut = ReadImageFile(folder / ("short" + suffix));
        ASSERT_EQ(enough.width, 256) << name;
        EXPECT_EQ(enough.pixels, endless.pixels) << name;
        EXPECT_NE(enough.pixels, cut.pixels) << name;
        EXPECT_EQ(enough.At(255, 0)[3], 1.0f) << name;  // the far corner was reached
        ++compared;
    }
    EXPECT_EQ(compared, 2);  // the tangent-space and the object-space map
}
