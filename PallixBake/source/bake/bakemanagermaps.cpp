#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "bake/bakemanager.h"
#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "gpu/offscreencontext.h"
#include "io/fbximporter.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

// The output file name of the current UV tile without its folder, as the log lines show it.
std::string DisplayName(const MapBaker& baker) {
    const std::string name = baker.GetOutputName();
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// UV-tile index of a coordinate, kept within a range that a region loop can walk: UVs far out
// (or broken) must not turn into an integer overflow or a loop over billions of tiles.
constexpr int kLastTileIndex = 1000;
int TileIndex(double value) { return int(std::clamp(value, -1.0, double(kLastTileIndex))); }

// A triangle the GPU can rasterise in UV space: finite UVs spanning a non-zero area.
bool Drawable(Math::Vec2 p, Math::Vec2 q, Math::Vec2 r) {
    const double area = (double(q.x) - p.x) * (double(r.y) - p.y) - (double(r.x) - p.x) * (double(q.y) - p.y);
    return area != 0.0 && std::isfinite(area);
}

bool HasUsableUVs(const Scene& scene) {
    for (const auto& mesh : scene.meshes) {
        const size_t count = mesh->uvs.size();
        for (size_t i = 0; i + 2 < mesh->indices.size(); i += 3) {
            const uint32_t a = mesh->indices[i], b = mesh->indices[i + 1], c = mesh->indices[i + 2];
            if (a >= count || b >= count || c >= count) continue;
            if (Drawable(mesh->uvs[a], mesh->uvs[b], mesh->uvs[c])) return true;
        }
    }
    return false;
}

// Whether the GPU can cover a sample with the triangle p (in samples of the region, whose
// sample centres lie at k + 0.5 for k below columns and rows). Rasterisers snap corners to a
// sixteenth of a sample or finer, so a sample that near the triangle counts too: borderline
// cases are left to the GPU. Walks the shorter side of the triangle's box, a sample line at a time.
bool CoversASample(std::array<double, 6> p, double columns, double rows) {
    constexpr double slack = 1.0 / 16.0;
    auto lines = [&](int axis, double count, double& first, double& last) {
        const double lo = std::min({p[axis], p[axis + 2], p[axis + 4]});
        const double hi = std::max({p[axis], p[axis + 2], p[axis + 4]});
        first = std::max(0.0, std::ceil(lo - 0.5 - slack));
        last = std::min(count - 1.0, std::floor(hi - 0.5 + slack));
    };
    double firstX, lastX, firstY, lastY;
    lines(0, columns, firstX, lastX);
    lines(1, rows, firstY, lastY);
    if (firstX > lastX || firstY > lastY) return false;
    if (lastX - firstX < lastY - firstY) {
        for (int i = 0; i < 6; i += 2) std::swap(p[i], p[i + 1]);
        std::swap(firstY, firstX);
        std::swap(lastY, lastX);
    }
    const double lowY = std::min({p[1], p[3], p[5]}), highY = std::max({p[1], p[3], p[5]});
    for (double line = firstY; line <= lastY; ++line) {
        const double y = std::clamp(line + 0.5, lowY, highY);
        double left = INFINITY, right = -INFINITY;
        for (int edge = 0; edge < 3; ++edge) {
            const double x0 = p[2 * edge], y0 = p[2 * edge + 1];
            const double x1 = p[(2 * edge + 2) % 6], y1 = p[(2 * edge + 3) % 6];
            if (y < std::min(y0, y1) || y > std::max(y0, y1)) continue;
            const double x = y0 == y1 ? x0 : x0 + (x1 - x0) * ((y - y0) / (y1 - y0));
            left = std::min({left, x, y0 == y1 ? x1 : x});
            right = std::max({right, x, y0 == y1 ? x1 : x});
        }
        const double sample = std::max(firstX, std::ceil(left - 0.5 - slack));
        if (sample <= lastX && sample + 0.5 <= right + slack) return true;
    }
    return false;
}

// What the low-poly's UV triangles give a UV-tile region: whether one covers a sample, else
// the bounds of the drawable ones and whether any reaches into the region.
struct RegionCoverage {
    bool covered = false;
    bool reachesRegion = false;
    double minU = INFINITY, minV = INFINITY, maxU = -INFINITY, maxV = -INFINITY;
};

RegionCoverage CoverageOf(const Scene& scene, int minU, int maxU, int minV, int maxV, int samplesWide,
                          int samplesHigh) {
    RegionCoverage coverage;
    const double columns = (double(maxU) - minU + 1.0) * samplesWide;
    const double rows = (double(maxV) - minV + 1.0) * samplesHigh;
    for (const auto& mesh : scene.meshes) {
        const size_t count = mesh->uvs.size();
        for (size_t i = 0; i + 2 < mesh->indices.size(); i += 3) {
            const uint32_t a = mesh->indices[i], b = mesh->indices[i + 1], c = mesh->indices[i + 2];
            if (a >= count || b >= count || c >= count) continue;
            const Math::Vec2 corners[3] = {mesh->uvs[a], mesh->uvs[b], mesh->uvs[c]};
            if (!Drawable(corners[0], corners[1], corners[2])) continue;
            std::array<double, 6> samples;
            for (int k = 0; k < 3; ++k) {
                coverage.minU = std::min(coverage.minU, double(corners[k].x));
                coverage.maxU = std::max(coverage.maxU, double(corners[k].x));
                coverage.minV = std::min(coverage.minV, double(corners[k].y));
                coverage.maxV = std::max(coverage.maxV, double(corners[k].y));
                samples[2 * k] = (double(corners[k].x) - minU) * samplesWide;
                samples[2 * k + 1] = (double(corners[k].y) - minV) * samplesHigh;
            }
            const double lowX = std::min({samples[0], samples[2], samples[4]});
            const double highX = std::max({samples[0], samples[2], samples[4]});
            const double lowY = std::min({samples[1], samples[3], samples[5]});
            const double highY = std::max({samples[1], samples[3], samples[5]});
            if (highX <= 0.0 || lowX >= columns || highY <= 0.0 || lowY >= rows) continue;
            coverage.reachesRegion = true;
            if (CoversASample(samples, columns, rows)) {
                coverage.covered = true;
                return coverage;
            }
        }
    }
    return coverage;
}

std::string NumberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", value);
    return text;
}

}  // namespace

