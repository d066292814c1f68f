// Writes a set of sample meshes for a first bake: a low-poly crate (a box with one UV island
// per side), a detailed high-poly crate (rounded edges, raised panels, grooves, rivets and a
// round hatch on the lid) and an envelope around the low-poly. Everything is computed, so
// the output is the same on every run. With --sphere it writes instead the bumped sphere of the
// benchmarks at about the given number of triangles (OBJ with normals), a low-poly sphere with
// UVs under it and an envelope around it, for whole-program bakes of large high-poly meshes.
//
//   kelvor_samples <folder>
//   kelvor_samples --sphere <triangles> <folder>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/bumpedsphere.h"

namespace {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec3 Normalize(Vec3 a) {
    const double length = std::sqrt(Dot(a, a));
    return length > 0 ? a * (1.0 / length) : Vec3{0, 0, 1};
}

// The crate: a cube of half size 1; the high-poly rounds its edges with this radius.
constexpr double kEdgeRadius = 0.12;
// Quads per side and axis of the high-poly: 6 x 160 x 160 x 2 = 307200 triangles.
constexpr int kSubdivisions = 160;
// How far the envelope stands off the low-poly's sides.
constexpr double kEnvelopeDistance = 0.1;

// One side of the cube: outward normal n and the axes s and t with s x t = n, so that
// corners listed by (s, t) in the order (-,-), (+,-), (+,+), (-,+) turn counter-clockwise.
struct Side {
    Vec3 n, s, t;
    int column, row;  // UV cell
    bool lid;         // the two sides along y carry a hatch instead of a panel
};

const Side kSides[6] = {
    {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}, 0, 0, false},  {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}, 1, 0, false},
    {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 2, 0, false},   {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}, 0, 1, false},
    {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}, 1, 1, true},   {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}, 2, 1, true},
};

// Each side's UV island: a square cell of a 3 x 3 grid with a gutter, so islands never touch.
void SideUV(const Side& side, double s, double t, double& u, double& v) {
    const double cell = 1.0 / 3.0, gutter = 0.02;
    const double size = cell - 2 * gutter;
    u = side.column * cell + gutter + (s + 1) * 0.5 * size;
    v = side.row * cell + gutter + (t + 1) * 0.5 * size;
}

// Smooth bumps with compact support (zero with zero slope at radius 1), so that nothing
// reaches the rounded edges and the sides meet without cracks.
double Bump(double r) {
    if (r >= 1.0) return 0.0;
    const double a = 1.0 - r * r;
    return a * a;
}

double SmoothStep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Height above the side at side coordinates (s, t) in [-1, 1].
double Relief(const Side& side, double s, double t) {
    if (side.lid) {
        const double r = std::sqrt(s * s + t * t);
        double h = 0.03 * SmoothStep(0.62, 0.52, r);              // round hatch
        h -= 0.02 * Bump(std::fabs(r - 0.7) / 0.05);              // groove around it
        h += 0.025 * Bump(std::hypot(s, t) / 0.18);               // handle
        for (int i = 0; i < 8; ++i) {                             // bolts on the hatch rim
            const double angle = i * M_PI / 4;
            h += 0.012 * Bump(std::hypot(s - 0.45 * std::cos(angle), t - 0.45 * std::sin(angle)) / 0.04);
        }
        return h;
    }
    // A rounded-rectangle distance (superellipse) keeps the panel edge free of creases.
    const double p = 8.0;
    const double n = std::pow(std::pow(std::fabs(s), p) + std::pow(std::fabs(t), p), 1.0 / p);
    double h = 0.035 * SmoothStep(0.66, 0.56, n);                 // raised panel
    h -= 0.02 * Bump(std::fabs(n - 0.74) / 0.04);                 // groove around it
    for (int i = 0; i < 4; ++i) {                                 // rivets in the corners
        const double cs = (i & 1) ? 0.8 : -0.8, ct = (i & 2) ? 0.8 : -0.8;
        h += 0.015 * Bump(std::hypot(s - cs, t - ct) / 0.05);
    }
    h += 0.01 * Bump(std::fabs(s - t) / 0.06) * SmoothStep(0.5, 0.4, n);  // a brace across the panel
    return h;
}

class ObjWriter {
public:
    explicit ObjWriter(std::string path) : path(std::move(path)) { text.reserve(1 << 20); }

