#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "importoutcome.h"
#include "io/chunkedinput.h"
#include "io/fbximporter.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"
#include "support/changingsource.h"
#include "support/pipefeeder.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;
using KelvorTest::ChangingSource;

namespace {

// Lines of one width: every version of a file made of them starts its lines at the same places,
// so that a chunk of one version is a chunk of lines of the other too.
std::string FixedLines(const std::vector<std::string>& lines, size_t width = 24) {
    std::string text;
    for (const std::string& line : lines) text += line + std::string(width - 1 - line.size(), ' ') + "\n";
    return text;
}

// Text made by printf, which keeps GCC's string-concatenation warnings at bay.
template <class... Values>
std::string Printed(const char* format, Values... values) {
    char text[64];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// A 3 x 3 grid of quads, and lines of "v 0 0 0" as long as it.
std::string GridObj() {
    std::vector<std::string> lines;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) lines.push_back(Printed("v %d %d 0.5", x, y));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) {
            const int a = 1 + x + 4 * y;
            lines.push_back(Printed("f %d %d %d %d", a, a + 1, a + 5, a + 4));
        }
    return FixedLines(lines);
}

std::string ZeroVertices(size_t bytes) {
    return FixedLines(std::vector<std::string>(bytes / 24, "v 0 0 0"));
}

// An ASCII PLY of eight vertices whose faces are triangles, or hexagons on lines of the same length.
std::string AsciiPly(int corners) {
    std::string text = "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\nproperty float z\n"
                       "property uchar red\nproperty uchar green\nproperty uchar blue\nelement face 6\nproperty list uchar int vertex_indices\nend_header\n";
    std::vector<std::string> lines;
    for (int v = 0; v < 8; ++v) lines.push_back(Printed("%d %d %d 10 20 %d", v % 3, v / 3, v % 2, v));
    for (int f = 0; f < 6; ++f) {
        std::string face = Printed("%d", corners);
        for (int k = 0; k < corners; ++k) face += Printed(" %d", (f + k) % 8);
        lines.push_back(face);
    }
    return text + FixedLines(lines);
}

// A binary PLY whose twelve faces are triangles, or quads and single corners in the same bytes.
std::string BinaryPly(bool triangles) {
    std::string out = "ply\nformat binary_little_endian 1.0\nelement vertex 8\nproperty float x\nproperty float y\n"
                      "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nelement face 12\n"
                      "property list uchar int vertex_indices\nend_header\n";
    auto put = [&out](auto value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); };
    for (int v = 0; v < 8; ++v) {
        put(float(v % 2));
        put(float((v / 2) % 2));
        put(float(v / 4));
        for (int channel : {10, 20, v}) put(uint8_t(channel));
    }
    const std::vector<int> sizes = triangles ? std::vector<int>(12, 3) : std::vector<int>{4, 4, 1, 4, 4, 1, 4, 4, 1, 4, 4, 1};
    for (size_t f = 0; f < sizes.size(); ++f) {
        put(uint8_t(sizes[f]));
        for (int k = 0; k < sizes[f]; ++k) put(int32_t((int(f) + k) % 8));
    }
    return out;
}

// What an import leaves; only the refusals an importer may end in are caught, so that anything
// else fails the test. Standard error is left alone for the sanitizers' reports.
ImportOutcome Record(const std::function<void(Scene&)>& import) {
    ImportOutcome outcome;
    Scene scene(NeedNormals);
    testing::internal::CaptureStdout();
    try {
        import(scene);
    } catch (const ImportException& e) {
        outcome.refusal = e.what();
    } catch (const BakeException& e) {
        outcome.refusal = e.what();
    }
    testing::internal::GetCapturedStdout();
    if (scene.meshes.empty()) return outcome;  // refused before its mesh was begun
    const SceneMesh& mesh = *scene.meshes.back();
    outcome.positions = mesh.positions;
    outcome.normals = mesh.normals;
    outcome.colours = mesh.colours;
    outcome.indices = mesh.indices;
    outcome.materials = mesh.triangleMaterials;
    return outcome;
}

enum class Format { Obj, Ply };