void BakeManager::BakeMap(MapBaker* baker, BakeJob* job, MapSettings* map, int mapIndex) {
    if (directMode && !baker->SupportsDirectMode()) return;

    const Math::Vec3 centre{(sceneMin[0] + sceneMax[0]) * 0.5f, (sceneMin[1] + sceneMax[1]) * 0.5f,
                            (sceneMin[2] + sceneMax[2]) * 0.5f};
    if (map->type == MapWorldPosition) baker->origin = centre;
    if (!directMode) RecordGridStatistics(map);

    LayOutTiles(*job, *map);
    Scene lowPoly(baker->GetLowPolyRequirements(0));
    HardwareScene hardwareScene(&hardware.GetContext());
    currentTimes->TimePhase(currentTimes->lowPolyLoadTime, [&] {
        WithinMemory("load the low-poly mesh " + job->lowPolyPath, [&] {
            LoadLowPolyScene(*job, *map, centre, lowPoly);
            UploadLowPolyScene(*job, lowPoly, hardwareScene);
        });
    });
    SetUVTileRegion(*job, lowPoly);

    baker->state = &state;
    baker->software = &software;
    WithinMemory("bake " + (job->explicitPath ? job->outputPath : job->outputPath + baker->GetSuffix()), [&] {
        baker->Init();
        if (listener) listener->OnMapStart(job, mapIndex, baker->GetImage());
        software.SetScene(&lowPoly);
        BakeUVTiles(baker, job, map, hardwareScene);
    });

    if (cancel) {
        std::printf("Canceled\n");
        std::fflush(stdout);
    } else if (listener) {
        map->done = true;
        listener->OnMapDone(job, mapIndex);
    }
    software.SetScene(nullptr);
}

void BakeManager::RecordGridStatistics(MapSettings* map) const {
    TraceGridStatistics statistics;
    if (!traceMeshes.empty() && traceMeshes[0]) statistics = ComputeGridStatistics(traceMeshes[0]->grid);
    map->traceTris = traceTriangles;
    map->traceHighwater = statistics.highWater;
    map->cellAvg = statistics.meanCount;
    map->cellCount = statistics.cellCount;
    map->cellUsage = statistics.usage;
}

