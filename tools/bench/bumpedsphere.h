#pragma once

// The bumped sphere the benchmarks bake from, as files: a latitude-longitude high-poly of any
// size (OBJ with "v" and "vn" lines, or binary PLY), and a smooth low-poly sphere with UVs that
// serves as the low-poly or, larger, as its envelope. The sample generator writes the same files
// for whole-program bakes.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace KelvorBench::BumpedSphere {

constexpr double kPi = 3.14159265358979;

// columns x rows latitude-longitude quads, one triangle per quad at the poles.
struct Layout {
    int columns = 1000;
    int rows = 500;

    int64_t Vertices() const { return int64_t(columns + 1) * (rows + 1); }
    int64_t Triangles() const { return 2 * int64_t(columns) * (rows - 1); }
    int32_t Index(int i, int j) const { return int32_t(i * (columns + 1) + j); }

    // The layout of twice as many columns as rows closest to the triangle count
    // (1M gives 998 000 triangles, 10M 9 991 920 on 5 003 866 vertices).
    static Layout ForTriangles(int64_t triangles) {
        const int rows = std::max(2, int(std::lround(std::sqrt(double(std::max<int64_t>(triangles, 1)) / 4.0))));
        return {2 * rows, rows};
    }
};

inline double Radius(double theta, double phi) {
    return 1.0 + 0.012 * std::sin(23.0 * theta) * std::sin(17.0 * phi) + 0.004 * std::cos(71.0 * theta + 3.0 * phi);
}

struct Vertex {
    float position[3];
    float normal[3];
};

// Vertex (i, j): latitude phi = pi i / rows from +y, longitude theta = 2 pi j / columns.
inline Vertex VertexAt(const Layout& layout, int i, int j) {
    const double phi = kPi * double(i) / layout.rows, theta = 2.0 * kPi * double(j) / layout.columns;
    const double r = Radius(theta, phi);
    const double sp = std::sin(phi), cp = std::cos(phi), st = std::sin(theta), ct = std::cos(theta);
    Vertex v;
    v.position[0] = float(r * sp * ct);
    v.position[1] = float(r * cp);
    v.position[2] = float(r * sp * st);
    // The surface normal u - (dr/dphi) / r e_phi - (dr/dtheta) / (r sin phi) e_theta; the radial
    // direction at the poles, where longitude has no direction.
    double n[3] = {sp * ct, cp, sp * st};
    if (i > 0 && i < layout.rows) {
        const double ripple = std::sin(71.0 * theta + 3.0 * phi);
        const double dTheta = 0.276 * std::cos(23.0 * theta) * std::sin(17.0 * phi) - 0.284 * ripple;
        const double dPhi = 0.204 * std::sin(23.0 * theta) * std::cos(17.0 * phi) - 0.012 * ripple;
        const double a = dPhi / r, b = dTheta / (r * sp);
        n[0] -= a * cp * ct - b * st;
        n[1] -= -a * sp;
        n[2] -= a * cp * st + b * ct;
    }
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int k = 0; k < 3; ++k) v.normal[k] = float(n[k] / length);
    return v;
}

// Visits the vertices of the layout in file order.
template <typename Visit>
void ForEachVertex(const Layout& layout, Visit visit) {
    for (int i = 0; i <= layout.rows; ++i)
        for (int j = 0; j <= layout.columns; ++j) visit(VertexAt(layout, i, j));
}

// Visits the triangles (a, b, c) of the layout, wound outward, in file order.
template <typename Visit>
void ForEachTriangle(const Layout& layout, Visit visit) {
    for (int i = 0; i < layout.rows; ++i)
        for (int j = 0; j < layout.columns; ++j) {
            const int32_t a = layout.Index(i, j), b = layout.Index(i, j + 1), c = layout.Index(i + 1, j + 1),
                          d = layout.Index(i + 1, j);
            if (i > 0) visit(a, b, c);
            if (i + 1 < layout.rows) visit(a, c, d);
        }
}

// Buffered text and bytes into a file; Close() tells whether everything reached it.
class FileWriter {
public:
    explicit FileWriter(const std::string& path) : file(std::fopen(path.c_str(), "wb")), buffer(size_t(1) << 20) {}
    ~FileWriter() { Close(); }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    void Text(const char* text) { Bytes(text, std::strlen(text)); }
    void Char(char c) { Bytes(&c, 1); }
    void Fixed(double value) {
        Room(48);
        const auto written = std::to_chars(End(), Limit(), float(value), std::chars_format::fixed, 6);
        used = size_t(written.ptr - buffer.data());
    }
    void Integer(int64_t value) {
        Room(24);
        used = size_t(std::to_chars(End(), Limit(), value).ptr - buffer.data());
    }
    void Bytes(const void* data, size_t size) {
        Room(size);
        if (size > buffer.size()) {
            good = good && file && std::fwrite(data, 1, size, file) == size;
            return;
        }
        std::memcpy(End(), data, size);
        used += size;
    }
    bool Close() {
        if (!file) return false;
        WriteOut();
        good = std::fclose(file) == 0 && good;
        file = nullptr;
        return good;
    }

private:
    char* End() { return buffer.data() + used; }
    char* Limit() { return buffer.data() + buffer.size(); }
    // Makes room for size more bytes.
    void Room(size_t size) {
        if (used + size > buffer.size()) WriteOut();
    }
    void WriteOut() {
        if (file) good = good && std::fwrite(buffer.data(), 1, used, file) == used;
        used = 0;
    }