// What reading an opened input gives, on workers threads in chunks of chunkBytes.
ImportOutcome ReadOpened(Format format, const ChunkedInput& input, const std::string& name, unsigned workers = 0,
                         size_t chunkBytes = DefaultChunkBytes) {
    return Record([&](Scene& scene) {
        auto read = [&](auto importer) {
            importer.workers = workers;
            importer.chunkBytes = chunkBytes;
            importer.ImportInput(input, name.c_str(), &scene);
        };
        if (format == Format::Obj) read(OBJImporter());
        else read(PLYImporter());
    });
}

ImportOutcome ReadThrough(Format format, const InputSource& source, unsigned workers, size_t chunkBytes) {
    const ChunkedInput input(source);
    return ReadOpened(format, input, "changing", workers, chunkBytes);
}

ImportOutcome ReadOnce(Format format, const std::string& bytes, size_t chunkBytes) {
    const ChangingSource same({bytes}, [](uint64_t) { return size_t(0); });
    return ReadThrough(format, same, 1, chunkBytes);
}

const std::string Changed = "changing changed while it was being read";

// A mesh whose arrays agree with each other, whatever else it holds.
void ExpectWhole(const ImportOutcome& outcome) {
    EXPECT_EQ(outcome.colours.size(), outcome.positions.size());
    EXPECT_EQ(outcome.indices.size(), 3 * outcome.materials.size());
    for (uint32_t index : outcome.indices) ASSERT_LT(index, outcome.positions.size());
}

// What rewriting an input at each reading in turn gave: imports refused as changed, and
// imports refused for what the mix of versions held.
struct Sweep {
    int changed = 0, refused = 0;
};

// Rewrites the input from `before` to `after` at every reading in turn, on one thread so that
// the readings come in one order: each import reads one version whole or is refused.
Sweep SweepRewrites(Format format, const std::string& before, const std::string& after, size_t chunkBytes) {
    Sweep sweep;
    EXPECT_EQ(before.size(), after.size());
    const ImportOutcome first = ReadOnce(format, before, chunkBytes), second = ReadOnce(format, after, chunkBytes);
    EXPECT_NE(first, second);
    const ChangingSource probe({before}, [](uint64_t) { return size_t(0); });
    ReadThrough(format, probe, 1, chunkBytes);
    for (uint64_t at = 0; at <= probe.Reads(); ++at) {
        const ChangingSource source({before, after}, [at](uint64_t read) { return size_t(read >= at ? 1 : 0); });
        const ImportOutcome outcome = ReadThrough(format, source, 1, chunkBytes);
        ExpectWhole(outcome);
        if (outcome.refusal == Changed) ++sweep.changed;
        else if (outcome != first && outcome != second && !outcome.refusal.empty()) ++sweep.refused;
        else EXPECT_TRUE(outcome == first || outcome == second) << "rewritten at reading " << at;
    }
    EXPECT_EQ(ReadThrough(format, ChangingSource({before, after}, [](uint64_t) { return size_t(1); }), 1, chunkBytes), second);
    return sweep;
}

// Versions that swap at every reading, or every few, on several threads: never a write out of
// bounds (the sanitizer build watches), and a mesh whose arrays agree or a refusal.
void AlternateVersions(Format format, const std::string& one, const std::string& other) {
    for (uint64_t period : {1u, 2u, 3u, 5u})
        for (size_t chunkBytes : {size_t(7), size_t(40), size_t(100)}) {
            const ChangingSource source({one, other}, [period](uint64_t read) { return size_t(read / period % 2); });
            ExpectWhole(ReadThrough(format, source, 4, chunkBytes));
        }
}

}  // namespace

TEST(ChangingFiles, ObjRewrittenWhileReadIsReadWholeOrRefused) {
    // Lines start at the same places in both versions, so every mix of them is caught by the counts.
    const std::string grid = GridObj(), zeros = ZeroVertices(grid.size());
    for (const auto& [before, after] : {std::pair(grid, zeros), std::pair(zeros, grid)}) {
        const Sweep sweep = SweepRewrites(Format::Obj, before, after, 60);
        EXPECT_GT(sweep.changed, 0);
        EXPECT_EQ(sweep.refused, 0);
    }
    AlternateVersions(Format::Obj, grid, zeros);
    // Lines that start elsewhere in the other version: chunks cut lines in two.
    AlternateVersions(Format::Obj, grid, KelvorTest::Rotated(grid, 11));
}