void BakeManager::LayOutTiles(const BakeJob& job, const MapSettings& map) {
    // Tiles are in super-samples, hold whole output pixels and fit the 1024 x 1024 framebuffer.
    const int supersampling = map.supersampling;
    const int cap = directMode ? 512 : 1024;
    const int64_t samplesX = int64_t(job.width) * supersampling;
    const int64_t samplesY = int64_t(job.height) * supersampling;
    if (supersampling < 1 || supersampling > cap || samplesX < 8 || samplesY < 8)
        throw BakeException("Output size " + std::to_string(job.width) + " x " + std::to_string(job.height) +
                            " with supersampling " + std::to_string(supersampling) + " is too small to bake");
    // An eighth of the map rounded up, so that the tiles cover every sample; the last tile of a
    // size that does not divide by 8 reaches past the map.
    const int64_t tileWidth = std::min<int64_t>((job.width + 7) / 8, cap / supersampling) * supersampling;
    const int64_t tileHeight = std::min<int64_t>((job.height + 7) / 8, cap / supersampling) * supersampling;
    state.supersampling = supersampling;
    state.outputWidth = job.width;
    state.outputHeight = job.height;
    state.tileWidth = int(tileWidth);
    state.tileHeight = int(tileHeight);
    state.tilesX = int((samplesX + tileWidth - 1) / tileWidth);
    state.tilesY = int((samplesY + tileHeight - 1) / tileHeight);
}

void BakeManager::LoadLowPolyScene(const BakeJob& job, MapSettings& map, const Math::Vec3& centre, Scene& lowPoly) {
    Log("Loading low poly mesh");
    {
        FBXImporter importer;
        const bool keepPolygons = map.tangentSpace == TangentMaya || map.tangentSpace == TangentSource;
        importer.viewName = map.tangentSpace == TangentMaya ? "mayaview" : "gameview";
        importer.triangulate = !keepPolygons;
        importer.rejectPolygons = keepPolygons;
        importer.Import(job.lowPolyPath.c_str(), &lowPoly);
    }
    lowPoly.Translate(-centre);
    // Triangles without an area in space leave no surface to cast rays from: one flat colour.
    if (!HasUsableTriangle(lowPoly)) throw BakeException("The low-poly mesh has no usable triangles");
    lowPoly.Prepare(map);

    Math::AABB3 bounds = lowPoly.GetBounds();
    for (const auto& mesh : traceMeshes)
        if (mesh) bounds.Expand(mesh->GetBounds());
    // Without the padding, which does not scale with the model.
    Math::AABB3 surfaces;
    for (const auto& mesh : lowPoly.meshes) mesh->ExpandBounds(surfaces);
    if (!traceMeshes.empty() && !highPolySurfaces.IsEmpty()) surfaces.Expand(highPolySurfaces);
    const Math::Vec3 size = bounds.IsEmpty() ? Math::Vec3{} : bounds.Max() - bounds.Min();
    state.sceneExtent = std::max({size.x, size.y, size.z}) + 1.0f;
    const Math::Vec3 surfaceSize = surfaces.IsEmpty() ? Math::Vec3{} : surfaces.Max() - surfaces.Min();
    state.sceneSize = std::max({surfaceSize.x, surfaceSize.y, surfaceSize.z});

    map.lowresTris = lowPoly.CountTriangles();
}

void BakeManager::UploadLowPolyScene(const BakeJob& job, const Scene& lowPoly, HardwareScene& hardwareScene) {
    for (const auto& mesh : lowPoly.meshes) {
        HardwareMesh* uploaded = hardwareScene.AddMesh();
        mesh->CreateVertexBuffer(*uploaded);
        // Without name matching every texel is traced against the one trace group.
        if (!job.matchNames) uploaded->meshid = 0;
    }
}

void BakeManager::SetUVTileRegion(const BakeJob& job, const Scene& lowPoly) {
    if (!HasUsableUVs(lowPoly)) throw BakeException("The low-poly mesh has no usable UVs");
    int minU = 0, maxU = 0, minV = 0, maxV = 0;
    if (job.tilingMode == TilingManual) {
        minU = job.tileMinU;
        maxU = job.tileMaxU;
        minV = job.tileMinV;
        maxV = job.tileMaxV;
    } else if (job.tilingMode == TilingAuto) {
        double lowU = INFINITY, lowV = INFINITY, highU = -INFINITY, highV = -INFINITY;
        for (const auto& mesh : lowPoly.meshes) {
            for (const Math::Vec2& uv : mesh->uvs) {
                if (!std::isfinite(uv.x) || !std::isfinite(uv.y)) continue;
                lowU = std::min(lowU, double(uv.x));
                lowV = std::min(lowV, double(uv.y));
                highU = std::max(highU, double(uv.x));
                highV = std::max(highV, double(uv.y));
            }
        }
        if (lowU <= highU) {
            minU = TileIndex(std::floor(std::max(lowU, 0.0)));
            minV = TileIndex(std::floor(std::max(lowV, 0.0)));
            maxU = TileIndex(std::ceil(highU) - 1.0);
            maxV = TileIndex(std::ceil(highV) - 1.0);
        } else {
            maxU = maxV = -1;
        }
        if (maxU < minU || maxV < minV) throw BakeException("The low-poly mesh has no UVs inside the tile range");
    }
    const bool udimCapped = job.tileNaming == TileNamingUdim && (minU > 9 || maxU > 9);
    if (job.tileNaming == TileNamingUdim) {
        minU = std::min(minU, 9);
        maxU = std::min(maxU, 9);
    }
    if (job.tilingMode == TilingAuto && (maxU - minU >= kMaxAutoColumns || maxV - minV >= kMaxAutoRows))
        throw BakeException("The low-poly UVs reach UV tile u " + std::to_string(maxU) + ", v " + std::to_string(maxV) +
                            ": automatic tiling bakes at most " + std::to_string(kMaxAutoColumns) + " x " +
                            std::to_string(kMaxAutoRows) + " UV tiles");
    if (job.explicitPath && (minU != maxU || minV != maxV) && minU <= maxU && minV <= maxV)
        throw BakeException(ExplicitPathMessage(minU, maxU, minV, maxV));
    CheckRegionCoverage(job, lowPoly, minU, maxU, minV, maxV, udimCapped);
    state.regionMinU = minU;
    state.regionMaxU = maxU;
    state.regionMinV = minV;
    state.regionMaxV = maxV;
    state.tileX = 0;
}

