#include "bake/highpolyestimate.h"

namespace Pallix::Bake {

namespace {

// Resident bytes that a triangle or a vertex record adds to the peak of a load, from kelvor_bench
// largemesh: from files of 1M to files of 10M triangles, and from 1M to 10M points with one
// triangle over them, as the high-poly of a normal map and of a displacement map, which keeps no
// normals. What any load takes besides (its workers' buffers and stacks) is left out. A
// triangle's figure holds the vertices of a bumped sphere, half a vertex each. Several FBX
// meshes are copied into the trace mesh rather than handed over to it. A PLY vertex that gets
// a built normal takes less as files grow, since the weld's table is sized to a power of two:
// 47 bytes at 10M points, 41 at 30M, so its figure is 40.
struct Figures {
    uint64_t triangle, vertex;
};
enum Shape { Obj, Ply, FbxMesh, FbxMeshes, Shapes };
// {bytes a triangle, bytes a vertex record} of each shape.
constexpr Figures kWithNormals[Shapes] = {{169, 12}, {171, 40}, {167, 34}, {299, 34}};
constexpr Figures kWithoutNormals[Shapes] = {{160, 12}, {163, 16}, {160, 34}, {257, 34}};

}  // namespace

LoadEstimate EstimateLoad(HighPolyImporter importer, const ImportSize& size, bool normals) {
    const Shape shape = importer == HighPolyImporter::Obj   ? Obj
                        : importer == HighPolyImporter::Ply ? Ply
                        : size.meshes > 1                   ? FbxMeshes
                                                            : FbxMesh;
    const Figures& figures = (normals ? kWithNormals : kWithoutNormals)[shape];
    LoadEstimate estimate;
    estimate.triangles = size.triangles;
    estimate.vertices = size.vertices;
    estimate.triangleBytes = size.triangles * figures.triangle;
    estimate.vertexBytes = size.vertices * figures.vertex;
    return estimate;
}

}  // namespace Pallix::Bake
