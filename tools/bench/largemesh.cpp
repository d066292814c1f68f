// High-poly loads of a generated bumped sphere of 1M and 10M triangles, as an OBJ file with
// normals, as a binary PLY file and as a binary FBX file, and of as many triangles in instances
// of a small FBX grid, taken step by step the way the bake manager loads a high-poly file and
// builds its trace mesh, with the resident memory each step peaks at and the address space the
// load takes, beside the least the bake manager's load estimate says it takes. The spheres and
// files of as many points and one triangle, from the smallest size to the largest, give the
// bytes a triangle and a vertex that the estimate counts (with one size, from files of two
// triangles); all are measured again for a bake that needs no normals.
// KELVOR_BENCH_MESH_SIZES sets the sizes in millions of triangles ("1" for a quick run,
// "1,10,40" for more); the files live in a temporary folder only while they are measured.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bake/bakemanager.h"
#include "bake/highpolyestimate.h"
#include "bench.h"
#include "bumpedsphere.h"
#include "fbxbinary.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "io/fbximporter.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"
#include "trace/swtracemesh.h"
#include "trace/tracegridsettings.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;
namespace BumpedSphere = KelvorBench::BumpedSphere;

namespace {

constexpr int kRepeats = 3;
constexpr int kPhases = 4;
const char* const kPhaseNames[kPhases] = {"parse", "passes", "assembly", "grid"};

// The high-water mark of resident memory starts again from the current resident size.
bool ResetPeak() {
    const int file = ::open("/proc/self/clear_refs", O_WRONLY);
    if (file < 0) return false;
    const bool written = ::write(file, "5", 1) == 1;
    return ::close(file) == 0 && written;
}

double PeakMiB() { return KelvorBench::ProcessStatusMiB("VmHWM"); }

// What one load measured; plain data, so that a child process can hand it over a pipe.
struct Load {
    bool ok = false;
    bool peaksReset = true;  // false: the peaks are the process's so far, not each step's
    char error[256] = {};
    long long triangles = 0;
    double seconds[kPhases] = {};
    double peak[kPhases] = {};  // MiB
    double total = 0.0;         // the whole load, the scene's release included
    double before = 0.0;        // resident MiB before the load
    double after = 0.0;         // resident MiB after it: what the bake keeps, the trace mesh
    double mappedBefore = 0.0;  // address space in MiB before the load
    double mappedPeak = 0.0;    // the most address space the process has held, in MiB
    ImportSize size;            // what the importer counted, last
    HighPolyImporter importer = HighPolyImporter::Obj;
    bool normals = false;  // the scene kept normals

    double HighestMiB() const { return *std::max_element(peak, peak + kPhases); }
    // The load's own: what the process had before it is not counted.
    double ResidentMiB() const { return HighestMiB() - before; }
    double MappedMiB() const { return mappedPeak - mappedBefore; }
    double EstimateMiB() const { return double(EstimateLoad(importer, size, normals).Bytes()) / (1024.0 * 1024.0); }
};

enum class Kind { Obj, Ply, Fbx };

// Times the grid build inside the assembly and takes the assembly's peak on its way in.
class TimedTraceMesh : public SWTraceMesh {
public:
    explicit TimedTraceMesh(Load& load) : load(load) {}

