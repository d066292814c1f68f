#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bake/clownmapbaker.h"
#include "bake/curvaturemapbaker.h"
#include "bake/displacementmapbaker.h"
#include "bake/layeredclownmapbaker.h"
#include "bake/positionbaker.h"
#include "bake/projectionmaskbaker.h"
#include "bake/vertexcolourbaker.h"
#include "bench.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

using namespace Pallix::Bake;
using Pallix::Math::Vec3;

namespace {

constexpr float Pi = 3.14159265f;

// A height field of cosine bumps over [-0.5, 0.5]^2, n x n quads, four materials in stripes and a
// colour ramp, prepared as the high-poly loader prepares a scene for every map of this section.
std::unique_ptr<Scene> MakeHighPoly(int n) {
    auto scene = std::make_unique<Scene>(NeedNormals | NeedUVsAndColours | NeedNeighbourDirections);
    SceneMaterial* materials[4];
    for (int i = 0; i < 4; ++i) {
        materials[i] = scene->FindOrAddMaterial("stripe" + std::to_string(i));
        materials[i]->r = float(i) / 3.0f;
    }
    SceneMesh* mesh = scene->AddMesh("high");
    auto height = [](float x, float y) { return 0.02f * std::cos(8.0f * Pi * x) * std::cos(8.0f * Pi * y); };
    auto corner = [&](int i, int j) {
        const float x = float(i) / float(n) - 0.5f, y = float(j) / float(n) - 0.5f;
        mesh->positions.push_back({x, y, height(x, y)});
        mesh->normals.push_back({0.0f, 0.0f, 1.0f});
        mesh->uvs.push_back({x + 0.5f, y + 0.5f});
        mesh->colours.push_back(PackColour(uint8_t(255.0f * (x + 0.5f)), 128, uint8_t(255.0f * (y + 0.5f)), 255));
        mesh->AddCorner();
    };
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            mesh->BeginPolygon(materials[(4 * i) / n]);
            corner(i, j);
            corner(i + 1, j);
            corner(i + 1, j + 1);
            corner(i, j + 1);
            mesh->FinishPolygon(false);
        }
    }
    scene->ComputeNeighbourDirections();
    return scene;
}

// The render targets of a flat low-poly square filling the tile, as the texture-space pass
// writes them.
ReadbackSet MakeTargets(int size) {
    ReadbackSet targets;
    for (int t = 0; t < RenderTargetCount; ++t) targets.emplace_back(size, size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const float u = (float(x) + 0.5f) / float(size), v = (float(y) + 0.5f) / float(size);
            const float position[4] = {u - 0.5f, v - 0.5f, 0.0f, 1.0f}, normal[4] = {0, 0, 1, 1};
            std::memcpy(targets[TargetPosition].Pixel(x, y), position, sizeof position);
            std::memcpy(targets[TargetNormal].Pixel(x, y), normal, sizeof normal);
            std::memcpy(targets[TargetGeoNormal].Pixel(x, y), normal, sizeof normal);
            const float b1 = u > v ? u - v : 0.0f;
            const float weights[4] = {1.0f - std::max(u, v), b1, std::min(u, v), 0.0f};
            std::memcpy(targets[TargetBarycentric].Pixel(x, y), weights, sizeof weights);
            const unsigned ids[4] = {0u, 0u, u > v ? 0u : 1u, 0u};
            std::memcpy(targets[TargetIntegers].Pixel(x, y), ids, sizeof ids);
        }
    }
    return targets;
}

struct Section {
    BakeJob job;
    MapSettings* map = nullptr;
    RenderState state;
    SoftwareBaker software;
    std::unique_ptr<Scene> lowPoly = std::make_unique<Scene>(NeedNormals | NeedUVsAndColours);
    std::unique_ptr<SWTraceMesh> highPoly = std::make_unique<SWTraceMesh>();
    TraceMeshList traceMeshes;
    TraceGridSettings grid;
    ReadbackSet targets;

    Section(int size, int quads) {
        job.width = job.height = size;
        job.hasHighPoly = true;
        job.dilation = 4;
        map = &job.AddMap();
        state.outputWidth = state.outputHeight = size;
        state.tileWidth = state.tileHeight = size;
        state.sceneExtent = 2.0f;
        state.threadCount = int(std::max(1u, std::thread::hardware_concurrency()));
        software.SetThreadCount(state.threadCount);
        SceneMesh* low = lowPoly->AddMesh("low");
        for (const Vec3& p : {Vec3{-0.5f, -0.5f, 0}, Vec3{0.5f, -0.5f, 0}, Vec3{0.5f, 0.5f, 0}, Vec3{-0.5f, 0.5f, 0}}) {
            low->positions.push_back(p);
            low->normals.push_back({0, 0, 1});
            low->uvs.push_back({p.x + 0.5f, p.y + 0.5f});
            low->colours.push_back(ColourWhite);
        }
        low->indices = {0, 1, 2, 0, 2, 3};
        low->triangleMaterials = {-1, -1};
        software.SetScene(lowPoly.get());

        const double start = KelvorBench::NowSeconds();
        const std::unique_ptr<Scene> scene = MakeHighPoly(quads);
        ChooseTraceKernel(CpuFeatures(), &grid, 0, 0);  // what KelvorCmd picks by default
        scene->BuildTraceMesh(highPoly.get(), &grid, nullptr);
        traceMeshes.push_back(highPoly.get());
        std::printf("  high-poly: %d triangles, built in %.0f ms; %d x %d texels, %d threads\n", 2 * quads * quads,
                    (KelvorBench::NowSeconds() - start) * 1e3, size, size, state.threadCount);
        targets = MakeTargets(size);
    }

    template <class Baker>
    void Time(const char* name, int type, bool layers = false) {
        map->type = type;
        map->layers = layers;
        Baker baker(&job.times, &job, map);
        baker.state = &state;
        baker.software = &software;
        baker.traceMeshes = &traceMeshes;
        baker.gridSettings = &grid;
        baker.Init();
        double shade = 1e30, post = 1e30;
        for (int repeat = 0; repeat < 3; ++repeat) {
            baker.BeginTiles();
            double start = KelvorBench::NowSeconds();
            baker.ProcessTile(targets);
            shade = std::min(shade, KelvorBench::NowSeconds() - start);
            start = KelvorBench::NowSeconds();
            baker.PostProcess();
            post = std::min(post, KelvorBench::NowSeconds() - start);
        }
        const double texels = double(state.tileWidth) * double(state.tileHeight);
        std::printf("  %-22s shade %8.1f ms (%6.2f Mtexel/s)   post-process %7.1f ms\n", name, shade * 1e3,
                    texels / shade * 1e-6, post * 1e3);
    }
};

void Run() {
    Section section(2048, 512);
    section.Time<ClownMapBaker>("material id", MapMaterialId);
    section.Time<LayeredClownMapBaker>("layered material id", MapMaterialId, true);
    section.Time<CurvatureMapBaker>("curvature", MapCurvature);
    section.Time<DisplacementMapBaker>("displacement", MapDisplacement);
    section.Time<PositionBaker>("world position", MapWorldPosition);
    section.Time<VertexColourBaker>("vertex colour", MapVertexColour);
}

}  // namespace

KELVOR_BENCH_SECTION("mapbakers", "Shading and post-processing of the material, curvature, displacement, position "
                                  "and vertex-colour bakers over a 2048 x 2048 tile",
                     Run);
