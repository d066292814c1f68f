#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"
#include "geometry/scene.h"
#include "support/testsupport.h"
#include "trace/swtracemesh.h"

// Scenes built in code, a stand-in for the GPU's texture-space pass, and a rig that drives a map
// baker through its tiles the way the map loop does.
namespace BakerTest {

using namespace Pallix::Bake;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;
namespace fs = std::filesystem;
using KelvorTest::ExpectNear;
using KelvorTest::ReadImageFile;
using KelvorTest::TempFolder;
using KelvorTest::Unit;

// A baker with its protected output image in reach.
template <class Base>
class Open : public Base {
public:
    using Base::Base;
    Image& Output() { return this->output; }
};

struct Corner {
    Vec3 p;
    Vec2 uv;
    Colour32 colour = ColourWhite;
    Vec3 n{0.0f, 0.0f, 1.0f};
};

// Appends one triangle stored per corner.
inline void AddTriangle(SceneMesh& mesh, const Corner& a, const Corner& b, const Corner& c,
                        const SceneMaterial* material = nullptr) {
    mesh.BeginPolygon(material);
    for (const Corner* corner : {&a, &b, &c}) {
        mesh.positions.push_back(corner->p);
        mesh.normals.push_back(corner->n);
        mesh.uvs.push_back(corner->uv);
        mesh.colours.push_back(corner->colour);
        mesh.AddCorner();
    }
    mesh.FinishPolygon(false);
}

// The quad a b c d as two triangles sharing one normal, without UVs: walls and roofs.
inline void AddQuad(SceneMesh& mesh, Vec3 a, Vec3 b, Vec3 c, Vec3 d, Vec3 n) {
    AddTriangle(mesh, {a, {}, ColourWhite, n}, {b, {}, ColourWhite, n}, {c, {}, ColourWhite, n});
    AddTriangle(mesh, {a, {}, ColourWhite, n}, {c, {}, ColourWhite, n}, {d, {}, ColourWhite, n});
}

// An axis-aligned rectangle in the plane z, facing +z, split along its diagonal from the
// lower-left corner; its UVs map [x0, x1] x [y0, y1] onto [u0, u0 + 1] x [v0, v0 + 1].
inline void AddRectangle(SceneMesh& mesh, float x0, float y0, float x1, float y1, float z,
                         const SceneMaterial* material = nullptr, Colour32 colour = ColourWhite, float u0 = 0.0f,
                         float v0 = 0.0f) {
    const Corner a{{x0, y0, z}, {u0, v0}, colour}, b{{x1, y0, z}, {u0 + 1.0f, v0}, colour};
    const Corner c{{x1, y1, z}, {u0 + 1.0f, v0 + 1.0f}, colour}, d{{x0, y1, z}, {u0, v0 + 1.0f}, colour};
    AddTriangle(mesh, a, b, c, material);
    AddTriangle(mesh, a, c, d, material);
}

inline SceneMaterial* AddMaterial(Scene& scene, const std::string& name, float r, float g, float b) {
    auto material = std::make_unique<SceneMaterial>();
    material->id = int(scene.materials.size());
    material->name = name;
    material->r = r;
    material->g = g;
    material->b = b;
    scene.materials.push_back(std::move(material));
    return scene.materials.back().get();
}

// Does what the GPU pass does for one tile: each sample centre in UV space takes the values of
// the first low-poly triangle that covers it. The tile spans the whole UV tile (column, row).
inline ReadbackSet RasteriseTargets(const Scene& scene, int width, int height, int column = 0, int row = 0) {
    ReadbackSet targets;
    for (int t = 0; t < RenderTargetCount; ++t) targets.emplace_back(width, height);
    auto cross = [](Vec2 a, Vec2 b) { return a.x * b.y - a.y * b.x; };
    auto sub = [](Vec2 a, Vec2 b) { return Vec2{a.x - b.x, a.y - b.y}; };
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        const SceneMesh& mesh = *scene.meshes[m];
        for (size_t t = 0; t < mesh.TriangleCount(); ++t) {
            uint32_t v[3];
            Vec2 uv[3];
            for (int j = 0; j < 3; ++j) {
                v[j] = mesh.indices[3 * t + size_t(j)];
                uv[j] = sub(mesh.uvs[v[j]], Vec2{float(column), float(row)});
            }
            const float area = cross(sub(uv[1], uv[0]), sub(uv[2], uv[0]));
            if (area == 0.0f) continue;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    if (targets[TargetPosition].Pixel(x, y)[3] > 0.0f) continue;
                    const Vec2 p{(float(x) + 0.5f) / float(width), (float(y) + 0.5f) / float(height)};
                    const float b1 = cross(sub(p, uv[0]), sub(uv[2], uv[0])) / area;
                    const float b2 = cross(sub(uv[1], uv[0]), sub(p, uv[0])) / area;
                    const float b0 = 1.0f - b1 - b2;
                    if (b0 < 0.0f || b1 < 0.0f || b2 < 0.0f) continue;
                    const float w[3] = {b0, b1, b2};
                    Vec3 position, normal, smooth;
                    for (int j = 0; j < 3; ++j) {
                        position = position + mesh.positions[v[j]] * w[j];
                        normal = normal + mesh.normals[v[j]] * w[j];
                        smooth = smooth + (mesh.smoothNormals.empty() ? mesh.normals[v[j]] : mesh.smoothNormals[v[j]]) * w[j];
                    }
                    position = mesh.ToWorld(position);
                    normal = Pallix::Math::NormalizeFast(mesh.NormalToWorld(normal));
                    smooth = Pallix::Math::NormalizeFast(mesh.NormalToWorld(smooth));
                    const float values[][4] = {{position.x, position.y, position.z, 1.0f},
                                               {normal.x, normal.y, normal.z, 1.0f},
                                               {p.x, p.y, 0.0f, 0.0f},
                                               {1.0f, 0.0f, 0.0f, 1.0f},
                                               {smooth.x, smooth.y, smooth.z, 1.0f},
                                               {0.0f, 1.0f, 0.0f, 1.0f},
                                               {b0, b1, b2, 0.0f}};
                    for (int target = 0; target < TargetIntegers; ++target)
                        std::copy(values[target], values[target] + 4, targets[target].Pixel(x, y));
                    const unsigned ids[4] = {0u, unsigned(m), unsigned(t), 0u};
                    std::memcpy(targets[TargetIntegers].Pixel(x, y), ids, sizeof ids);
                }
            }
        }
    }
    return targets;
}

