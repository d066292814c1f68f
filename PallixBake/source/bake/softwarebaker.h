#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bake/renderstate.h"
#include "core/image.h"
#include "core/rendertargets.h"
#include "core/vecmath.h"

namespace Pallix::Bake {

class Scene;
class SceneMesh;
class ThreadPool;

// Everything the texture-space pass knows about one covered texel.
struct TraceSample {
    int32_t x = 0, y = 0;              // texel inside the tile
    int32_t sampleX = 0, sampleY = 0;  // super-sample over the whole UV tile
    int32_t pixelX = 0, pixelY = 0;    // output pixel; pixelY counted from the top of the image
    uint32_t meshId = 0;
    uint32_t objectId = 0;
    uint32_t polyId = 0;
    Math::Vec3 position;
    Math::Vec3 normal;
    Math::Vec3 geometricNormal;
    Math::Vec3 tangent;
    Math::Vec3 bitangent;
    float barycentric[4] = {0, 0, 0, 0};
    const SceneMesh* mesh = nullptr;  // low-poly mesh at objectId, null when out of range
};

// CPU half of every tile: shades each covered texel of a read-back set on the thread pool,
// and the whole-image operations that resolve and clean up the maps.
class SoftwareBaker {
public:
    class IImageShader {
    public:
        virtual ~IImageShader() = default;
        // Computes one texel into out (four floats). Called concurrently from many workers:
        // keep per-call state on the stack.
        virtual void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const = 0;
        virtual void GetEmptyValue(float* out) const {
            out[0] = out[1] = out[2] = out[3] = 0.0f;
        }
    };

    class IListener {
    public:
        virtual ~IListener() = default;
        virtual void OnProgress(const RenderState& state, int rows) = 0;
    };

    SoftwareBaker();
    ~SoftwareBaker();
    SoftwareBaker(const SoftwareBaker&) = delete;
    SoftwareBaker& operator=(const SoftwareBaker&) = delete;

    // Keeps the pool when it already has that many workers, else replaces it (at least 1).
    void SetThreadCount(int threads);
    ThreadPool* GetPool() const { return pool.get(); }
    // Rows per task that hand each worker about four tasks of a tile of this height: enough to
    // balance the load, few enough that handing out the tasks costs little.
    int RowsPerTask(int tileHeight) const;
    void SetScene(const Scene* lowPolyScene) { scene = lowPolyScene; }
    const Scene* GetScene() const { return scene; }

    // Shades one tile into target (tileWidth x tileHeight super-samples), one task per row.
    // Waits for every row; an exception of a row task is rethrown after all rows finished.
    // A shader that does little per texel may ask for several rows per task, so that handing
    // out the tasks does not cost more than the shading.
    void Render(const RenderState& state, Image* target, const ReadbackSet& readback, const IImageShader* shader,
                void* userData, int userIndex, int rowsPerTask = 1);

    // Post-processing, whole-image passes. Destination and source are images of the same
    // size; for the passes that take a pool the destination may be the source itself (the
    // pass then runs in place), and with a pool their rows run in bands on it. Neither
    // changes the result.
    static void ResolveCovered(const RenderState& state, Image* output, const Image* tile);
    static void ResolveAverage(const RenderState& state, Image* output, const Image* tile);
    static void BlurCovered(Image* destination, const Image* source, float radius, ThreadPool* pool = nullptr);
    static void Blur(Image* destination, const Image* source, float radius, ThreadPool* pool = nullptr);
    // Returns how many texels it filled: none means every further step would change nothing.
    static int64_t DilateStep(Image* destination, const Image* source, ThreadPool* pool = nullptr);
    static void FillMarkedTexels(Image* destination, const Image* source, ThreadPool* pool = nullptr);
    static void GetRange(const Image* image, float* minimum, float* maximum);
    static void ExtendRange(const Image* image, float* minimum, float* maximum);
    static void NormalizeRange(Image* image, const float* minimum, const float* maximum);
    static void MakeLayer(Image* destination, const Image* source, const float* colour);
    static void SplatChannel(Image* destination, const Image* source, int channel);

private:
    // The arguments of one Render call, read by its row tasks.
    struct RenderCall {
        const RenderState& state;
        Image& target;
        const ReadbackSet& readback;
        const IImageShader& shader;
        void* userData;
        int userIndex;
    };

    void RenderRow(const RenderCall& call, int y) const;

    std::unique_ptr<ThreadPool> pool;
    const Scene* scene = nullptr;
};

// Free post-processing operations of the normal map.
void MakeGaussianKernel(float* kernel, int size, float radius);
void RenormalizeNormals(Image* destination, const Image* source, ThreadPool* pool = nullptr);
void FillEmptyTexels(Image* image, const float* colour, ThreadPool* pool = nullptr);
void ExtrapolateNormalBorder(Image* destination, const Image* source, ThreadPool* pool = nullptr);

}  // namespace Pallix::Bake
