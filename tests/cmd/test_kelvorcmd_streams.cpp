// KelvorCmd reading its meshes through pipes: a stream that is no mesh is refused at its first
// bytes in every role, and an FBX file through a pipe bakes the maps of the file at its memory.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/fbxtestwriter.h"
#include "support/pipefeeder.h"
#include "support/testsupport.h"

using namespace KelvorTest;

namespace {

// A bumped 40 x 40 grid over the unit square as a binary FBX model, beside an animation curve
// of as many float keys as given, stored in a zlib stream without compression: a long take that
// the importer never reads, so that the file's bytes are most of what its load holds.
std::string BumpedGridBesideCurve(uint32_t keys) {
    FbxTest::SceneData scene;
    FbxTest::MeshData& mesh = scene.meshes.emplace_back();
    constexpr int side = 40;
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x)
            mesh.vertices.insert(mesh.vertices.end(), {double(x) / side, double(y) / side,
                                                       0.05 * std::sin(x * 0.7) * std::cos(y * 0.4)});
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int a = y * (side + 1) + x;
            mesh.polygonVertexIndex.insert(mesh.polygonVertexIndex.end(), {a, a + 1, a + side + 2, ~(a + side + 1)});
        }
    FbxTest::ModelData& model = scene.models.emplace_back();
    model.name = "bumps";
    model.mesh = 0;
    const FbxTest::Format format{FbxTest::Encoding::Binary, 7400, true};
    std::vector<FbxTest::Node> records = scene.Records(format);

    std::vector<float> values(keys);
    for (uint32_t i = 0; i < keys; ++i) values[i] = float(i % 1000) * 0.01f;
    const uLong rawBytes = uLong(keys) * sizeof(float);
    uLongf streamBytes = compressBound(rawBytes);
    std::string stream(streamBytes, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &streamBytes, reinterpret_cast<const Bytef*>(values.data()),
                        rawBytes, Z_NO_COMPRESSION),
              Z_OK);
    stream.resize(streamBytes);
    FbxTest::Node curve{"AnimationCurve", {FbxTest::Value::Long(900000), FbxTest::Value::String(std::string("\0\1AnimCurve", 11)),
                                           FbxTest::Value::String("")}};
    curve.Add({"KeyValueFloat", {FbxTest::Value::Deflated('f', keys, std::move(stream))}});
    records[3].Add(curve);
    return FbxTest::Write(records, format);
}

}  // namespace

TEST(KelvorCmdStreams, ZeroBytesAreRefusedAtOnceInEveryRole) {
    TempFolder folder("kelvorcmd-zeros");
    WriteObj(folder / "mesh.obj", GridMesh(2, 0, 1, 0, 1));
    const uint64_t zeros = 900000000;
    // A file that holds no blocks on disk.
    FbxTest::WriteFile((folder / "zeros.fbx").string(), "");
    ASSERT_EQ(::truncate((folder / "zeros.fbx").c_str(), off_t(zeros)), 0);
    for (const char* role : {"--high", "--low", "--env"}) {
        for (const bool piped : {false, true}) {
            SCOPED_TRACE(std::string(role) + (piped ? " through a pipe" : " as a file"));
            const std::string name = piped ? "stream.fbx" : "zeros.fbx";
            std::unique_ptr<PipeFeeder> feeder;
            if (piped) feeder = std::make_unique<PipeFeeder>((folder / name).string(), zeros);
            std::vector<std::string> args{"--low", "mesh.obj", "--high", "mesh.obj", "--env", "mesh.obj"};
            *(std::find(args.begin(), args.end(), role) + 1) = name;
            args.insert(args.end(), {"-p", "out", "-f", "png8", "--width", "256", "--height", "256", "normal"});
            const ProgramResult run = RunKelvorCmd(args, folder.Path());
            EXPECT_EQ(run.status, 1) << run.out << run.err;
            EXPECT_NE(run.out.find("Can not load mesh file '" + name + "': Unexpected file type"), std::string::npos) << run.out;
            EXPECT_LT(run.peakKilobytes, 200 * 1024);
            if (feeder) {
                EXPECT_LT(feeder->Written(), uint64_t(1) << 20);
            }
        }
    }
}

TEST(KelvorCmdStreams, AnFbxThroughAPipeBakesTheMapsOfItsFileAtItsPeak) {
    TempFolder folder("kelvorcmd-fbxpipe");
    WriteObj(folder / "low.obj", GridMesh(1, 0, 1, 0, 1));
    // 160 MB of keys: a second copy of the file's bytes would show.
    FbxTest::WriteFile((folder / "high.fbx").string(), BumpedGridBesideCurve(40u << 20));
    auto bake = [&](const std::string& highName, const std::string& out) {
        return RunKelvorCmd({"--low", "low.obj", "--high", highName, "-p", out, "-f", "png16", "--width", "256",
                             "--height", "256", "normal"},
                            folder.Path());
    };
    const ProgramResult fromFile = bake("high.fbx", "file");
    ASSERT_EQ(fromFile.status, 0) << fromFile.out << fromFile.err;
    PipeFeeder feeder((folder / "piped.fbx").string(), PipeFeeder::File{(folder / "high.fbx").string()});
    const ProgramResult fromPipe = bake("piped.fbx", "pipe");
    ASSERT_EQ(fromPipe.status, 0) << fromPipe.out << fromPipe.err;
    EXPECT_EQ(feeder.Written(), fs::file_size(folder / "high.fbx"));
    for (const char* map : {"_onm.png", "_tnm_fbx.png"}) {
        const std::string fileMap = ReadAll(folder / ("file" + std::string(map)));
        EXPECT_FALSE(fileMap.empty()) << map;
        EXPECT_TRUE(fileMap == ReadAll(folder / ("pipe" + std::string(map)))) << map;
    }
    // The address sanitizer's heap keeps what a growing block let go, and copies it to grow.
    if (!AddressSanitizer) {
        EXPECT_GT(fromFile.peakKilobytes, 160 * 1024);
        EXPECT_LT(fromPipe.peakKilobytes, fromFile.peakKilobytes + 40 * 1024);
    }
}