// Trace mesh of a whole scene, as the high-poly loader builds it.
inline std::unique_ptr<SWTraceMesh> BuildTraceMesh(const Scene& scene) {
    auto mesh = std::make_unique<SWTraceMesh>();
    const TraceGridSettings settings;
    scene.BuildTraceMesh(mesh.get(), &settings, nullptr);
    return mesh;
}

// One map of one job on a square output of size pixels, baked in a single tile per UV tile.
// The low-poly scene stands in for the GPU pass; high-poly scenes become the trace meshes.
struct Rig {
    BakeJob job;
    MapSettings* map;
    RenderState state;
    SoftwareBaker software;
    std::unique_ptr<Scene> lowPoly;
    std::vector<std::unique_ptr<SWTraceMesh>> traceOwned;
    TraceMeshList traceMeshes;

    Rig(int size, int type, int supersampling = 1, int lowPolyNeeds = NeedNormals | NeedUVsAndColours)
        : lowPoly(std::make_unique<Scene>(lowPolyNeeds)) {
        job.width = job.height = size;
        job.dilation = 0;
        map = &job.AddMap();
        map->type = type;
        map->supersampling = supersampling;
        map->blur = 0.0f;
        state.outputWidth = state.outputHeight = size;
        state.tileWidth = state.tileHeight = size * supersampling;
        state.supersampling = supersampling;
        state.sceneExtent = 10.0f;
        software.SetThreadCount(3);
        software.SetScene(lowPoly.get());
    }

    // The low-poly square [-half, half]^2 at height 0 over the whole first UV tile.
    void AddLowPolySquare(float half = 0.5f) { AddRectangle(*lowPoly->AddMesh("low"), -half, -half, half, half, 0.0f); }

    void AddHighPoly(const Scene& scene) {
        traceOwned.push_back(BuildTraceMesh(scene));
        traceMeshes.push_back(traceOwned.back().get());
        job.hasHighPoly = true;
    }

    template <class Baker>
    std::unique_ptr<Baker> Make() {
        auto baker = std::make_unique<Baker>(&job.times, &job, map);
        baker->state = &state;
        baker->software = &software;
        baker->traceMeshes = &traceMeshes;
        return baker;
    }

    // Bakes the tiles of UV tile (column, row) as BakeTiles does.
    void BakeTile(MapBaker& baker, int column = 0, int row = 0) {
        state.udimColumn = column;
        state.udimRow = row;
        baker.BeginTiles();
        const ReadbackSet targets = RasteriseTargets(*lowPoly, state.tileWidth, state.tileHeight, column, row);
        baker.ProcessTile(targets);
        baker.EndTiles();
    }

    // The two passes of a map whose range spans UV tiles 1001 to 1000 + columns: every tile's
    // range and cache first, then each tile normalised and exported.
    void BakeTwoPasses(MapBaker& baker, int columns) {
        for (int column = 0; column < columns; ++column) {
            BakeTile(baker, column);
            baker.PostProcessRange();
            baker.SaveCache();
        }
        for (int column = 0; column < columns; ++column) {
            state.udimColumn = column;
            baker.LoadCache();
            baker.FinishPostProcess();
            baker.Export();
        }
    }
};

}  // namespace BakerTest
