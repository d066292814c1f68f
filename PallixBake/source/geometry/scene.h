#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/vecmath.h"
#include "geometry/meshtopology.h"

namespace Pallix::Bake {

struct MapSettings;
class Scene;
class SWTraceMesh;
class ThreadPool;
struct TraceGridSettings;
struct HardwareMesh;

// 32-bit vertex colour: bytes red, green, blue, alpha in that order in memory.
using Colour32 = uint32_t;
constexpr Colour32 PackColour(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return Colour32(r) | (Colour32(g) << 8) | (Colour32(b) << 16) | (Colour32(a) << 24);
}
constexpr uint8_t ColourChannel(Colour32 c, int channel) { return uint8_t(c >> (8 * channel)); }
constexpr Colour32 ColourWhite = PackColour(255, 255, 255, 255);

// Vertices per part when a pass over a large mesh's vertices runs on a thread pool.
constexpr size_t kVerticesPerPart = size_t(1) << 18;

// Corner weights of SceneMesh::RebuildNormals; any mode but NormalsAngleWeighted weights 1.
enum NormalWeighting : int {
    NormalsUnweighted = 0,
    NormalsAngleWeighted = 2,
};

// Scene need flags.
enum SceneNeeds : int {
    NeedAdjacency = 0x1,
    NeedNormals = 0x2,
    NeedSmoothNormals = 0x4,
    NeedTangents = 0x8,
    NeedUVsAndColours = 0x10,
    NeedNeighbourDirections = 0x20,
    NeedHardVertices = 0x40,
    NeedHardEdges = 0x80,
    NeedEdgeNormals = 0x100,
};

struct SceneMaterial {
    float r = 1.0f, g = 1.0f, b = 1.0f;
    int id = 0;  // position in the list that holds it
    std::string name;
};

// One imported mesh: per-vertex arrays (stored per corner for polygon importers), an index
// list of triangles and the local-to-world transform.
class SceneMesh {
public:
    SceneMesh(Scene* owner, std::string name);
    ~SceneMesh();
    SceneMesh(const SceneMesh&) = delete;
    SceneMesh& operator=(const SceneMesh&) = delete;

    std::string name;
    // Local-to-world affine map: four columns of three floats (x axis, y axis, z axis, translation).
    float transform[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    // Inverse transpose of the 3x3 part: three columns of three floats.
    float normalMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<Math::Vec3> positions;
    std::vector<Math::Vec3> normals;
    std::vector<Math::Vec3> smoothNormals;
    std::vector<Math::Vec4> tangents;  // xyz and handedness sign w (+1 or -1)
    std::vector<Math::Vec3> bitangents;
    std::vector<Math::Vec2> uvs;
    std::vector<Colour32> colours;
    std::vector<Math::Vec2> neighbourDirections;  // (below, above) per vertex
    std::vector<float> hardVertices;              // 1.0 or 0.0 per vertex
    std::vector<bool> hardEdges;                  // one bit per edge in edge-id order
    std::vector<Math::Vec3> edgeNormals;          // one per edge
    std::vector<uint32_t> indices;                // three per triangle
    std::vector<int> triangleMaterials;           // scene material id per triangle, -1 for none
    Scene* scene = nullptr;

    // Polygon state, meaningful only between BeginPolygon and FinishPolygon.
    int firstVertex = 0;
    int cornerCount = 0;
    int fanCount = 0;
    int firstIndex = 0;
    int material = -1;

    std::unique_ptr<MeshTopology> topology;
    int topologyParts = 0;
    // Some polygon had no tangent frame in the file and got the placeholder (1, 0, 0), (0, 0, 1).
    bool usedDefaultTangents = false;

    // Build interface for importers.
    void Reserve(size_t vertexCount);
    void ReserveIndices(size_t triangleCount);
    void ReserveGeometry(size_t vertexCount, size_t triangleCount);
    void BeginPolygon(const SceneMaterial* material);
    void AddTangent(Math::Vec3 tangent, Math::Vec3 bitangent);
    void AddCorner();
    void FinishPolygon(bool usedDefaultTangent);
    void SetTransform(const float affine[12]);
    // With a pool a large mesh is measured in parts at once; the bounds are the same.
    void ExpandBounds(Math::AABB3& box, ThreadPool* pool = nullptr) const;

    size_t VertexCount() const { return positions.size(); }
    size_t TriangleCount() const { return indices.size() / 3; }
    Math::Vec3 ToWorld(Math::Vec3 p) const {
        const float* t = transform;
        return {p.x * t[0] + p.y * t[3] + p.z * t[6] + t[9], p.x * t[1] + p.y * t[4] + p.z * t[7] + t[10],
                p.x * t[2] + p.y * t[5] + p.z * t[8] + t[11]};
    }
    // Normal matrix times n, not renormalised.
    Math::Vec3 NormalToWorld(Math::Vec3 n) const {
        const float* m = normalMatrix;
        return {n.x * m[0] + n.y * m[3] + n.z * m[6], n.x * m[1] + n.y * m[4] + n.z * m[7],
                n.x * m[2] + n.y * m[5] + n.z * m[8]};
    }

    // Topology and preparation passes.
    // Keeps the topology when it has every bit of parts, else rebuilds exactly these parts.
    void EnsureTopology(int parts);
    void MarkHardVertices();
    void MarkHardEdges();
    void RebuildNormals(int mode, bool toSmoothNormals);
    // Gives every vertex whose normal has no direction (zero, not finite, or absent) the
    // angle-weighted normal of its welded position, as RebuildNormals makes it, and its
    // tangent frame the handedness that normal gives. Returns how many vertices it filled.
    size_t FillMissingNormals();

    // Frees every array but the name and transform; the mesh then holds no geometry.
    void ReleaseArrays();
    // Frees what neither trace mesh assembly nor a later pass of the high-poly load reads: the
    // topology, tangent frames, smoothed normals, hard-edge data, and the per-vertex arrays the
    // scene does not carry into trace meshes.
    void ReleaseUntracedArrays();

    // Trace mesh assembly and GPU upload.
    void AppendTo(class Mesh& target) const;
    // Leaves an empty target as AppendTo would, but hands over this mesh's arrays, turned to
    // world space in place (in parts on the pool when there is one), instead of copying them;
    // this mesh is left without arrays.
    void MoveInto(class Mesh& target, ThreadPool* pool = nullptr);
    bool CreateVertexBuffer(HardwareMesh& target) const;
};

// What an importer produces from one or more files: meshes and the materials they refer to.
class Scene {
public:
    // Derives the has* bytes from the need flags.
    explicit Scene(int needs = 0);
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    int needs = 0;
    bool hasTangents = false;
    bool hasUVs = false;
    bool hasColours = false;
    bool hasNormals = false;
    bool hasNeighbourDirections = false;
    std::vector<std::unique_ptr<SceneMesh>> meshes;
    std::vector<std::unique_ptr<SceneMaterial>> materials;

