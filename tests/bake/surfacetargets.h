#pragma once

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "bake/bakejob.h"
#include "bake/image.h"
#include "bake/renderstate.h"
#include "bake/softwarebaker.h"
#include "geometry/vecmath.h"
#include "trace/swtracemesh.h"

// Render targets and trace meshes made in code, so that the bakers run a tile without the GPU:
// the tile's texels lie on a known low-poly surface and the high-poly surface is a soup of
// triangles with vertex normals.
namespace SurfaceTest {

using Pallix::Bake::Image;
using Pallix::Bake::ReadbackSet;
using Pallix::Bake::SWTraceMesh;
using Pallix::Math::Vec3;

struct Texel {
    Vec3 position;
    Vec3 normal{0, 0, 1};
    Vec3 geometricNormal{0, 0, 1};
    Vec3 tangent{1, 0, 0};
    Vec3 bitangent{0, 1, 0};
    bool covered = true;
    uint32_t meshId = 0;
};

// Targets of a width x height tile whose texel (x, y) is at(x, y).
template <class At>
ReadbackSet MakeTargets(int width, int height, At&& at) {
    ReadbackSet set;
    for (int t = 0; t < Pallix::Bake::RenderTargetCount; ++t) set.emplace_back(width, height);
    auto put = [&](int target, int x, int y, Vec3 v, float w) {
        float* p = set[target].Pixel(x, y);
        p[0] = v.x, p[1] = v.y, p[2] = v.z, p[3] = w;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Texel texel = at(x, y);
            if (!texel.covered) continue;
            put(Pallix::Bake::TargetPosition, x, y, texel.position, 1.0f);
            put(Pallix::Bake::TargetNormal, x, y, texel.normal, 1.0f);
            put(Pallix::Bake::TargetGeoNormal, x, y, texel.geometricNormal, 1.0f);
            put(Pallix::Bake::TargetTangent, x, y, texel.tangent, 1.0f);
            put(Pallix::Bake::TargetBitangent, x, y, texel.bitangent, 1.0f);
            const unsigned ids[4] = {texel.meshId, 0, 0, 0};
            std::memcpy(set[Pallix::Bake::TargetIntegers].Pixel(x, y), ids, sizeof ids);
        }
    }
    return set;
}

// Centre of texel (x, y) when a width x height tile covers the square [-half, half]^2 at height z.
inline Vec3 PlanePoint(int x, int y, int width, int height, float half = 1.0f, float z = 0.0f) {
    return {-half + 2.0f * half * (float(x) + 0.5f) / float(width), -half + 2.0f * half * (float(y) + 0.5f) / float(height), z};
}

// The flat square [-half, half]^2 at height 0 facing +Z, every texel covered.
inline ReadbackSet PlaneTargets(int width, int height, float half = 1.0f) {
    return MakeTargets(width, height, [&](int x, int y) {
        Texel t;
        t.position = PlanePoint(x, y, width, height, half);
        return t;
    });
}

struct Vertex {
    Vec3 p;
    Vec3 n{0, 0, 1};
};
using Triangle = std::array<Vertex, 3>;

inline void AddQuad(std::vector<Triangle>& soup, Vec3 a, Vec3 b, Vec3 c, Vec3 d, Vec3 n = {0, 0, 1}) {
    soup.push_back({Vertex{a, n}, Vertex{b, n}, Vertex{c, n}});
    soup.push_back({Vertex{a, n}, Vertex{c, n}, Vertex{d, n}});
}

// Axis-aligned rectangle in the plane z, corners (x0, y0) and (x1, y1), wound counter-clockwise.
inline void AddRectangle(std::vector<Triangle>& soup, float x0, float y0, float x1, float y1, float z, Vec3 n = {0, 0, 1}) {
    AddQuad(soup, {x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}, n);
}

inline std::unique_ptr<SWTraceMesh> MakeTraceMesh(const std::vector<Triangle>& soup) {
    auto mesh = std::make_unique<SWTraceMesh>();
    Pallix::Math::AABB3 bounds;
    for (const Triangle& t : soup) {
        const int base = int(mesh->positions.size());
        for (const Vertex& v : t) {
            mesh->positions.push_back(v.p);
            mesh->normals.push_back(v.n);
            bounds.Expand(v.p);
        }
        mesh->AddTriangle(base, base + 1, base + 2, -1);
    }
    bounds.Pad(0.004f);
    const Pallix::Bake::TraceGridSettings settings;
    mesh->grid.Init(bounds, Pallix::Bake::ChooseRootCellSize(settings, bounds, int(soup.size())));
    mesh->Build(&settings, 2);
    return mesh;
}

// A one-map job and everything a baker needs around it to run tiles in memory.
struct Rig {
    Pallix::Bake::BakeJob job;
    Pallix::Bake::MapSettings* map = nullptr;
    Pallix::Bake::RenderState state;
    Pallix::Bake::SoftwareBaker software;
    Pallix::Bake::TraceMeshList meshes;

    Rig(int size, int type, int threads = 4) {
        job.width = job.height = size;
        job.dilation = 0;
        job.normalDirection = Pallix::Bake::DirectionGeometric;
        job.searchDistance = 0.0f;
        job.outputFormat = Pallix::Bake::FormatExr;
        job.hasHighPoly = true;
        map = &job.AddMap();
        map->type = type;
        map->supersampling = 1;
        map->blur = 0.0f;
        state.outputWidth = state.outputHeight = size;
        state.tileWidth = state.tileHeight = size;
        state.sceneExtent = 4.0f;
        software.SetThreadCount(threads);
    }

    template <class Baker>
    std::unique_ptr<Baker> Make() {
        auto baker = std::make_unique<Baker>(&job.times, &job, map);
        baker->state = &state;
        baker->software = &software;
        baker->traceMeshes = &meshes;
        baker->Init();
        return baker;
    }
};

}  // namespace SurfaceTest
