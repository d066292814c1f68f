#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/rendertargets.h"
#include "core/vecmath.h"
#include "gpu/glslprograms.h"

namespace Pallix::Bake {

class OffscreenContext;
class ShaderContext;
class VertexBuffer;

// Where the current tile lies: read by ConversionResolver to place UV space in the viewport.
struct TileRecord {
    int tileWidth = 1024;   // in samples
    int tileHeight = 1024;
    int column = 0;         // tile column and row inside the UV tile
    int row = 0;
    int columns = 1;        // tiles per UV tile
    int rows = 1;
    int udimColumn = 0;
    int udimRow = 0;
    // Samples across the UV tile; 0 means columns x tileWidth (and rows x tileHeight). Wider
    // tile grids leave their last tiles reaching past the UV tile.
    int samplesWide = 0;
    int samplesHigh = 0;
};

// Sets a program's uniforms before a pass.
class IParameterResolver {
public:
    virtual ~IParameterResolver() = default;
    virtual void Resolve(ShaderContext& shaders, unsigned program) = 0;
};

// Sets "uvTransform" so that the part of UV space covered by the tile fills the viewport.
class ConversionResolver : public IParameterResolver {
public:
    ConversionResolver(const float* modelAffine, const TileRecord* tile) : model(modelAffine), tile(tile) {}
    void Resolve(ShaderContext& shaders, unsigned program) override;

protected:
    const float* model;
    const TileRecord* tile;
};

// The uniform grid that programs 4 and 5 trace: buffer textures and the grid's geometry.
struct GpuTraceGrid {
    int vertexTexture = -1;  // "traceverts": six RGBA32F texels per triangle
    int gridTexture = -1;    // "tracegrid": first triangle and count per cell, RG32I
    int triangleCount = 0;
    Math::Vec3 cellSize;
    Math::Vec3 boundsMin;
    Math::Vec3 boundsMax;
    Math::Vec3 worldToGrid;  // cells per unit along each axis
    int cellCount[3] = {0, 0, 0};
};

// ConversionResolver's work plus the trace uniforms and textures of programs 4 and 5.
class ConversionTraceResolver : public ConversionResolver {
public:
    ConversionTraceResolver(const float* modelAffine, const TileRecord* tile, const GpuTraceGrid* grid)
        : ConversionResolver(modelAffine, tile), grid(grid) {}
    void Resolve(ShaderContext& shaders, unsigned program) override;

protected:
    const GpuTraceGrid* grid;
};

// One uploaded low-poly mesh.
struct HardwareMesh {
    OffscreenContext* context = nullptr;
    std::unique_ptr<VertexBuffer> buffer;
    float transform[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};     // three axis columns and a translation
    float invTranspose[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};  // three columns and a zero column
    int meshid = 0;
    int objectid = 0;

    HardwareMesh();
    ~HardwareMesh();
};

// The low-poly meshes uploaded for one map bake. Create and destroy it while the context is locked.
class HardwareScene {
public:
    explicit HardwareScene(OffscreenContext* context);
    ~HardwareScene();
    HardwareScene(const HardwareScene&) = delete;
    HardwareScene& operator=(const HardwareScene&) = delete;

    // New mesh with meshid = objectid = its position, and a fresh vertex buffer.
    HardwareMesh* AddMesh();
    void Draw(unsigned program);

    OffscreenContext* context;
    std::vector<std::unique_ptr<HardwareMesh>> meshes;
};

// The GPU half of a bake: the offscreen context, the GLSL programs, the texture-space pass and
// the double-buffered read-back.
class HardwareBaker {
public:
    HardwareBaker();
    ~HardwareBaker();  // never throws
    HardwareBaker(const HardwareBaker&) = delete;
    HardwareBaker& operator=(const HardwareBaker&) = delete;

    static constexpr int ProgramCount = ProgramSources::FragmentCount;

    // Creates the context and compiles and links programs 0 to 5 (once). A failure releases the
    // lock and every shader made so far, so the call may be repeated.
    void Initialise();
    void Initialise(const ProgramSources& sources);
    bool IsInitialised() const { return initialised; }
    // The caller holds the context lock.
    std::string GetVersion() const;
    std::string GetVendor() const;
    std::string GetRenderer() const;

    OffscreenContext& GetContext() { return *context; }
    unsigned GetProgram(int program) const { return programs[program]; }

    // Renders the tile with the given program into the eight targets and starts the read-back
    // into the other buffer set; returns that set's number (the first pass returns 1). A tile
    // larger than any before grows the targets and buffers, which drops the pixels of both
    // sets and is refused while a set is mapped.
    int Render(const TileRecord& tile, HardwareScene& scene, int program, IParameterResolver* resolver);
    // Maps the eight buffers of a set read-only and points the images at them.
    // Throws BakeException "Could not lock pixel buffers" (with nothing left mapped) on failure.
    void LockPixelBuffers(int set, ReadbackSet& images);
    // Unmaps the eight buffers of a set and clears the images' pointers; safe to call for a set
    // that is not mapped. Every buffer is unmapped even when one of them fails.
    void UnlockPixelBuffers(int set, ReadbackSet& images);
    bool IsMapped(int set) const { return set >= 0 && set < 2 && mapped[set]; }

    // Keeps a read-back set mapped for a scope and unmaps it on every path.
    class MappedReadback {
    public:
        MappedReadback(HardwareBaker& baker, int set, ReadbackSet& images);
        ~MappedReadback();
        MappedReadback(const MappedReadback&) = delete;
        MappedReadback& operator=(const MappedReadback&) = delete;
        // Unmaps now and reports a failure, which the destructor cannot.
        void Release();

    private:
        HardwareBaker& baker;
        int set;
        ReadbackSet& images;
        bool active = true;
    };

private:
    void UnmapSet(int set);
    void DeletePrograms() noexcept;

    std::unique_ptr<OffscreenContext> context;
    unsigned vertexShader = 0;
    unsigned fragmentShaders[6] = {0, 0, 0, 0, 0, 0};
    unsigned programs[6] = {0, 0, 0, 0, 0, 0};
    int readbackSet = 0;
    bool initialised = false;
    bool mapped[2] = {false, false};
};

}  // namespace Pallix::Bake
