#include "bake/softwarebaker.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "core/bakeexception.h"
#include "core/threadpool.h"
#include "geometry/scene.h"

namespace Pallix::Bake {

namespace {

// Render targets read per texel; the UV target is not read by the row task.
constexpr int kReadTargets[] = {TargetPosition, TargetNormal, TargetTangent, TargetGeoNormal,
                                TargetBitangent, TargetBarycentric, TargetIntegers};

bool CoversTile(const Image& image, const RenderState& state) {
    return image.data != nullptr && image.width >= state.tileWidth && image.height >= state.tileHeight;
}

}  // namespace

SoftwareBaker::SoftwareBaker() = default;

SoftwareBaker::~SoftwareBaker() = default;

void SoftwareBaker::SetThreadCount(int threads) {
    const size_t count = size_t(std::max(threads, 1));
    if (pool && pool->WorkerCount() == count) return;
    pool.reset();  // runs what the old pool still holds and joins its workers first
    pool = std::make_unique<ThreadPool>(count);
}

int SoftwareBaker::RowsPerTask(int tileHeight) const {
    const int workers = pool ? int(pool->WorkerCount()) : int(std::max(1u, std::thread::hardware_concurrency()));
    return std::max(1, tileHeight / (4 * workers));
}

void SoftwareBaker::Render(const RenderState& renderState, Image* targetImage, const ReadbackSet& readbackSet,
                           const IImageShader* imageShader, void* data, int index, int rowsPerTask) {
    if (!targetImage || !imageShader) throw BakeException("Render needs a target image and a shader");
    if (renderState.tileWidth < 0 || renderState.tileHeight < 0) throw BakeException("Render tile size is negative");
    if (!CoversTile(*targetImage, renderState)) throw BakeException("Render target is smaller than the tile");
    for (int t : kReadTargets) {
        if (size_t(t) >= readbackSet.size() || !CoversTile(readbackSet[t], renderState) || readbackSet[t].channels < 4)
            throw BakeException("Render target " + std::to_string(t) + " is missing or smaller than the tile");
    }
    if (!pool) SetThreadCount(int(std::max(1u, std::thread::hardware_concurrency())));

    const RenderCall call{renderState, *targetImage, readbackSet, *imageShader, data, index};
    pool->ParallelFor(0, renderState.tileHeight, std::max(rowsPerTask, 1), [this, &call](int first, int last) {
        for (int row = first; row < last; ++row) RenderRow(call, row);
    });
}

void SoftwareBaker::RenderRow(const RenderCall& call, int y) const {
    const RenderState& s = call.state;
    const ReadbackSet& targets = call.readback;
    Image* target = &call.target;
    const Image& position = targets[TargetPosition];
    const Image& normal = targets[TargetNormal];
    const Image& tangent = targets[TargetTangent];
    const Image& geoNormal = targets[TargetGeoNormal];
    const Image& bitangent = targets[TargetBitangent];
    const Image& barycentric = targets[TargetBarycentric];
    const Image& integers = targets[TargetIntegers];
    const int channels = std::min(target->channels, 4);
    const int supersampling = std::max(s.supersampling, 1);
    const size_t meshCount = scene ? scene->meshes.size() : 0;
    // The last tiles of a map whose size does not divide by 8 reach past it: nothing there is shaded.
    const int64_t samplesWide = int64_t(s.outputWidth) * supersampling - int64_t(s.tileX) * s.tileWidth;
    const bool rowInside = int64_t(y) + int64_t(s.tileY) * s.tileHeight < int64_t(s.outputHeight) * supersampling;

    for (int x = 0; x < s.tileWidth; ++x) {
        float* out = target->Pixel(x, y);
        const float* pos = position.Pixel(x, y);
        if (!(pos[3] > 1e-5f) || !rowInside || x >= samplesWide) {
            for (int c = 0; c < target->channels; ++c) out[c] = 0.0f;
            continue;
        }
        TraceSample sample;
        sample.x = x;
        sample.y = y;
        sample.sampleX = x + s.tileX * s.tileWidth;
        sample.sampleY = y + s.tileY * s.tileHeight;
        sample.pixelX = sample.sampleX / supersampling;
        sample.pixelY = s.outputHeight - sample.sampleY / supersampling - 1;
        const unsigned* ids = integers.PixelUint(x, y);
        sample.meshId = ids[0];
        sample.objectId = ids[1];
        sample.polyId = ids[2];
        sample.position = {pos[0], pos[1], pos[2]};
        const float* n = normal.Pixel(x, y);
        sample.normal = {n[0], n[1], n[2]};
        const float* g = geoNormal.Pixel(x, y);
        sample.geometricNormal = {g[0], g[1], g[2]};
        const float* t = tangent.Pixel(x, y);
        sample.tangent = {t[0], t[1], t[2]};
        const float* b = bitangent.Pixel(x, y);
        sample.bitangent = {b[0], b[1], b[2]};
        const float* w = barycentric.Pixel(x, y);
        for (int c = 0; c < 4; ++c) sample.barycentric[c] = w[c];
        sample.mesh = sample.objectId < meshCount ? scene->meshes[sample.objectId].get() : nullptr;

        float value[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        call.shader.Shade(value, sample, call.userData, call.userIndex);
        for (int c = 0; c < channels; ++c) out[c] = value[c];
    }
}

}  // namespace Pallix::Bake