TEST(ChangingFiles, PlyRewrittenWhileReadIsReadWholeOrRefused) {
    // Triangles counted and hexagons read, or the other way round, on lines of one length.
    for (const auto& [before, after] : {std::pair(AsciiPly(3), AsciiPly(6)), std::pair(AsciiPly(6), AsciiPly(3))}) {
        const Sweep sweep = SweepRewrites(Format::Ply, before, after, 60);
        EXPECT_GT(sweep.changed, 0);
        EXPECT_EQ(sweep.refused, 0);
    }
    AlternateVersions(Format::Ply, AsciiPly(3), AsciiPly(6));
    // Binary records of other sizes: a run laid out over one version may begin inside a record
    // of the other, whose bytes then read as a face with impossible corners and are refused.
    EXPECT_GT(SweepRewrites(Format::Ply, BinaryPly(false), BinaryPly(true), 40).changed, 0);
    SweepRewrites(Format::Ply, BinaryPly(true), BinaryPly(false), 40);
    AlternateVersions(Format::Ply, BinaryPly(true), BinaryPly(false));
    const std::string binary = BinaryPly(true);
    const size_t header = binary.find("end_header\n") + 11;
    AlternateVersions(Format::Ply, binary, binary.substr(0, header) + KelvorTest::Rotated(binary.substr(header), 5));
}

namespace {

ImportOutcome ReadFile(Format format, const std::string& path) {
    return Record([&](Scene& scene) {
        if (format == Format::Obj) OBJImporter().Import(path.c_str(), &scene);
        else PLYImporter().Import(path.c_str(), &scene);
    });
}

void Overwrite(const std::string& path, const std::string& bytes, off_t at) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), at), ssize_t(bytes.size()));
    ::close(fd);
}

// Starts a program whose only environment string is text, so that /proc/<pid>/environ holds it,
// and waits until it does: the spawn returns while the program's exec is still laying it out.
pid_t StartHolding(std::string& text, std::string& path) {
    char* environment[] = {text.data(), nullptr};
    char sleep[] = "sleep", seconds[] = "60";
    char* arguments[] = {sleep, seconds, nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, "/bin/sleep", nullptr, nullptr, arguments, environment) != 0) return 0;
    path = "/proc/" + std::to_string(child) + "/environ";
    for (int attempt = 0; attempt < 5000 && KelvorTest::ReadAll(path) != text + '\0'; ++attempt) ::usleep(1000);
    return child;
}