    std::FILE* file;
    std::vector<char> buffer;
    size_t used = 0;
    bool good = true;
};

// The high-poly as an OBJ file: "v" and "vn" lines and faces "f a//a b//b c//c".
inline bool WriteHighPolyObj(const std::string& path, const Layout& layout) {
    FileWriter out(path);
    out.Text("# bumped sphere, ");
    out.Integer(layout.Triangles());
    out.Text(" triangles\n");
    ForEachVertex(layout, [&](const Vertex& v) {
        for (const auto& [tag, xyz] : {std::pair{"v", v.position}, std::pair{"vn", v.normal}}) {
            out.Text(tag);
            for (int k = 0; k < 3; ++k) {
                out.Char(' ');
                out.Fixed(xyz[k]);
            }
            out.Char('\n');
        }
    });
    ForEachTriangle(layout, [&](int32_t a, int32_t b, int32_t c) {
        out.Char('f');
        for (const int32_t corner : {a, b, c}) {
            out.Char(' ');
            out.Integer(corner + 1);
            out.Text("//");
            out.Integer(corner + 1);
        }
        out.Char('\n');
    });
    return out.Close();
}

// The high-poly as a binary little-endian PLY file: float x, y, z (and nx, ny, nz), faces as
// lists of uchar count and int indices.
inline bool WriteHighPolyPly(const std::string& path, const Layout& layout, bool withNormals) {
    FileWriter out(path);
    out.Text("ply\nformat binary_little_endian 1.0\nelement vertex ");
    out.Integer(layout.Vertices());
    out.Text("\nproperty float x\nproperty float y\nproperty float z\n");
    if (withNormals) out.Text("property float nx\nproperty float ny\nproperty float nz\n");
    out.Text("element face ");
    out.Integer(layout.Triangles());
    out.Text("\nproperty list uchar int vertex_indices\nend_header\n");
    ForEachVertex(layout, [&](const Vertex& v) {
        out.Bytes(v.position, sizeof v.position);
        if (withNormals) out.Bytes(v.normal, sizeof v.normal);
    });
    ForEachTriangle(layout, [&](int32_t a, int32_t b, int32_t c) {
        const unsigned char three = 3;
        const int32_t corners[3] = {a, b, c};
        out.Bytes(&three, 1);
        out.Bytes(corners, sizeof corners);
    });
    return out.Close();
}

// The smooth sphere under the bumps at the given radius, 96 x 48 quads, wound outward, its UVs
// a latitude-longitude sheet inside a small gutter (north up, not mirrored). Radius 1 is the
// low-poly; the same sphere at radius 1.05 is an envelope around every bump.
inline bool WriteSmoothSphereObj(const std::string& path, double radius) {
    const Layout layout{96, 48};
    FileWriter out(path);
    for (int i = 0; i <= layout.rows; ++i)
        for (int j = 0; j <= layout.columns; ++j) {
            const double phi = kPi * double(i) / layout.rows, theta = 2.0 * kPi * double(j) / layout.columns;
            const double n[3] = {std::sin(phi) * std::cos(theta), std::cos(phi), std::sin(phi) * std::sin(theta)};
            out.Char('v');
            for (double c : n) {
                out.Char(' ');
                out.Fixed(radius * c);
            }
            out.Text("\nvn");
            for (double c : n) {
                out.Char(' ');
                out.Fixed(c);
            }
            out.Text("\nvt ");
            out.Fixed(0.98 - 0.96 * double(j) / layout.columns);
            out.Char(' ');
            out.Fixed(0.98 - 0.96 * double(i) / layout.rows);
            out.Char('\n');
        }
    ForEachTriangle(layout, [&](int32_t a, int32_t b, int32_t c) {
        out.Char('f');
        for (const int32_t corner : {a, b, c}) {
            out.Char(' ');
            for (int k = 0; k < 3; ++k) {
                if (k) out.Char('/');
                out.Integer(corner + 1);
            }
        }
        out.Char('\n');
    });
    return out.Close();
}

}  // namespace KelvorBench::BumpedSphere