void BakeManager::CheckRegionCoverage(const BakeJob& job, const Scene& lowPoly, int minU, int maxU, int minV,
                                      int maxV, bool udimCapped) const {
    const int samplesWide = state.outputWidth * state.supersampling;
    const int samplesHigh = state.outputHeight * state.supersampling;
    const RegionCoverage coverage = CoverageOf(lowPoly, minU, maxU, minV, maxV, samplesWide, samplesHigh);
    if (coverage.covered) return;
    if (coverage.reachesRegion) {
        std::string message = "The low-poly UV triangles are too small to cover a texel at " +
                              std::to_string(state.outputWidth) + " x " + std::to_string(state.outputHeight);
        if (state.supersampling > 1) message += " with supersampling " + std::to_string(state.supersampling);
        throw BakeException(message);
    }
    std::string message = "The low-poly UVs (u " + NumberText(coverage.minU) + " to " + NumberText(coverage.maxU) +
                          ", v " + NumberText(coverage.minV) + " to " + NumberText(coverage.maxV) +
                          ") lie outside every UV tile baked (" + RegionText(minU, maxU, minV, maxV) + ")";
    if (job.tilingMode != TilingAuto && job.tilingMode != TilingManual)
        message += ": with the tiling mode off only u and v 0 to 1 are baked";
    else if (udimCapped)
        message += ": UDIM names end at UV tile u 9";
    else if (job.tilingMode == TilingAuto && std::max(coverage.maxU, coverage.maxV) > kLastTileIndex + 1)
        message += ": automatic tiling reaches UV tile " + std::to_string(kLastTileIndex) + " at most";
    throw BakeException(message);
}

void BakeManager::BakeUVTiles(MapBaker* baker, BakeJob* job, MapSettings* map, HardwareScene& hardwareScene) {
    const int minU = state.regionMinU, maxU = state.regionMaxU;
    const int minV = state.regionMinV, maxV = state.regionMaxV;
    // At least two UV tiles; manual regions can span the whole int range, so no tile count is formed.
    const bool twoPass = maxU >= minU && maxV >= minV && (maxU > minU || maxV > minV) && baker->NeedsRangePass();

    // Visits the region row by row; stops, with a log line, when the cancel flag is seen.
    auto forEachTile = [&](auto&& visit) {
        if (minU > maxU) return;
        // 64-bit counters: a region that ends at the largest int must not wrap around.
        for (int64_t row = minV; row <= maxV; ++row) {
            if (cancel) {
                Log("Canceling...");
                return;
            }
            for (int64_t column = minU; column <= maxU; ++column) {
                if (cancel) {
                    Log("Canceling...");
                    return;
                }
                state.udimColumn = int(column);
                state.udimRow = int(row);
                if (!visit()) return;
            }
        }
    };

    forEachTile([&] {
        BakeTiles(job, map, baker, &hardwareScene);
        if (cancel) return false;
        const std::string name = DisplayName(*baker);
        currentTimes->StartPhase();
        Log("Processing " + name);
        if (twoPass)
            baker->PostProcessRange();
        else
            baker->PostProcess();
        currentTimes->processingTime += currentTimes->PhaseSeconds();

        Log("Completed render for " + name);
        if (listener) {
            Image* image = baker->GetImage();
            const TileUpdate whole{0, 0, image->width, image->height, image};
            listener->OnTileDone(&whole);
        }

        currentTimes->StartPhase();
        if (twoPass) {
            Log("Caching " + name);
            baker->SaveCache();
        } else {
            Log("Exporting " + name);
            baker->Export();
        }
        currentTimes->exportTime += currentTimes->PhaseSeconds();
        return true;
    });

    if (twoPass && !cancel) {
        forEachTile([&] {
            const std::string name = DisplayName(*baker);
            currentTimes->StartPhase();
            Log("Post processing " + name);
            baker->LoadCache();
            baker->FinishPostProcess();
            currentTimes->processingTime += currentTimes->PhaseSeconds();
            Log("Exporting " + name);
            currentTimes->StartPhase();
            baker->Export();
            currentTimes->exportTime += currentTimes->PhaseSeconds();
            return true;
        });
    }
}

