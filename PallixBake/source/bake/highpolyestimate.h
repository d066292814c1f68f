#pragma once

#include <algorithm>
#include <cstdint>

#include "io/sceneimporter.h"

namespace Pallix::Bake {

enum class HighPolyImporter { Obj, Ply, Fbx };

// The least a high-poly load takes, of memory and of address space alike, from the bytes a
// triangle and a vertex that kelvor_bench largemesh measures for each importer and shape of
// file, with nothing added: only a load that cannot fit is refused by it. A file's vertex records are held
// while it is read and its triangles while the trace grid is built, so a load takes at least the
// larger of the two, not surely their sum.
struct LoadEstimate {
    uint64_t triangles = 0, vertices = 0;
    uint64_t triangleBytes = 0, vertexBytes = 0;

    uint64_t Bytes() const { return std::max(triangleBytes, vertexBytes); }
    // Whether the vertices rather than the triangles decide the figure.
    bool ByVertices() const { return vertexBytes > triangleBytes; }
    void Add(const LoadEstimate& other) {
        triangles += other.triangles;
        vertices += other.vertices;
        triangleBytes += other.triangleBytes;
        vertexBytes += other.vertexBytes;
    }
};

// normals: the scene keeps normals, as the maps that shade by them ask.
LoadEstimate EstimateLoad(HighPolyImporter importer, const ImportSize& size, bool normals);

}  // namespace Pallix::Bake