    bool Build(const TraceGridSettings* settings, unsigned workers) override {
        load.peak[2] = PeakMiB();
        load.peaksReset = ResetPeak() && load.peaksReset;
        const double start = KelvorBench::NowSeconds();
        const bool built = SWTraceMesh::Build(settings, workers);
        load.seconds[3] = KelvorBench::NowSeconds() - start;
        load.peak[3] = PeakMiB();
        return built;
    }

private:
    Load& load;
};

// The steps of the bake manager's high-poly load, one file, no name matching.
Load LoadAsBakeDoes(const std::string& path, Kind kind, int flags, const TraceGridSettings& grid) {
    Load load;
    load.before = KelvorBench::ProcessStatusMiB("VmRSS");
    load.mappedBefore = KelvorBench::ProcessStatusMiB("VmSize");
    load.peaksReset = ResetPeak();
    ThreadPool pool(std::max(1u, std::thread::hardware_concurrency()));  // the bake's pool
    const double start = KelvorBench::NowSeconds();
    std::vector<std::unique_ptr<SWTraceMesh>> meshes;
    {
        Scene scene(flags);
        load.normals = scene.hasNormals;
        auto import = [&](SceneImporter& importer, HighPolyImporter which) {
            load.importer = which;
            importer.sizeCheck = [&load](const ImportSize& size) { load.size = size; };
            importer.Import(path.c_str(), &scene);
        };
        if (kind == Kind::Obj) {
            OBJImporter importer;
            import(importer, HighPolyImporter::Obj);
        } else if (kind == Kind::Ply) {
            PLYImporter importer;
            import(importer, HighPolyImporter::Ply);
        } else {
            FBXImporter importer;
            importer.viewName = "gameview";
            importer.triangulate = true;
            import(importer, HighPolyImporter::Fbx);
        }
        load.seconds[0] = KelvorBench::NowSeconds() - start;
        load.peak[0] = PeakMiB();

        load.peaksReset = ResetPeak() && load.peaksReset;
        double step = KelvorBench::NowSeconds();
        load.triangles = scene.CountTriangles();
        if (flags & NeedNeighbourDirections) scene.ComputeNeighbourDirections();
        const Pallix::Math::AABB3 bounds = scene.GetBounds(&pool);
        scene.Translate(-bounds.Centre());
        Pallix::Math::AABB3 surfaces;
        for (const auto& sceneMesh : scene.meshes) sceneMesh->ExpandBounds(surfaces, &pool);
        load.seconds[1] = KelvorBench::NowSeconds() - step;
        load.peak[1] = PeakMiB();

        load.peaksReset = ResetPeak() && load.peaksReset;
        step = KelvorBench::NowSeconds();
        BuildTraceMeshes(scene, &grid, nullptr, meshes, &pool, [&load] { return std::make_unique<TimedTraceMesh>(load); });
        load.seconds[2] = KelvorBench::NowSeconds() - step - load.seconds[3];
    }
    load.total = KelvorBench::NowSeconds() - start;
    load.after = KelvorBench::ProcessStatusMiB("VmRSS");
    load.mappedPeak = KelvorBench::ProcessStatusMiB("VmPeak");
    load.ok = true;
    return load;
}

// Each load runs in a process of its own, so that its peaks are its own and the allocator
// starts as a bake's does; the importers' printed lines go nowhere.
Load LoadInChild(const std::string& path, Kind kind, int flags, const TraceGridSettings& grid) {
    Load load;
    std::snprintf(load.error, sizeof load.error, "the load process did not report");
    int channel[2];
    if (::pipe(channel) != 0) return load;
    std::fflush(stdout);
    std::fflush(stderr);
    // Free memory the heap kept (of the files just written) would serve the child's first
    // allocations without a fault, and hide them from its peak.
    ::malloc_trim(0);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // An interrupted run takes its load with it; the files are the parent's to remove.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        ::close(channel[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        Load measured;
        try {
            measured = LoadAsBakeDoes(path, kind, flags, grid);
        } catch (const std::exception& e) {
            std::snprintf(measured.error, sizeof measured.error, "%s", e.what());
        }
        const bool sent = ::write(channel[1], &measured, sizeof measured) == ssize_t(sizeof measured);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    if (child > 0) {
        Load received;
        if (::read(channel[0], &received, sizeof received) == ssize_t(sizeof received)) load = received;
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
            std::snprintf(load.error, sizeof load.error, "the load process died of signal %d", WTERMSIG(status));
    }
    ::close(channel[0]);
    return load;
}

// The folder and the file in it that an interrupted run must not leave behind. Kept in fixed
// buffers because the signal handler may only unlink what it finds there.
char gFolder[PATH_MAX];
char gFile[PATH_MAX];

void RemoveFilesAndRaise(int signal) {
    ::unlink(gFile);
    ::rmdir(gFolder);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class TemporaryFolder {
public:
    TemporaryFolder() : path(fs::temp_directory_path() / ("kelvor_bench_largemesh_" + std::to_string(::getpid()))) {
        fs::create_directories(path);
        std::snprintf(gFolder, sizeof gFolder, "%s", path.c_str());
        previous[0] = std::signal(SIGINT, RemoveFilesAndRaise);
        previous[1] = std::signal(SIGTERM, RemoveFilesAndRaise);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
        std::signal(SIGINT, previous[0]);
        std::signal(SIGTERM, previous[1]);
        gFile[0] = gFolder[0] = '\0';
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    // A file of the folder, noted for the signal handler.
    std::string File(const std::string& name) const {
        const std::string file = (path / name).string();
        std::snprintf(gFile, sizeof gFile, "%s", file.c_str());
        return file;
    }

private:
    fs::path path;
    void (*previous[2])(int) = {SIG_DFL, SIG_DFL};
};

// Sizes in millions of triangles from KELVOR_BENCH_MESH_SIZES, else 1 and 10; none when the
// text has an entry that is no positive number up to 1000.
std::vector<double> Sizes() {
    const char* text = std::getenv("KELVOR_BENCH_MESH_SIZES");
    if (!text) return {1.0, 10.0};
    std::vector<double> sizes;
    for (const char* at = text; *at;) {
        char* end = nullptr;
        errno = 0;
        const double size = std::strtod(at, &end);
        if (end == at || errno != 0 || !(size > 0.0 && size <= 1000.0) || (*end != ',' && *end != '\0')) return {};
        sizes.push_back(size);
        at = *end == ',' ? end + 1 : end;
    }
    return sizes;
}

void PrintLoad(const std::string& label, double megabytes, const Load& load) {
    if (!load.ok) {
        std::printf("  %-9s failed: %s\n", label.c_str(), load.error);
        return;
    }
    const double perTriangle = 1024.0 * 1024.0 / double(std::max(1LL, load.triangles));
    std::printf("  %-9s %10lld %8.1f  %7.3f %7.1f %7.3f %8.3f %7.3f %7.3f   %7.0f %7.0f %8.0f %7.0f %6.0f %7.0f  %7.0f"
                "   %8.0f %7.0f %7.0f%s\n",
                label.c_str(), load.triangles, megabytes, load.seconds[0], megabytes / load.seconds[0], load.seconds[1],
                load.seconds[2], load.seconds[3], load.total, load.peak[0], load.peak[1], load.peak[2], load.peak[3],
                load.ResidentMiB() * perTriangle, load.after - load.before, load.MappedMiB() * perTriangle,
                load.EstimateMiB(), load.ResidentMiB(), load.MappedMiB(), load.peaksReset ? "" : "  (peaks not reset)");
    std::fflush(stdout);
}

// What one pass of loads is run for: the need flags of its bake and how often each load runs.
struct Pass {
    int flags = 0;
    int repeats = kRepeats;
};

Load Measure(const std::string& label, const std::string& path, Kind kind, const Pass& pass, const TraceGridSettings& grid) {
    const double megabytes = double(fs::file_size(path)) / (1024.0 * 1024.0);
    Load best;
    for (int run = 0; run < pass.repeats; ++run) {
        const Load load = LoadInChild(path, kind, pass.flags, grid);
        if (!load.ok) {
            best = load;
            break;
        }
        if (!best.ok || load.total < best.total) best = load;
    }
    PrintLoad(label, megabytes, best);
    return best;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// A mesh geometry, with normals by control point as exporters write them when there are any.
void WriteGeometry(KelvorBench::FbxBinaryWriter& fbx, int64_t id, const std::string& name, const std::vector<double>& vertices,
                   const std::vector<int32_t>& corners, const std::vector<double>& normals) {
    fbx.Record("Geometry", [&] { fbx.Long(id); fbx.String(name); fbx.String("Mesh"); }, [&] {
        fbx.Record("Vertices", [&] { fbx.DoubleArray(vertices); });
        fbx.Record("PolygonVertexIndex", [&] { fbx.IntArray(corners); });
        if (normals.empty()) return;
        fbx.Record("LayerElementNormal", [&] { fbx.Int(0); }, [&] {
            fbx.Record("MappingInformationType", [&] { fbx.String("ByVertice"); });
            fbx.Record("ReferenceInformationType", [&] { fbx.String("Direct"); });
            fbx.Record("Normals", [&] { fbx.DoubleArray(normals); });
        });
    });
}

// One FBX mesh of these vertices and corners (the last of each polygon complemented).
bool WriteFbxMesh(const std::string& path, const std::vector<double>& vertices, const std::vector<int32_t>& corners,
                  const std::vector<double>& normals) {
    KelvorBench::FbxBinaryWriter fbx;
    fbx.Start();
    fbx.Record("Objects", nullptr, [&] {
        WriteGeometry(fbx, 2, std::string("sphere\0\1Geometry", 16), vertices, corners, normals);
        fbx.Record("Model", [&] { fbx.Long(1); fbx.String(std::string("sphere\0\1Model", 13)); fbx.String("Mesh"); });
    });
    fbx.Record("Connections", nullptr, [&] {
        fbx.Record("C", [&] { fbx.String("OO"); fbx.Long(1); fbx.Long(0); });
        fbx.Record("C", [&] { fbx.String("OO"); fbx.Long(2); fbx.Long(1); });
    });
    return WriteBytes(path, fbx.Finish());
}

// The sphere as one binary FBX mesh with its normals by control point.
bool WriteHighPolyFbx(const std::string& path, const BumpedSphere::Layout& layout) {
    std::vector<double> vertices, normals;
    vertices.reserve(size_t(layout.Vertices()) * 3);
    normals.reserve(size_t(layout.Vertices()) * 3);
    BumpedSphere::ForEachVertex(layout, [&](const BumpedSphere::Vertex& v) {
        vertices.insert(vertices.end(), v.position, v.position + 3);
        normals.insert(normals.end(), v.normal, v.normal + 3);
    });
    std::vector<int32_t> corners;
    corners.reserve(size_t(layout.Triangles()) * 3);
    BumpedSphere::ForEachTriangle(layout, [&](int32_t a, int32_t b, int32_t c) { corners.insert(corners.end(), {a, b, ~c}); });
    return WriteFbxMesh(path, vertices, corners, normals);
}

// About as many triangles as instances of one grid of 200 triangles, placed side by side in
// rows: a file of a few megabytes that the scene expands, as scenes of instanced parts are.
bool WriteInstancedFbx(const std::string& path, int64_t triangles) {
    constexpr int kSide = 10, kRow = 250;
    const int64_t instances = std::max<int64_t>(1, triangles / (2 * kSide * kSide));
    std::vector<double> vertices, normals;
    for (int y = 0; y <= kSide; ++y)
        for (int x = 0; x <= kSide; ++x) {
            vertices.insert(vertices.end(), {double(x) / kSide, double(y) / kSide, 0.0});
            normals.insert(normals.end(), {0.0, 0.0, 1.0});
        }
    std::vector<int32_t> corners;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const int a = y * (kSide + 1) + x, c = a + kSide + 2;
            corners.insert(corners.end(), {a, a + 1, ~c, a, c, ~(a + kSide + 1)});
        }
    KelvorBench::FbxBinaryWriter fbx;
    fbx.Start();
    fbx.Record("Objects", nullptr, [&] {
        WriteGeometry(fbx, 1, std::string("grid\0\1Geometry", 14), vertices, corners, normals);
        for (int64_t i = 0; i < instances; ++i) {
            const std::string name = "copy" + std::to_string(i) + std::string("\0\1Model", 7);
            fbx.Record("Model", [&] { fbx.Long(10 + i); fbx.String(name); fbx.String("Mesh"); }, [&] {
                fbx.Record("Properties70", nullptr, [&] {
                    fbx.Record("P", [&] {
                        fbx.String("Lcl Translation");
                        fbx.String("Lcl Translation");
                        fbx.String("");
                        fbx.String("A");
                        fbx.Double(double(i % kRow));
                        fbx.Double(double(i / kRow));
                        fbx.Double(0.0);
                    });
                });
            });
        }
    });
    fbx.Record("Connections", nullptr, [&] {
        for (int64_t i = 0; i < instances; ++i) {
            fbx.Record("C", [&] { fbx.String("OO"); fbx.Long(10 + i); fbx.Long(0); });
            fbx.Record("C", [&] { fbx.String("OO"); fbx.Long(1); fbx.Long(10 + i); });
        }
    });
    return WriteBytes(path, fbx.Finish());
}

// The corners of a triangle, then points in one place up to the count: the least a vertex
// takes, since the trace mesh shares equal vertices, and what a file of 30M "v 0 0 0" lines holds.
std::vector<double> CloudPoints(int64_t vertices) {
    std::vector<double> points{0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0};
    points.reserve(size_t(std::max<int64_t>(vertices, 3)) * 3);
    while (points.size() < size_t(vertices) * 3) points.insert(points.end(), {0.5, 0.5, 1.0});
    return points;
}

// A file of as many points and one triangle over the first three: an OBJ of "v" lines,
// a binary PLY of x, y, z, or one FBX mesh. The points are made afresh for each file, so that
// the loads' processes are not forked beside them.
bool WriteCloud(const std::string& path, Kind kind, int64_t vertices) {
    const std::vector<double> points = CloudPoints(vertices);
    if (kind == Kind::Fbx) return WriteFbxMesh(path, points, {0, 1, ~2}, {});
    BumpedSphere::FileWriter out(path);
    if (kind == Kind::Obj) {
        for (size_t i = 0; i < points.size(); i += 3) {
            out.Char('v');
            for (int k = 0; k < 3; ++k) {
                out.Char(' ');
                out.Fixed(points[i + size_t(k)]);
            }
            out.Char('\n');
        }
        out.Text("f 1 2 3\n");
        return out.Close();
    }
    out.Text("ply\nformat binary_little_endian 1.0\nelement vertex ");
    out.Integer(int64_t(points.size() / 3));
    out.Text("\nproperty float x\nproperty float y\nproperty float z\nelement face 1\n"
             "property list uchar int vertex_indices\nend_header\n");
    for (const double value : points) {
        const float f = float(value);
        out.Bytes(&f, sizeof f);
    }
    const unsigned char three = 3;
    const int32_t corners[3] = {0, 1, 2};
    out.Bytes(&three, 1);
    out.Bytes(corners, sizeof corners);
    return out.Close();
}

// Two triangles of a quad.
bool WriteQuad(const std::string& path, Kind kind) {
    if (kind == Kind::Fbx) return WriteFbxMesh(path, {-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0}, {0, 1, 2, ~3}, {});
    if (kind == Kind::Obj) return WriteBytes(path, "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 1 2 3 4\n");
    return WriteBytes(path, "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                            "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                            "-1 -1 0\n1 -1 0\n1 1 0\n-1 1 0\n4 0 1 2 3\n");
}

// Writes a file, loads it and removes it again.
Load WriteAndMeasure(const TemporaryFolder& folder, const std::string& label, const std::string& name, Kind kind,
                     const std::function<bool(const std::string&)>& write, const Pass& pass, const TraceGridSettings& grid) {
    const std::string path = folder.File(name);
    Load load;
    if (write(path)) {
        load = Measure(label, path, kind, pass, grid);
    } else {
        std::printf("  %-9s cannot write %s\n", label.c_str(), path.c_str());
        std::snprintf(load.error, sizeof load.error, "not written");
    }
    std::error_code ignored;
    fs::remove(path, ignored);
    return load;
}

constexpr int kKinds = 3;
const Kind kKindOrder[kKinds] = {Kind::Obj, Kind::Ply, Kind::Fbx};
const char* const kKindNames[kKinds] = {"OBJ", "PLY", "FBX"};
const char* const kKindExtensions[kKinds] = {"obj", "ply", "fbx"};

// The loads of one size: the spheres and the points of each kind, and the instances.
struct SizeLoads {
    Load sphere[kKinds], cloud[kKinds], instances;
};

// Resident bytes a triangle or vertex adds from one load to a larger one; 0 when a load failed.
double BytesPer(const Load& load, const Load& smaller, double count, double smallerCount) {
    if (!load.ok || !smaller.ok || count <= smallerCount) return 0.0;
    return (load.ResidentMiB() - smaller.ResidentMiB()) * 1024.0 * 1024.0 / (count - smallerCount);
}

// The bytes a triangle (of the sphere, its vertices included) and a vertex (of the points) add
// from the smaller loads to the larger: what the load estimate counts for each.
void PrintFigures(const char* title, const SizeLoads& larger, const SizeLoads& smaller) {
    std::printf("  %s\n", title);
    for (int k = 0; k < kKinds; ++k)
        std::printf("  %-9s %7.1f B/tri %7.1f B/vertex\n", kKindNames[k],
                    BytesPer(larger.sphere[k], smaller.sphere[k], double(larger.sphere[k].triangles), double(smaller.sphere[k].triangles)),
                    BytesPer(larger.cloud[k], smaller.cloud[k], double(larger.cloud[k].size.vertices),
                             double(smaller.cloud[k].size.vertices)));
    std::printf("  %-9s %7.1f B/tri\n", "FBXi",
                BytesPer(larger.instances, smaller.instances, double(larger.instances.triangles), double(smaller.instances.triangles)));
    std::fflush(stdout);
}

// Writes the files of one size in turn, loads each and removes it again.
SizeLoads MeasureSize(const TemporaryFolder& folder, double size, const Pass& pass, const TraceGridSettings& grid) {
    const int64_t triangles = std::llround(size * 1e6);
    const BumpedSphere::Layout layout = BumpedSphere::Layout::ForTriangles(triangles);
    char name[32];
    std::snprintf(name, sizeof name, "%gM", size);
    const std::string prefix(name);
    const std::function<bool(const std::string&)> spheres[kKinds] = {
        [&](const std::string& path) { return BumpedSphere::WriteHighPolyObj(path, layout); },
        [&](const std::string& path) { return BumpedSphere::WriteHighPolyPly(path, layout, true); },
        [&](const std::string& path) { return WriteHighPolyFbx(path, layout); },
    };
    SizeLoads loads;
    for (int k = 0; k < kKinds; ++k)
        loads.sphere[k] = WriteAndMeasure(folder, prefix + " " + kKindNames[k], "sphere_" + prefix + "." + kKindExtensions[k],
                                          kKindOrder[k], spheres[k], pass, grid);
    loads.instances = WriteAndMeasure(folder, prefix + " FBXi", "instances_" + prefix + ".fbx", Kind::Fbx,
                                      [&](const std::string& path) { return WriteInstancedFbx(path, triangles); }, pass, grid);
    for (int k = 0; k < kKinds; ++k)
        loads.cloud[k] = WriteAndMeasure(folder, prefix + " " + kKindNames[k] + "v", "points_" + prefix + "." + kKindExtensions[k],
                                         kKindOrder[k],
                                         [&, k](const std::string& path) { return WriteCloud(path, kKindOrder[k], triangles); }, pass, grid);
    return loads;
}

// Every size in turn, then the figures: from the smallest size to the largest, so that what
// any load takes besides its data (the workers' buffers and stacks) is left out; with one size,
// from the quads, whose peaks are what a load takes besides its data.
void MeasurePass(const TemporaryFolder& folder, const std::vector<double>& sizes, const Pass& pass, const TraceGridSettings& grid) {
    SizeLoads quads;
    for (int k = 0; k < kKinds; ++k) {
        quads.sphere[k] = quads.cloud[k] =
            WriteAndMeasure(folder, std::string("quad ") + kKindNames[k], std::string("quad.") + kKindExtensions[k], kKindOrder[k],
                            [k](const std::string& path) { return WriteQuad(path, kKindOrder[k]); }, pass, grid);
    }
    quads.instances = quads.sphere[2];
    std::vector<SizeLoads> loads;
    for (const double size : sizes) loads.push_back(MeasureSize(folder, size, pass, grid));
    if (loads.size() > 1)
        PrintFigures("resident bytes from the smallest size to the largest: a triangle of the sphere, a vertex of the points",
                     loads.back(), loads.front());
    else
        PrintFigures("resident bytes beyond a quad's: a triangle of the sphere, a vertex of the points", loads.back(), quads);
}

// The need flags of a bake of one map of the type.
int FlagsOf(MapType type) {
    BakeJob job;
    job.AddMap().type = type;
    return CreateMapBaker(&job.times, &job, &job.maps[0])->GetTraceRequirements();
}

void Run() {
    const std::vector<double> sizes = Sizes();
    if (sizes.empty()) {
        std::printf("  KELVOR_BENCH_MESH_SIZES must list sizes in millions of triangles, e.g. \"1,10\"\n");
        return;
    }
    CpuFeatures cpu;
    TraceGridSettings grid;
    if (!ChooseTraceKernel(cpu, &grid, 0, 0)) {
        std::printf("  no trace kernel for this processor\n");
        return;
    }

    std::printf("  a bumped sphere with normals loaded as the high-poly of a normal map, best load of %d, each in a\n"
                "  process of its own (FBXi: instances of a 200-triangle grid instead; OBJv, PLYv, FBXv: as many\n"
                "  points, positions only and all but three in one place, as the sphere has triangles, and one\n"
                "  triangle); seconds per step (parse: the importer, with the normals it builds; passes: what the\n"
                "  load runs on the scene before the trace mesh), import MB/s of the parse; peak: the resident\n"
                "  high-water mark of each step in MiB; B/tri: (highest peak - resident before the load) /\n"
                "  triangles; kept: resident MiB the load leaves (the trace mesh); AS B/tri: (most address space\n"
                "  held - address space before the load) / triangles; load MiB: the least the load estimate says\n"
                "  the load takes, its peak (highest peak - resident before) and its address space (most held -\n"
                "  held before)\n",
                kRepeats);
    auto header = [] {
        std::printf("  %-9s %10s %8s  %-48s   %-62s %s\n", "", "", "", "seconds", "peak resident MiB", "load MiB");
        std::printf("  %-9s %10s %8s  %7s %7s %7s %8s %7s %7s   %7s %7s %8s %7s %6s %7s  %7s   %8s %7s %7s\n", "file",
                    "triangles", "MB", kPhaseNames[0], "MB/s", kPhaseNames[1], kPhaseNames[2], kPhaseNames[3], "load",
                    kPhaseNames[0], kPhaseNames[1], kPhaseNames[2], kPhaseNames[3], "B/tri", "kept", "AS B/tri", "estimate",
                    "peak", "AS");
    };
    // The folder goes with its files however the run ends.
    try {
        TemporaryFolder folder;
        header();
        MeasurePass(folder, sizes, Pass{FlagsOf(MapNormal), kRepeats}, grid);
        // The estimate has figures of its own for a scene without normals; peaks need no repeats.
        std::printf("  the same as the high-poly of a displacement map, which needs no normals, one load each\n");
        header();
        MeasurePass(folder, sizes, Pass{FlagsOf(MapDisplacement), 1}, grid);
    } catch (const std::exception& e) {
        std::printf("  failed: %s\n", e.what());
    }
}

}  // namespace

KELVOR_BENCH_SECTION("largemesh",
                     "high-poly loads of 1M and 10M-triangle OBJ, PLY and FBX files and points step by step, peak memory "
                     "beside the load estimate",
                     Run);