void Stop(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace

TEST(ChangingFiles, AFileRewrittenInPlaceCutShortOrGrownIsRefused) {
    const KelvorTest::TempFolder folder("kelvor-changing");
    const std::string grid = GridObj();
    const std::pair<Format, std::pair<std::string, std::string>> cases[] = {
        {Format::Obj, {grid, ZeroVertices(grid.size())}}, {Format::Ply, {AsciiPly(3), AsciiPly(6)}}, {Format::Ply, {BinaryPly(true), BinaryPly(false)}}};
    for (const auto& [format, versions] : cases) {
        const std::string path = (folder / (format == Format::Obj ? "mesh.obj" : "mesh.ply")).string();
        const std::string changed = path + " changed while it was being read";
        // Dated well in the past, so that any write moves the date.
        auto writeDated = [&] {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << versions.first;
            const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
        };
        writeDated();
        {
            const ChunkedInput unchanged(path.c_str());
            EXPECT_EQ(ReadOpened(format, unchanged, path), ReadOnce(format, versions.first, DefaultChunkBytes));
        }
        // The same length in place: nothing in the lines tells, the file's date does.
        {
            const ChunkedInput input(path.c_str());
            Overwrite(path, versions.second, 0);
            EXPECT_EQ(ReadOpened(format, input, path).refusal, changed);
        }
        writeDated();
        {
            const ChunkedInput input(path.c_str());
            ASSERT_EQ(::truncate(path.c_str(), off_t(versions.first.size() / 2)), 0);
            EXPECT_EQ(ReadOpened(format, input, path).refusal, changed);
        }
        writeDated();
        {
            const ChunkedInput input(path.c_str());
            Overwrite(path, versions.second, off_t(versions.first.size()));
            EXPECT_EQ(ReadOpened(format, input, path).refusal, changed);
        }
    }
}

// A regular file whose size reads 0 while it holds bytes: /proc/<pid>/environ of a program
// started with the mesh as its only environment string.
TEST(FilesWithoutASize, AreReadToTheirEndAsStreamsAre) {
    for (const auto& [format, text] : {std::pair(Format::Obj, GridObj()), std::pair(Format::Ply, AsciiPly(3))}) {
        std::string variable = text, path;
        const pid_t child = StartHolding(variable, path);
        ASSERT_NE(child, 0);
        struct stat info {};
        const bool statted = ::stat(path.c_str(), &info) == 0;
        const ImportOutcome outcome = ReadFile(format, path);
        Stop(child);
        ASSERT_TRUE(statted && S_ISREG(info.st_mode)) << path;
        EXPECT_EQ(info.st_size, 0);
        EXPECT_EQ(outcome.refusal, "");
        EXPECT_EQ(outcome, ReadOnce(format, text + '\0', DefaultChunkBytes));
        EXPECT_FALSE(outcome.indices.empty());
    }
}

// Low-poly meshes and envelopes go through the FBX reader, which takes OBJ text as well.
TEST(FilesWithoutASize, AreReadByTheFbxReaderToo) {
    const KelvorTest::TempFolder folder("kelvor-sizeless");
    std::string text = GridObj() + FixedLines({"vt 0 0", "vt 1 0", "vt 1 1"});
    const std::string path = (folder / "grid.obj").string();
    std::ofstream(path, std::ios::binary) << text << '\0';
    std::string proc;
    const pid_t child = StartHolding(text, proc);
    ASSERT_NE(child, 0);
    auto import = [](const std::string& from) {
        Scene scene(NeedNormals);
        testing::internal::CaptureStdout();
        try {
            FBXImporter().Import(from.c_str(), &scene);
        } catch (const ImportException& e) {
            ADD_FAILURE() << e.what();
        }
        testing::internal::GetCapturedStdout();
        return scene.meshes.empty() ? std::vector<uint32_t>{} : scene.meshes[0]->indices;
    };
    const std::vector<uint32_t> fromProc = import(proc);
    Stop(child);
    EXPECT_EQ(fromProc, import(path));
    EXPECT_EQ(fromProc.size(), 3u * 18u);
}

// A stream without an end is read only while memory lasts, then refused by name; under a limit
// of the address space, which the address sanitizer's own reservations leave no room for.
TEST(FilesWithoutASize, AnEndlessStreamIsRefusedWhenMemoryRunsOut) {
    if (KelvorTest::AddressSanitizer) GTEST_SKIP() << "the address sanitizer reserves more address space than any limit allows";
    for (Format format : {Format::Obj, Format::Ply}) {
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeEnds[0]);
            std::string message = "no refusal";
            std::ifstream status("/proc/self/status");
            std::string line;
            unsigned long long kilobytes = 0;
            while (std::getline(status, line))
                if (line.rfind("VmSize:", 0) == 0) kilobytes = std::strtoull(line.c_str() + 7, nullptr, 10);
            const rlimit limit{rlim_t(kilobytes * 1024 + (rlim_t(768) << 20)), rlim_t(kilobytes * 1024 + (rlim_t(768) << 20))};
            if (kilobytes == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) message = "no limit";
            else {
                try {
                    message = ReadFile(format, "/dev/zero").refusal;
                } catch (const std::exception& e) {
                    message = std::string("escaped: ") + e.what();
                }
            }
            ssize_t written = ::write(pipeEnds[1], message.data(), message.size());
            ::_exit(written == ssize_t(message.size()) ? 0 : 1);
        }
        ::close(pipeEnds[1]);
        std::string message;
        char part[256];
        for (ssize_t got; (got = ::read(pipeEnds[0], part, sizeof part)) > 0;) message.append(part, size_t(got));
        ::close(pipeEnds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_EQ(message.rfind("Not enough memory to read /dev/zero: it runs on past the ", 0), 0u) << message;
    }
}

TEST(FilesWithoutASize, AFolderIsNamedAsOne) {
    const KelvorTest::TempFolder folder("kelvor-folder");
    const std::string path = (folder / "meshes.obj").string();
    std::filesystem::create_directory(path);
    EXPECT_EQ(ReadFile(Format::Obj, path).refusal, path + " is a folder");
    EXPECT_EQ(ReadFile(Format::Ply, path).refusal, path + " is a folder");
}

