#pragma once

#include <memory>
#include <string>

#include "bake/mapbaker.h"
#include "bake/softwarebaker.h"
#include "bake/traceshader.h"

namespace Pallix::Bake {

// Bakes the high-poly normals into an object-space map and a tangent-space map in the tangent
// convention of the target application, with two shaders per tile: the first finds the
// object-space normal, the second re-expresses the miss-filled result in the texel's frame.
class NormalMapBaker : public MapBaker {
public:
    // How the tangent-space shader solves n = x T + y B + z N.
    enum class Conversion {
        Frame,    // cross products scaled by the sign of det[T, B, N]: exact for orthonormal frames
        Inverse,  // cross products divided by det[T, B, N]: the true inverse of any frame
    };

    // Object-space normal encoded as (n + 1) / 2. A texel whose search ray misses (or finds a
    // degenerate normal) keeps the low-poly normal and is marked by alpha -1.
    class NormalShader : public TraceShader {
    public:
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
    };

    // Reads the object-space texel from the first image of the list handed in as userData and
    // writes it in the texel's tangent frame.
    class ObjectNormalToTangentShader : public SoftwareBaker::IImageShader {
    public:
        explicit ObjectNormalToTangentShader(Conversion mode) : conversion(mode) {}
        void Shade(float* out, const TraceSample& sample, void* userData, int userIndex) const override;
        Conversion conversion;
    };

    NormalMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map);
    ~NormalMapBaker() override;

    void Init() override;
    Image* GetImage() override { return &tangentOutput; }
    int GetImageCount() override { return 2; }
    std::string GetSuffix() const override { return "_tnm_" + basisName; }
    int Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) override;
    void BeginTiles() override;
    void BakeTileDirect(const ReadbackSet& readback) override;
    void ProcessTile(const ReadbackSet& readback) override;
    void PostProcess() override;
    void Export() override;
    void SaveCache() override {}
    void LoadCache() override {}
    int GetTraceRequirements() const override;
    int GetLowPolyRequirements(int flags) const override;

    Image& ObjectOutput() { return objectOutput; }
    Image& TangentOutput() { return tangentOutput; }

    // Per tangent-space code: the name in file names, the conversion and the GPU program that
    // produces the texel frames of that convention.
    static std::string BasisName(int tangentSpace);
    static Conversion ConversionFor(int tangentSpace);
    static int ProgramFor(int tangentSpace);
    // Tangent space 9 bakes the object-space map alone.
    static bool WritesTangentMap(int tangentSpace) { return tangentSpace != TangentObject; }

private:
    std::unique_ptr<NormalShader> normalShader;
    std::unique_ptr<ObjectNormalToTangentShader> toTangentShader;
    std::unique_ptr<Image> missFilled;
    std::unique_ptr<Image> objectTile;
    std::unique_ptr<Image> tangentTile;
    Image tangentOutput;
    Image objectOutput;
    std::string basisName;
};

// The hit triangle's vertex normals interpolated at the hit (not normalised); the triangle's face
// normal when the trace mesh has no vertex normals for it.
Math::Vec3 HitVertexNormal(const TraceHit& hit);

}  // namespace Pallix::Bake
