#pragma once

#include <cstddef>

namespace Pallix::Bake {

class Mesh;
class ThreadPool;

// Gives vertices that agree bit for bit in every per-vertex array one index: the first of them
// keeps its place in order, the others are dropped and their triangles point at it. Polygon
// importers store a vertex per corner, so a closed surface of them shrinks to about a sixth;
// every value a hit interpolates, and so every map, stays the same. The result does not depend
// on the pool, which takes the passes when given. A mesh with no more vertices than triangles
// (one that shares them already), one whose arrays are not all parallel to its positions, and
// one that has nothing to share are left as they are. Returns the vertices dropped.
size_t ShareIdenticalVertices(Mesh& mesh, ThreadPool* pool = nullptr);

}  // namespace Pallix::Bake