namespace {

// Bytes that differ from their neighbours and repeat only after gigabytes, so that a part read
// from the wrong place shows.
std::string Pattern(size_t bytes) {
    std::string text(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) text[i] = char(uint32_t(i * 2654435761u) >> 24 ^ uint32_t(i >> 20));
    return text;
}

// What the last head check was asked, and how it answers.
struct HeadChecks {
    static inline int asked = 0;
    static inline std::string head;
    static inline bool accept = false;
    static bool Check(std::string_view first) {
        ++asked;
        head = first;
        return accept;
    }
};

}  // namespace

// A stream is held in one block that grows as it is read: tens of megabytes arrive whole, and
// the OBJ reader's chunks of it read as those of the file.
TEST(Streams, AreHeldWholeAsTheyGrow) {
    const KelvorTest::TempFolder folder("kelvor-streams");
    const std::string bytes = Pattern(size_t(40) << 20);
    {
        KelvorTest::PipeFeeder feeder((folder / "pattern").string(), bytes);
        ChunkedInput input((folder / "pattern").string().c_str());
        EXPECT_FALSE(input.ReadFailed());
        ASSERT_EQ(input.Size(), bytes.size());
        EXPECT_TRUE(input.Whole() == bytes);
        EXPECT_TRUE(input.Hold());
        ReadBuffer buffer;
        std::string_view part;
        ASSERT_TRUE(input.View((8 << 20) - 5, 10, buffer, part));
        EXPECT_EQ(part, std::string_view(bytes).substr((8 << 20) - 5, 10));
    }
    std::string obj;
    for (int i = 0; obj.size() < (24 << 20); ++i)
        obj += Printed("v %d %d %d\n", i % 1000, i / 1000, i % 7) + (i >= 2 ? Printed("f %d %d %d\n", i - 1, i, i + 1) : "");
    const std::string file = (folder / "mesh.obj").string(), pipe = (folder / "piped.obj").string();
    std::ofstream(file, std::ios::binary) << obj;
    const ImportOutcome fromFile = ReadFile(Format::Obj, file);
    ASSERT_EQ(fromFile.refusal, "");
    KelvorTest::PipeFeeder feeder(pipe, obj);
    EXPECT_EQ(ReadFile(Format::Obj, pipe), fromFile);
}

// A reader may look at the first bytes of an input before the rest is read: it is asked only of
// an input that runs on past them, and of a stream no more is read when it says no.
TEST(Streams, AHeadCheckSeesTheFirstBytesAndStopsTheReading) {
    const KelvorTest::TempFolder folder("kelvor-head");
    const size_t head = ChunkedInput::HeadBytes;
    const std::string exact = Pattern(head), longer = Pattern(head + (4 << 20));
    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "file");
        const std::string path = (folder / "input").string();
        auto open = [&](const std::string& bytes, std::unique_ptr<KelvorTest::PipeFeeder>& feeder) {
            feeder.reset();  // its pipe goes with it
            if (pipe) feeder = std::make_unique<KelvorTest::PipeFeeder>(path, bytes);
            else std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
            return std::make_unique<ChunkedInput>(path.c_str(), &HeadChecks::Check);
        };
        std::unique_ptr<KelvorTest::PipeFeeder> feeder;
        HeadChecks::asked = 0;
        HeadChecks::accept = false;
        auto input = open(exact, feeder);
        EXPECT_EQ(HeadChecks::asked, 0);
        EXPECT_FALSE(input->HeadRefused());
        EXPECT_EQ(input->Size(), head);

        input = open(longer, feeder);
        EXPECT_EQ(HeadChecks::asked, 1);
        EXPECT_TRUE(HeadChecks::head == std::string_view(longer).substr(0, head));
        EXPECT_TRUE(input->HeadRefused());
        if (pipe) {
            EXPECT_LT(feeder->Written(), uint64_t(1) << 20);
        }

        HeadChecks::accept = true;
        input = open(longer, feeder);
        EXPECT_EQ(HeadChecks::asked, 2);
        EXPECT_FALSE(input->HeadRefused());
        ASSERT_TRUE(input->Hold());
        EXPECT_TRUE(input->Whole() == longer);
        feeder.reset();
        ::unlink(path.c_str());
    }
}
