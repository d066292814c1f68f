// Import speed of the FBX reader and importer on a large generated grid mesh, binary with
// compressed arrays (the usual export) and ASCII.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "bench.h"
#include "fbxbinary.h"
#include "geometry/scene.h"
#include "io/fbximporter.h"

namespace {

using namespace Pallix::Bake;

// A minimal FBX emitter: one Geometry with vertices, quads and per-corner normals and UVs, one
// Model, and their connections.
class GridWriter : KelvorBench::FbxBinaryWriter {
public:
    explicit GridWriter(int side) {
        for (int y = 0; y <= side; ++y)
            for (int x = 0; x <= side; ++x) vertices.insert(vertices.end(), {double(x), double(y), 0.0});
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const int a = y * (side + 1) + x;
                indices.insert(indices.end(), {a, a + 1, a + side + 2, ~(a + side + 1)});
                for (int k = 0; k < 4; ++k) {
                    normals.insert(normals.end(), {0.0, 0.0, 1.0});
                    uvs.insert(uvs.end(), {double(x) / side, double(y) / side});
                }
            }
        }
    }

    // With `materials` materials on the model, the quads taking them in turn.
    std::string Binary(int materials = 0) {
        Start();
        const auto layer = [&](const char* record, const char* arrayName, const std::vector<double>& values) {
            Record(record, [&] { Int(0); }, [&] {
                Record("MappingInformationType", [&] { String("ByPolygonVertex"); });
                Record("ReferenceInformationType", [&] { String("Direct"); });
                Record(arrayName, [&] { DoubleArray(values); });
            });
        };
        Record("Objects", nullptr, [&] {
            Record("Geometry", [&] { Long(2); String(std::string("grid\0\1Geometry", 14)); String("Mesh"); }, [&] {
                Record("Vertices", [&] { DoubleArray(vertices); });
                Record("PolygonVertexIndex", [&] { IntArray(indices); });
                layer("LayerElementNormal", "Normals", normals);
                layer("LayerElementUV", "UV", uvs);
                if (materials > 0) {
                    std::vector<int32_t> slots(indices.size() / 4);
                    for (size_t q = 0; q < slots.size(); ++q) slots[q] = int32_t(q % size_t(materials));
                    Record("LayerElementMaterial", [&] { Int(0); }, [&] {
                        Record("MappingInformationType", [&] { String("ByPolygon"); });
                        Record("ReferenceInformationType", [&] { String("IndexToDirect"); });
                        Record("Materials", [&] { IntArray(slots); });
                    });
                }
            });
            Record("Model", [&] { Long(1); String(std::string("grid\0\1Model", 11)); String("Mesh"); });
            for (int m = 0; m < materials; ++m) {
                Record("Material", [&] { Long(10 + m); String("paint" + std::to_string(m) + std::string("\0\1Material", 10)); String(""); },
                       [&] { Record("ShadingModel", [&] { String("lambert"); }); });
            }
        });
        Record("Connections", nullptr, [&] {
            Record("C", [&] { String("OO"); Long(1); Long(0); });
            Record("C", [&] { String("OO"); Long(2); Long(1); });
            for (int m = 0; m < materials; ++m) Record("C", [&] { String("OO"); Long(10 + m); Long(1); });
        });
        return Finish();
    }

    std::string Ascii() const {
        std::string text = "; FBX 7.4.0 project file\nFBXHeaderExtension:  {\n\tFBXVersion: 7400\n}\nObjects:  {\n"
                           "\tGeometry: 2, \"Geometry::grid\", \"Mesh\" {\n";
        const auto array = [&text](const char* name, const auto& values) {
            text += std::string("\t\t") + name + ": *" + std::to_string(values.size()) + " {\n\t\t\ta: ";
            char buffer[32];
            for (size_t i = 0; i < values.size(); ++i) {
                std::snprintf(buffer, sizeof buffer, i % 32 == 31 ? "%g,\n" : "%g,", double(values[i]));
                text += buffer;
            }
            text.pop_back();
            text += "\n\t\t}\n";
        };
        array("Vertices", vertices);
        array("PolygonVertexIndex", indices);
        text += "\t\tLayerElementNormal: 0 {\n\t\t\tMappingInformationType: \"ByPolygonVertex\"\n"
                "\t\t\tReferenceInformationType: \"Direct\"\n";
        array("Normals", normals);
        text += "\t\t}\n\t\tLayerElementUV: 0 {\n\t\t\tMappingInformationType: \"ByPolygonVertex\"\n"
                "\t\t\tReferenceInformationType: \"Direct\"\n";
        array("UV", uvs);
        text += "\t\t}\n\t}\n\tModel: 1, \"Model::grid\", \"Mesh\" {\n\t}\n}\nConnections:  {\n\tC: \"OO\",1,0\n\tC: \"OO\",2,1\n}\n";
        return text;
    }

private:
    std::vector<double> vertices, normals, uvs;
    std::vector<int32_t> indices;
};

void Run() {
    const int side = 700;  // 490,000 quads, 1.96 million corners
    GridWriter grid(side);
    const auto dir = std::filesystem::temp_directory_path();
    const std::string binary = (dir / ("kelvor_bench_" + std::to_string(::getpid()) + ".fbx")).string();
    const std::string ascii = (dir / ("kelvor_bench_" + std::to_string(::getpid()) + "_ascii.fbx")).string();
    const std::string painted = (dir / ("kelvor_bench_" + std::to_string(::getpid()) + "_materials.fbx")).string();
    std::ofstream(binary, std::ios::binary) << grid.Binary();
    std::ofstream(ascii, std::ios::binary) << grid.Ascii();
    std::ofstream(painted, std::ios::binary) << grid.Binary(100000);
    for (const auto& [label, path, triangulate] :
         {std::tuple{"binary zlib, fan", binary, false}, std::tuple{"binary zlib, triangulated", binary, true},
          std::tuple{"ascii, fan", ascii, false}, std::tuple{"binary zlib, 100k materials", painted, false}}) {
        double best = 1e30;
        size_t triangles = 0;
        for (int round = 0; round < 3; ++round) {
            Scene scene(NeedNormals | NeedUVsAndColours | NeedTangents);
            FBXImporter importer;
            importer.triangulate = triangulate;
            const double start = KelvorBench::NowSeconds();
            importer.Import(path.c_str(), &scene);
            best = std::min(best, KelvorBench::NowSeconds() - start);
            triangles = size_t(scene.CountTriangles());
        }
        std::printf("  %-28s %8.1f MB  %zu triangles  %7.3f s  %6.2f M triangles/s\n", label,
                    double(std::filesystem::file_size(path)) / 1e6, triangles, best, double(triangles) / best / 1e6);
    }
    std::filesystem::remove(binary);
    std::filesystem::remove(ascii);
    std::filesystem::remove(painted);
}

KELVOR_BENCH_SECTION("fbx", "FBX import of a 490k-quad grid (binary and ASCII, and with 100k materials)", Run);

}  // namespace