    void Comment(const std::string& line) { text += "# " + line + "\n"; }
    void Vertex(const char* tag, std::initializer_list<double> values) {
        text += tag;
        for (double value : values) {
            char buffer[32];
            const auto result = std::to_chars(buffer, buffer + sizeof(buffer), float(value), std::chars_format::fixed, 6);
            text += ' ';
            text.append(buffer, result.ptr);
        }
        text += '\n';
    }
    // Corners are 0-based; OBJ counts from 1.
    void Face(const int (&corners)[3], bool withUV) {
        text += 'f';
        for (int corner : corners) {
            const std::string index = std::to_string(corner + 1);
            text += ' ' + index + (withUV ? "/" + index + "/" : "//") + index;
        }
        text += '\n';
    }

    bool Save() const {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return false;
        const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        return (std::fclose(file) == 0) && written;
    }

    const std::string path;

private:
    std::string text;
};

struct LowPoly {
    std::vector<Vec3> positions, normals;
    std::vector<double> u, v;
    std::vector<std::array<int, 3>> triangles;
};

LowPoly BuildLowPoly() {
    LowPoly mesh;
    for (const Side& side : kSides) {
        const int first = int(mesh.positions.size());
        const double corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        for (const auto& c : corners) {
            mesh.positions.push_back(side.n + side.s * c[0] + side.t * c[1]);
            mesh.normals.push_back(side.n);
            double u, v;
            SideUV(side, c[0], c[1], u, v);
            mesh.u.push_back(u);
            mesh.v.push_back(v);
        }
        mesh.triangles.push_back({first, first + 1, first + 2});
        mesh.triangles.push_back({first, first + 2, first + 3});
    }
    return mesh;
}

bool WriteLowPoly(const LowPoly& mesh, const std::vector<Vec3>& positions, const std::string& path, const char* what) {
    ObjWriter obj(path);
    obj.Comment(std::string("Kelvor sample crate: ") + what);
    for (const Vec3& p : positions) obj.Vertex("v", {p.x, p.y, p.z});
    for (size_t i = 0; i < mesh.u.size(); ++i) obj.Vertex("vt", {mesh.u[i], mesh.v[i]});
    for (const Vec3& n : mesh.normals) obj.Vertex("vn", {n.x, n.y, n.z});
    for (const auto& t : mesh.triangles) obj.Face({t[0], t[1], t[2]}, true);
    return obj.Save();
}

// The envelope: every corner moves along the mean of the normals that meet at its position,
// scaled so that every side moves out by the full distance (a box grows into a box).
std::vector<Vec3> BuildEnvelope(const LowPoly& mesh) {
    std::vector<Vec3> pushed(mesh.positions.size());
    for (size_t i = 0; i < mesh.positions.size(); ++i) {
        Vec3 sum;
        std::vector<Vec3> meeting;
        for (size_t j = 0; j < mesh.positions.size(); ++j) {
            const Vec3 d = mesh.positions[j] - mesh.positions[i];
            if (Dot(d, d) == 0.0) {
                sum = sum + mesh.normals[j];
                meeting.push_back(mesh.normals[j]);
            }
        }
        const Vec3 direction = Normalize(sum);
        double lowest = 1.0;
        for (const Vec3& n : meeting) lowest = std::min(lowest, Dot(direction, n));
        pushed[i] = mesh.positions[i] + direction * (kEnvelopeDistance / std::max(lowest, 0.2));
    }
    return pushed;
}

// Grid points are multiples of 2 / n on the cube: their integer coordinates weld them
// exactly, whichever side computed them.
struct GridKey {
    int64_t x, y, z;
    bool operator==(const GridKey& o) const { return x == o.x && y == o.y && z == o.z; }
};
struct GridHash {
    size_t operator()(const GridKey& k) const { return size_t((k.x * 1000003 + k.y) * 1000003 + k.z); }
};