void BakeManager::BakeTiles(BakeJob* job, MapSettings* map, MapBaker* baker, HardwareScene* scene) {
    if (listener) listener->OnTilingStart(job, map, state.udimColumn, state.udimRow);
    currentTimes->StartPhase();
    baker->BeginTiles();
    const std::string name = DisplayName(*baker);
    Log("Starting bake for " + name);

    // The set number each slot's tile was rendered into; the GPU renders one tile ahead.
    int slotSet[2] = {0, 0};
    int slot = 0;
    state.tileX = 0;
    state.tileY = 0;
    if (!directMode) {
        slotSet[0] = baker->Render(hardware, *scene, TileOf(state, 0, 0));
        currentTimes->gpuRenderTime += currentTimes->PhaseSeconds();
    }
    ReadbackSet readback[2] = {MakeReadbackSet(state.tileWidth, state.tileHeight),
                               MakeReadbackSet(state.tileWidth, state.tileHeight)};

    const int64_t regionColumns = int64_t(state.regionMaxU) - state.regionMinU + 1;
    const int64_t regionRows = int64_t(state.regionMaxV) - state.regionMinV + 1;
    const int64_t total = int64_t(state.tilesX) * state.tilesY * regionColumns * regionRows;
    int64_t done = int64_t(state.tilesX) * state.tilesY *
                   ((int64_t(state.udimColumn) - state.regionMinU) +
                    regionColumns * (int64_t(state.udimRow) - state.regionMinV));

    // Tiles in column-major order; the cancel flag is read before each column and each tile.
    bool stopped = false;
    for (int tileX = 0; tileX < state.tilesX && !stopped; ++tileX) {
        for (int tileY = 0; tileY < state.tilesY && !stopped; ++tileY) {
            if (cancel) {
                Log("Canceling...");
                stopped = true;
                break;
            }
            Log("Baking tile " + std::to_string(done + 1) + "/" + std::to_string(total) + " for " + name);
            state.tileX = tileX;
            state.tileY = tileY;

            currentTimes->StartPhase();
            const int set = slotSet[slot];
            HardwareBaker::MappedReadback mapped(hardware, set, readback[set]);
            currentTimes->gpuReadbackTime += currentTimes->PhaseSeconds();

            // Send the next tile to the GPU while the CPU shades this one.
            const int nextX = tileY + 1 < state.tilesY ? tileX : tileX + 1;
            const int nextY = tileY + 1 < state.tilesY ? tileY + 1 : 0;
            slot = 1 - slot;
            if (nextX < state.tilesX && !directMode) {
                currentTimes->StartPhase();
                slotSet[slot] = baker->Render(hardware, *scene, TileOf(state, nextX, nextY));
                currentTimes->gpuRenderTime += currentTimes->PhaseSeconds();
            }

            progressBase = -1;
            if (directMode)
                baker->BakeTileDirect(readback[set]);
            else
                baker->ProcessTile(readback[set]);
            mapped.Release();

            ++done;
            if (listener) {
                listener->OnProgress(total > 0 ? float(double(done) / double(total)) : 1.0f);
                const int s = state.supersampling;
                const int x = tileX * state.tileWidth / s, y = tileY * state.tileHeight / s;
                // The last tile of a map whose size does not divide by 8 is cut at the map's edge.
                const TileUpdate update{x, y, std::min(state.tileWidth / s, state.outputWidth - x),
                                        std::min(state.tileHeight / s, state.outputHeight - y), baker->GetImage()};
                listener->OnTileDone(&update);
            }
        }
    }
    baker->EndTiles();
    if (listener) listener->OnTilingEnd(job, map, state.udimColumn, state.udimRow);
}

}  // namespace Pallix::Bake
