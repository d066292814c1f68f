#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "geometry/scene.h"
#include "support/testsupport.h"

// The mesh formats the shared test support does not write: ASCII PLY with vertex colours and
// ASCII FBX with per-face materials.
namespace MeshFiles {

using KelvorTest::ObjMesh;
using Pallix::Bake::Colour32;

struct Material {
    std::string name;
    float r = 1.0f, g = 1.0f, b = 1.0f;
};

// Positions, one byte colour per vertex (red, green, blue) and the triangles.
inline void WritePly(const std::filesystem::path& path, const ObjMesh& mesh, const std::vector<Colour32>& colours) {
    std::ofstream out(path);
    out.precision(9);
    out << "ply\nformat ascii 1.0\nelement vertex " << mesh.positions.size()
        << "\nproperty float x\nproperty float y\nproperty float z\n"
           "property uchar red\nproperty uchar green\nproperty uchar blue\nelement face "
        << mesh.faces.size() << "\nproperty list uchar int vertex_indices\nend_header\n";
    for (size_t v = 0; v < mesh.positions.size(); ++v) {
        const auto& p = mesh.positions[v];
        out << p.x << ' ' << p.y << ' ' << p.z;
        for (int c = 0; c < 3; ++c) out << ' ' << int(Pallix::Bake::ColourChannel(colours[v], c));
        out << '\n';
    }
    for (const auto& f : mesh.faces) out << "3 " << f[0] << ' ' << f[1] << ' ' << f[2] << '\n';
}

// ASCII FBX 7.4: one model holding the mesh, face f with material faceMaterials[f] of the list,
// each material a Phong surface of its diffuse colour.
inline void WriteFbx(const std::filesystem::path& path, const ObjMesh& mesh, const std::vector<int>& faceMaterials,
                     const std::vector<Material>& materials) {
    std::ofstream out(path);
    out.precision(9);
    auto list = [&](const char* name, size_t count, const std::function<void()>& values) {
        out << "\t\t" << name << ": *" << count << " {\n\t\t\ta: ";
        values();
        out << "\n\t\t}\n";
    };
    out << "; FBX 7.4.0 project file\nFBXHeaderExtension:  {\n\tFBXHeaderVersion: 1003\n\tFBXVersion: 7400\n}\n"
           "Objects:  {\n\tGeometry: 2000, \"Geometry::mesh\", \"Mesh\" {\n";
    list("Vertices", 3 * mesh.positions.size(), [&] {
        for (size_t v = 0; v < mesh.positions.size(); ++v)
            out << (v ? "," : "") << mesh.positions[v].x << ',' << mesh.positions[v].y << ',' << mesh.positions[v].z;
    });
    // The last corner of each polygon is stored as its bitwise complement.
    list("PolygonVertexIndex", 3 * mesh.faces.size(), [&] {
        for (size_t f = 0; f < mesh.faces.size(); ++f)
            out << (f ? "," : "") << mesh.faces[f][0] << ',' << mesh.faces[f][1] << ',' << ~mesh.faces[f][2];
    });
    out << "\t\tLayerElementMaterial: 0 {\n\t\t\tMappingInformationType: \"ByPolygon\"\n"
           "\t\t\tReferenceInformationType: \"IndexToDirect\"\n";
    list("Materials", faceMaterials.size(), [&] {
        for (size_t f = 0; f < faceMaterials.size(); ++f) out << (f ? "," : "") << faceMaterials[f];
    });
    out << "\t\t}\n\t\tLayer: 0 {\n\t\t\tLayerElement:  {\n\t\t\t\tType: \"LayerElementMaterial\"\n"
           "\t\t\t\tTypedIndex: 0\n\t\t\t}\n\t\t}\n\t}\n"
           "\tModel: 1000, \"Model::high\", \"Mesh\" {\n\t}\n";
    for (size_t m = 0; m < materials.size(); ++m) {
        out << "\tMaterial: " << 3000 + m << ", \"Material::" << materials[m].name
            << "\", \"\" {\n\t\tShadingModel: \"Phong\"\n\t\tProperties70:  {\n"
            << "\t\t\tP: \"DiffuseColor\", \"Color\", \"\", \"A\", " << materials[m].r << ", " << materials[m].g << ", "
            << materials[m].b << "\n\t\t}\n\t}\n";
    }
    out << "}\nConnections:  {\n\tC: \"OO\", 1000, 0\n\tC: \"OO\", 2000, 1000\n";
    for (size_t m = 0; m < materials.size(); ++m) out << "\tC: \"OO\", " << 3000 + m << ", 1000\n";
    out << "}\n";
}

}  // namespace MeshFiles
