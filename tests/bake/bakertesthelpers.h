#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <png.h>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

// Scenes built in code, a stand-in for the GPU's texture-space pass, and a rig that drives a map
// baker through its tiles the way the map loop does.
namespace BakerTest {

using namespace Pallix::Bake;
using Pallix::Math::Vec2;
using Pallix::Math::Vec3;
namespace fs = std::filesystem;

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
};

inline fs::path TempFolder(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("kelvor_" + name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// An image file read back with row 0 at the bottom, as the engine keeps its images.
struct ReadImage {
    int width = 0, height = 0;
    std::vector<float> pixels;  // RGBA
    const float* At(int x, int y) const { return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
};

inline ReadImage ReadExrFile(const fs::path& path) {
    ReadImage image;
    Imf::RgbaInputFile file(path.c_str());
    const Imath::Box2i window = file.dataWindow();
    image.width = window.max.x - window.min.x + 1;
    image.height = window.max.y - window.min.y + 1;
    Imf::Array2D<Imf::Rgba> rows(image.height, image.width);
    file.setFrameBuffer(&rows[0][0] - window.min.x - window.min.y * image.width, 1, size_t(image.width));
    file.readPixels(window.min.y, window.max.y);
    image.pixels.resize(size_t(image.width) * size_t(image.height) * 4);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const Imf::Rgba& p = rows[image.height - 1 - y][x];
            float* out = &image.pixels[(size_t(y) * size_t(image.width) + size_t(x)) * 4];
            out[0] = p.r;
            out[1] = p.g;
            out[2] = p.b;
            out[3] = p.a;
        }
    }
    return image;
}

// 8-bit PNG as RGBA bytes scaled to [0, 1]; an empty image when the file cannot be read.
inline ReadImage ReadPngFile(const fs::path& path) {
    ReadImage image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGBA;
    std::vector<png_byte> bytes(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, bytes.data(), 0, nullptr)) return image;
    image.width = int(png.width);
    image.height = int(png.height);
    image.pixels.resize(bytes.size());
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width * 4; ++x)
            image.pixels[size_t(y) * size_t(image.width) * 4 + size_t(x)] =
                float(bytes[size_t(image.height - 1 - y) * size_t(image.width) * 4 + size_t(x)]) / 255.0f;
    return image;
}

}  // namespace BakerTest