    SceneMesh* AddMesh(const std::string& name);
    // The first material of that name, else a new one at the end of materials.
    SceneMaterial* FindOrAddMaterial(const std::string& name);
    int CountTriangles() const;
    // Union of every mesh's world bounds, each side moved outward by 0.004.
    Math::AABB3 GetBounds(ThreadPool* pool = nullptr) const;
    void Translate(Math::Vec3 offset);

    // Preparation passes run by the need flags.
    void Prepare(const MapSettings& map);
    void BuildTopology(int parts);
    void ComputeNeighbourDirections();
    void ComputeEdgeNormals();
    void GenerateTangents(bool negateSign);
    // Tangent frames for one mesh; a mesh without normals or UVs for every vertex keeps its own.
    static void GenerateTangents(SceneMesh& mesh, bool negateSign);

    // Fills target with the meshes whose names contain nameFilter (all when null) and builds
    // its grid; returns the result of SWTraceMesh::Build.
    bool BuildTraceMesh(SWTraceMesh* target, const TraceGridSettings* settings, const std::string* nameFilter) const;

private:
    // Name lookup for FindOrAddMaterial, so files with many materials load in linear time;
    // materials appended to the list directly are taken in at the next lookup.
    std::unordered_map<std::string, SceneMaterial*> materialByName_;
    size_t materialsIndexed_ = 0;
};

// Unit face normal of a triangle, (p1 - p0) x (p2 - p0) normalised; non-finite when degenerate.
Math::Vec3 FaceNormal(Math::Vec3 p0, Math::Vec3 p1, Math::Vec3 p2);

// Sixteen bytes, since a high-poly trace mesh holds tens of millions of them: the face normal is
// found from the positions when it is asked for (Mesh::TriangleNormal), and the material is an
// index into the owning mesh's material copies (Mesh::TriangleMaterial).
struct MeshTriangle {
    int32_t vertex0 = 0, vertex1 = 0, vertex2 = 0;
    int32_t material = -1;  // -1 for none
};
static_assert(sizeof(MeshTriangle) == 16, "a trace mesh triangle is four ints");

// Flat world-space triangle soup traced by the CPU; SWTraceMesh derives from it.
class Mesh {
public:
    Mesh();
    virtual ~Mesh();
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    std::vector<Math::Vec3> positions;
    std::vector<Math::Vec3> normals;
    std::vector<Math::Vec2> uvs;
    std::vector<Colour32> colours;
    std::vector<MeshTriangle> triangles;
    std::vector<Math::Vec2> neighbourDirections;
    std::vector<std::unique_ptr<SceneMaterial>> materials;
    Math::AABB3 bounds;
    Math::Vec3 centre;
    float radius = -1.0f;
    float radiusSquared = 0.0f;

    void Reserve(size_t vertexCount, size_t triangleCount, bool withUVs, bool withColours);
    int AddMaterial(const SceneMaterial& material);
    int AddTriangle(int vertex0, int vertex1, int vertex2, int materialIndex);
    // The unit face normal, as FaceNormal gives it; zero for corners beyond the positions.
    Math::Vec3 TriangleNormal(const MeshTriangle& t) const;
    const SceneMaterial* TriangleMaterial(const MeshTriangle& t) const {
        return t.material >= 0 && size_t(t.material) < materials.size() ? materials[size_t(t.material)].get() : nullptr;
    }
    virtual double Finalize();
    virtual const Math::AABB3& GetBounds() const { return bounds; }
};

}  // namespace Pallix::Bake