bool WriteHighPoly(const std::string& path) {
    // Grid points of every side, welded where sides meet (the rounded edges are computed
    // from the same cube point on both sides, so they coincide exactly).
    std::vector<Vec3> positions;
    std::vector<std::array<int, 3>> triangles;
    std::unordered_map<GridKey, int, GridHash> welded;
    const int n = kSubdivisions;
    const double inner = 1.0 - kEdgeRadius;
    std::vector<int> indices(size_t(n + 1) * (n + 1));
    for (const Side& side : kSides) {
        for (int j = 0; j <= n; ++j) {
            for (int i = 0; i <= n; ++i) {
                const double s = -1.0 + 2.0 * i / n, t = -1.0 + 2.0 * j / n;
                const Vec3 cube = side.n + side.s * s + side.t * t;
                auto grid = [n](double c) { return std::llround((c + 1.0) * 0.5 * n); };
                const GridKey key{grid(cube.x), grid(cube.y), grid(cube.z)};
                auto [entry, added] = welded.try_emplace(key, int(positions.size()));
                if (added) {
                    const Vec3 core{std::clamp(cube.x, -inner, inner), std::clamp(cube.y, -inner, inner),
                                    std::clamp(cube.z, -inner, inner)};
                    const Vec3 out = Normalize(cube - core);
                    positions.push_back(core + out * (kEdgeRadius + Relief(side, s, t)));
                }
                indices[size_t(j) * (n + 1) + i] = entry->second;
            }
        }
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i < n; ++i) {
                const int a = indices[size_t(j) * (n + 1) + i], b = indices[size_t(j) * (n + 1) + i + 1];
                const int c = indices[size_t(j + 1) * (n + 1) + i + 1], d = indices[size_t(j + 1) * (n + 1) + i];
                // Split along the diagonal that alternates, so the tessellation has no bias.
                if ((i + j) & 1) {
                    triangles.push_back({a, b, c});
                    triangles.push_back({a, c, d});
                } else {
                    triangles.push_back({a, b, d});
                    triangles.push_back({b, c, d});
                }
            }
        }
    }
    // Smooth vertex normals: the area-weighted sum of the normals of the triangles around.
    std::vector<Vec3> normals(positions.size());
    for (const auto& t : triangles) {
        const Vec3 face = Cross(positions[t[1]] - positions[t[0]], positions[t[2]] - positions[t[0]]);
        for (int corner : t) normals[corner] = normals[corner] + face;
    }
    ObjWriter obj(path);
    obj.Comment("Kelvor sample crate: high-poly, " + std::to_string(triangles.size()) + " triangles");
    for (const Vec3& p : positions) obj.Vertex("v", {p.x, p.y, p.z});
    for (const Vec3& v : normals) {
        const Vec3 unit = Normalize(v);
        obj.Vertex("vn", {unit.x, unit.y, unit.z});
    }
    for (const auto& t : triangles) obj.Face({t[0], t[1], t[2]}, false);
    return obj.Save();
}

}  // namespace

int main(int argc, char** argv) {
    const bool sphere = argc == 4 && std::strcmp(argv[1], "--sphere") == 0;
    char* end = nullptr;
    const long long triangles = sphere ? std::strtoll(argv[2], &end, 10) : 0;
    if ((argc != 2 && !sphere) || argv[argc - 1][0] == '\0' || std::strcmp(argv[1], "--help") == 0 ||
        (sphere && (*end != '\0' || triangles < 8 || triangles > 1000000000LL))) {
        std::fprintf(stderr, "usage: kelvor_samples <folder>\n       kelvor_samples --sphere <triangles> <folder>\n");
        return 2;
    }
    const std::filesystem::path folder = argv[argc - 1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "cannot create %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    // Each file's path and whether it was written.
    std::vector<std::pair<std::string, bool>> files;
    if (sphere) {
        namespace Sphere = KelvorBench::BumpedSphere;
        const Sphere::Layout layout = Sphere::Layout::ForTriangles(triangles);
        const std::string high = (folder / ("sphere_high_" + std::to_string(layout.Triangles()) + ".obj")).string();
        const std::string low = (folder / "sphere_low.obj").string();
        const std::string envelope = (folder / "sphere_envelope.obj").string();
        files = {{high, Sphere::WriteHighPolyObj(high, layout)},
                 {low, Sphere::WriteSmoothSphereObj(low, 1.0)},
                 {envelope, Sphere::WriteSmoothSphereObj(envelope, 1.05)}};
    } else {
        const LowPoly low = BuildLowPoly();
        const std::string lowPath = (folder / "crate_low.obj").string();
        const std::string highPath = (folder / "crate_high.obj").string();
        const std::string envelopePath = (folder / "crate_envelope.obj").string();
        files = {{lowPath, WriteLowPoly(low, low.positions, lowPath, "low-poly")},
                 {highPath, WriteHighPoly(highPath)},
                 {envelopePath, WriteLowPoly(low, BuildEnvelope(low), envelopePath, "envelope")}};
    }
    for (const auto& [path, written] : files) {
        if (!written) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
