#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

struct Obj {
    std::vector<std::array<double, 3>> positions, normals;
    std::vector<std::array<double, 2>> uvs;
    std::vector<std::array<int, 3>> faces;    // position indices, 0-based
    std::vector<std::array<int, 3>> faceUVs;  // -1 without
};

Obj ReadObj(const fs::path& path) {
    Obj obj;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::string tag;
        in >> tag;
        if (tag == "v" || tag == "vn") {
            std::array<double, 3> v{};
            in >> v[0] >> v[1] >> v[2];
            (tag == "v" ? obj.positions : obj.normals).push_back(v);
        } else if (tag == "vt") {
            std::array<double, 2> t{};
            in >> t[0] >> t[1];
            obj.uvs.push_back(t);
        } else if (tag == "f") {
            std::array<int, 3> face{}, uv{-1, -1, -1};
            for (int i = 0; i < 3; ++i) {
                std::string corner;
                in >> corner;
                face[i] = std::stoi(corner) - 1;
                const size_t slash = corner.find('/');
                if (slash != std::string::npos && corner[slash + 1] != '/') uv[i] = std::stoi(corner.substr(slash + 1)) - 1;
            }
            obj.faces.push_back(face);
            obj.faceUVs.push_back(uv);
        }
    }
    return obj;
}

}  // namespace

TEST(SampleMeshes, LowPolyEnvelopeAndHighPolyFitTogether) {
    const KelvorTest::TempFolder folder("kelvor-samples");
    const KelvorTest::ProgramResult run = KelvorTest::RunProgram(KelvorTest::SamplesProgramPath(), {folder.Path().string()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Obj low = ReadObj(folder / "crate_low.obj");
    const Obj high = ReadObj(folder / "crate_high.obj");
    const Obj envelope = ReadObj(folder / "crate_envelope.obj");

    // Low-poly: every corner has a UV in [0, 1] and a normal; UV triangles keep their
    // orientation and the sides' islands do not overlap.
    ASSERT_EQ(low.faces.size(), 12u);
    ASSERT_EQ(low.uvs.size(), low.positions.size());
    ASSERT_EQ(low.normals.size(), low.positions.size());
    std::vector<std::array<double, 4>> islands;  // UV bounds of each side (two triangles)
    for (size_t f = 0; f < low.faces.size(); ++f) {
        const auto& t = low.faceUVs[f];
        ASSERT_GE(t[0], 0);
        const auto &a = low.uvs[t[0]], &b = low.uvs[t[1]], &c = low.uvs[t[2]];
        EXPECT_GT((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]), 0.0) << f;
        if (f % 2 == 0) islands.push_back({1, 1, 0, 0});
        for (const auto* p : {&a, &b, &c}) {
            EXPECT_TRUE((*p)[0] >= 0 && (*p)[0] <= 1 && (*p)[1] >= 0 && (*p)[1] <= 1);
            auto& box = islands.back();
            box = {std::min(box[0], (*p)[0]), std::min(box[1], (*p)[1]), std::max(box[2], (*p)[0]), std::max(box[3], (*p)[1])};
        }
    }
    for (size_t i = 0; i < islands.size(); ++i)
        for (size_t j = i + 1; j < islands.size(); ++j) {
            const auto &a = islands[i], &b = islands[j];
            EXPECT_TRUE(a[2] <= b[0] || b[2] <= a[0] || a[3] <= b[1] || b[3] <= a[1]) << i << " overlaps " << j;
        }

    // High-poly: a few hundred thousand triangles forming one closed, consistently wound
    // surface that stays between the low-poly's core and the envelope.
    EXPECT_GT(high.faces.size(), 200000u);
    EXPECT_EQ(high.normals.size(), high.positions.size());
    std::map<std::pair<int, int>, int> edges;
    for (const auto& f : high.faces)
        for (int i = 0; i < 3; ++i) ++edges[{f[i], f[(i + 1) % 3]}];
    for (const auto& [edge, count] : edges) {
        ASSERT_EQ(count, 1);
        ASSERT_EQ(edges.count({edge.second, edge.first}), 1u);
    }
    double highest = 0, lowest = 1e9;
    for (const auto& p : high.positions) {
        const double extent = std::max({std::abs(p[0]), std::abs(p[1]), std::abs(p[2])});
        highest = std::max(highest, extent);
        lowest = std::min(lowest, extent);
    }
    double envelopeExtent = 1e9;
    for (const auto& p : envelope.positions)
        envelopeExtent = std::min(envelopeExtent, std::max({std::abs(p[0]), std::abs(p[1]), std::abs(p[2])}));
    EXPECT_GT(lowest, 0.9);
    EXPECT_LT(highest, envelopeExtent);

    // The envelope shares the low-poly's layout corner for corner.
    EXPECT_EQ(envelope.faces, low.faces);
    EXPECT_EQ(envelope.uvs, low.uvs);
}
