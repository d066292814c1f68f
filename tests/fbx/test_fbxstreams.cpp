// The FBX reader takes its bytes from a file or from a stream (a pipe, a device): it tells a
// file that is no mesh by its first bytes and reads no further, and a mesh read through a pipe
// is the mesh of its file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"
#include "support/pipefeeder.h"

using namespace Pallix::Bake;
using namespace FbxTest;
using KelvorTest::PipeFeeder;

namespace {

// Bytes this process has read from files and pipes so far.
uint64_t BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

struct Load {
    std::unique_ptr<Scene> scene;
    std::string refusal;  // empty when it loaded
    uint64_t bytesRead = 0;
};

Load LoadPath(const std::string& path) {
    Load load;
    testing::internal::CaptureStdout();
    const uint64_t before = BytesRead();
    try {
        load.scene = ImportFile(path, AllNeeds, {true, false, ""});
    } catch (const ImportException& e) {
        load.refusal = e.what();
    }
    load.bytesRead = BytesRead() - before;
    testing::internal::GetCapturedStdout();
    return load;
}

std::string Unexpected(const std::string& path) { return "Can not load mesh file '" + path + "': Unexpected file type"; }

// Every line end as a carriage return and a line feed.
std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// An OBJ low-poly of many corners, each line ending as given, under a sculpting tool's header.
std::string LargeObj(const std::string& lineEnd) {
    std::string text = "#ZBrush OBJ export" + lineEnd + "#Vertex Count 6561" + lineEnd + lineEnd + "\t";
    for (int y = 0; y <= 80; ++y)
        for (int x = 0; x <= 80; ++x)
            text += "v " + std::to_string(x) + " " + std::to_string(y) + " 0" + lineEnd + "vt 0.5 0.5" + lineEnd;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            const int a = 1 + y * 81 + x;
            text += "f " + std::to_string(a) + "/1 " + std::to_string(a + 1) + "/1 " + std::to_string(a + 82) + "/1" + lineEnd;
        }
    return text;
}

}  // namespace

TEST(FbxStreams, FilesThatAreNoMeshAreRefusedAfterTheirFirstBytes) {
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + std::string(2 << 20, '\x7f');
    // An OBJ file written as UTF-16, which no reader here takes.
    std::string utf16 = "\xFF\xFE";
    const std::string objText = "v 0 0 0\n" + std::string(1 << 20, ' ');
    for (char c : objText) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    // A comment line that runs on into NUL bytes, and comments that hold a control byte before
    // the head ends: text the way no exporter writes it.
    const std::string commentIntoZeros = "; exported" + std::string(2 << 20, '\0');
    std::string controlInComments;
    while (controlInComments.size() < (1 << 20)) controlInComments += "; a comment \x02 line\n";
    const std::pair<const char*, std::string> inputs[] = {
        {"png", png}, {"utf16", utf16}, {"zeros_after_comment", commentIntoZeros}, {"control", controlInComments}};
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        const std::string file = (TestDir() / (std::string(name) + ".fbx")).string();
        WriteFile(file, bytes);
        const Load fromFile = LoadPath(file);
        EXPECT_EQ(fromFile.refusal, Unexpected(file));
        EXPECT_LT(fromFile.bytesRead, bytes.size() / 4);

        const std::string pipe = (TestDir() / (std::string(name) + "_pipe.fbx")).string();
        PipeFeeder feeder(pipe, bytes);
        ASSERT_TRUE(feeder.Made());
        EXPECT_EQ(LoadPath(pipe).refusal, Unexpected(pipe));
        EXPECT_LT(feeder.Written(), bytes.size() / 4);
    }

    // 900 MB of zero bytes, as a file that holds no blocks on disk and through a pipe.
    const uint64_t zeros = 900000000;
    const std::string file = (TestDir() / "zeros.fbx").string();
    WriteFile(file, "");
    ASSERT_EQ(::truncate(file.c_str(), off_t(zeros)), 0);
    const Load fromFile = LoadPath(file);
    EXPECT_EQ(fromFile.refusal, Unexpected(file));
    EXPECT_LT(fromFile.bytesRead, uint64_t(1) << 20);
    const std::string pipe = (TestDir() / "zeros_pipe.fbx").string();
    PipeFeeder feeder(pipe, zeros);
    EXPECT_EQ(LoadPath(pipe).refusal, Unexpected(pipe));
    EXPECT_LT(feeder.Written(), uint64_t(1) << 20);
}

TEST(FbxStreams, MeshesReadThroughAPipeAreTheMeshesOfTheirFiles) {
    const SceneData grids = GridInstances(400);
    const std::string ascii = WriteScene(grids, {Encoding::Ascii, 7400, false});
    // A header longer than the first bytes that are looked at, which leaves them undecided.
    std::string longHeader;
    while (longHeader.size() < (100 << 10)) longHeader += "; Exported from a scene with a long history of edits\n";
    const std::pair<const char*, std::string> inputs[] = {
        {"binary", WriteScene(grids, {Encoding::Binary, 7400, false})},
        {"binary_compressed", WriteScene(grids, {Encoding::Binary, 7500, true})},
        {"ascii", ascii},
        {"ascii_mark_blank_lines_crlf", "\xEF\xBB\xBF\r\n\r\n" + WithCrLf(ascii)},
        {"ascii_long_comment_header", longHeader + ascii},
        {"ascii_header_record_first", "\n\n" + ascii.substr(ascii.find("FBXHeaderExtension:"))},
        {"obj_crlf", LargeObj("\r\n")},
        {"obj_mark_carriage_returns", "\xEF\xBB\xBF" + LargeObj("\r")},
    };
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        ASSERT_GT(bytes.size(), size_t(64) << 10);
        const std::string file = (TestDir() / (std::string(name) + ".fbx")).string();
        WriteFile(file, bytes);
        const Load fromFile = LoadPath(file);
        ASSERT_EQ(fromFile.refusal, "");
        ASSERT_FALSE(fromFile.scene->meshes.empty());

        const std::string pipe = (TestDir() / (std::string(name) + "_pipe.fbx")).string();
        PipeFeeder feeder(pipe, bytes);
        const Load fromPipe = LoadPath(pipe);
        ASSERT_EQ(fromPipe.refusal, "");
        EXPECT_EQ(feeder.Written(), bytes.size());
        ExpectSameScene(*fromFile.scene, *fromPipe.scene);
    }
}
