#include "bake/normalmapbaker.h"

#include <cmath>

#include "bake/singlemapbaker.h"
#include "core/threadpool.h"
#include "geometry/scene.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

using Math::Vec3;

namespace {

inline void Encode(float* out, Vec3 n, float alpha) {
    out[0] = (n.x + 1.0f) * 0.5f;
    out[1] = (n.y + 1.0f) * 0.5f;
    out[2] = (n.z + 1.0f) * 0.5f;
    out[3] = alpha;
}

inline bool IsUnit(Vec3 n) { return Math::Length(n) > 0.5f && !std::isnan(n.x); }

// A broken low-poly normal must not become a NaN texel that the miss fill then spreads.
Vec3 LowPolyNormal(const TraceSample& sample) {
    Vec3 n = Math::NormalizeFast(sample.normal);
    if (IsUnit(n)) return n;
    n = Math::NormalizeFast(sample.geometricNormal);
    return IsUnit(n) ? n : Vec3{0, 0, 1};
}

// The green channel of every covered texel turned upside down, rows on the pool.
void FlipGreen(Image& image, ThreadPool* pool) {
    const size_t rowTexels = size_t(image.width);
    auto flipRows = [&](int first, int last) {
        for (size_t i = size_t(first) * rowTexels; i < size_t(last) * rowTexels; ++i) {
            float* texel = image.data + i * 4;
            if (texel[3] > 0.0f) texel[1] = 1.0f - texel[1];
        }
    };
    if (pool)
        pool->ParallelFor(0, image.height, std::max(1, image.height / int(4 * pool->WorkerCount())), flipRows);
    else
        flipRows(0, image.height);
}

}  // namespace

Vec3 HitVertexNormal(const TraceHit& hit) {
    const MeshTriangle& t = *hit.triangle;
    const auto& normals = hit.mesh->normals;
    const size_t count = normals.size();
    if (size_t(t.vertex0) >= count || size_t(t.vertex1) >= count || size_t(t.vertex2) >= count)
        return hit.mesh->TriangleNormal(t);
    const float w0 = 1.0f - hit.u - hit.v;
    return normals[size_t(t.vertex0)] * w0 + normals[size_t(t.vertex1)] * hit.u + normals[size_t(t.vertex2)] * hit.v;
}

void NormalMapBaker::NormalShader::Shade(float* out, const TraceSample& sample, void*, int) const {
    if (!hasHighPoly) {
        Encode(out, GetRayDirection(sample), 1.0f);
        return;
    }
    TraceHit hit;
    if (Trace(sample, &hit)) {
        const Vec3 n = Math::NormalizeFast(HitVertexNormal(hit));
        if (IsUnit(n)) {
            Encode(out, n, 1.0f);
            return;
        }
    }
    Encode(out, LowPolyNormal(sample), -1.0f);
}

void NormalMapBaker::ObjectNormalToTangentShader::Shade(float* out, const TraceSample& sample, void* userData,
                                                        int userIndex) const {
    constexpr Vec3 flat{0, 0, 1};
    Image* const* images = static_cast<Image* const*>(userData);
    const Image* objectSpace = images && userIndex > 0 ? images[0] : nullptr;
    if (!objectSpace || sample.x < 0 || sample.y < 0 || sample.x >= objectSpace->width || sample.y >= objectSpace->height) {
        Encode(out, flat, 1.0f);
        return;
    }
    const float* texel = objectSpace->Pixel(sample.x, sample.y);
    const Vec3 n{texel[0] * 2.0f - 1.0f, texel[1] * 2.0f - 1.0f, texel[2] * 2.0f - 1.0f};

    const Vec3& t = sample.tangent;
    const Vec3& b = sample.bitangent;
    const Vec3& m = sample.normal;
    const Vec3 tx = Math::Cross(b, m), ty = Math::Cross(m, t), tz = Math::Cross(t, b);
    const float det = Math::Dot(t, tx);
    Vec3 v{Math::Dot(tx, n), Math::Dot(ty, n), Math::Dot(tz, n)};
    if (conversion == Conversion::Inverse) {
        v = det != 0.0f ? v * (1.0f / det) : Vec3{};
    } else if (det < 0.0f) {
        v = -v;
    }
    // A texel without a usable frame (no tangents, or a degenerate one) reads as unperturbed
    // instead of NaN.
    const float lengthSquared = Math::Dot(v, v);
    if (!(lengthSquared > 1e-30f) || !std::isfinite(lengthSquared)) {
        Encode(out, flat, 1.0f);
        return;
    }
    Encode(out, Math::NormalizeFast(v), 1.0f);
}

NormalMapBaker::NormalMapBaker(BakeTimes* bakeTimes, BakeJob* bakeJob, MapSettings* mapSettings)
    : MapBaker(bakeTimes, bakeJob, mapSettings),
      tangentOutput(bakeJob->width, bakeJob->height),
      objectOutput(bakeJob->width, bakeJob->height) {}

NormalMapBaker::~NormalMapBaker() = default;

std::string NormalMapBaker::BasisName(int tangentSpace) { return TangentSpaceName(tangentSpace); }

NormalMapBaker::Conversion NormalMapBaker::ConversionFor(int tangentSpace) {
    return tangentSpace >= TangentFbx && tangentSpace <= TangentSource ? Conversion::Frame : Conversion::Inverse;
}

int NormalMapBaker::ProgramFor(int tangentSpace) {
    switch (tangentSpace) {
    case TangentMaya: return 3;
    case TangentMikkt:
    case TangentUe47:
    case TangentSource: return 1;
    case TangentUnity: return 2;
    default: return 0;
    }
}

void NormalMapBaker::Init() {
    basisName = BasisName(map->tangentSpace);
    const int tileWidth = state->tileWidth, tileHeight = state->tileHeight;
    missFilled = std::make_unique<Image>(tileWidth, tileHeight);
    objectTile = std::make_unique<Image>(tileWidth, tileHeight);
    tangentTile = std::make_unique<Image>(tileWidth, tileHeight);
    normalShader = MakeTraceShader<NormalShader>();
    toTangentShader = std::make_unique<ObjectNormalToTangentShader>(ConversionFor(map->tangentSpace));
}

int NormalMapBaker::Render(HardwareBaker& hardware, HardwareScene& scene, const TileRecord& tile) {
    return RenderTexturePass(hardware, scene, tile, ProgramFor(map->tangentSpace));
}

void NormalMapBaker::BeginTiles() {
    // Both images are shared by the UV tiles of a map: each one starts empty.
    objectOutput.Fill(0, 0, 0, 0, Pool());
    tangentOutput.Fill(0, 0, 0, 0, Pool());
}

void NormalMapBaker::BakeTileDirect(const ReadbackSet& readback) {
    SoftwareBaker::ResolveCovered(*state, &objectOutput, &readback[TargetNormal]);
    SoftwareBaker::ResolveCovered(*state, &tangentOutput, &readback[TargetTangent]);
}

void NormalMapBaker::ProcessTile(const ReadbackSet& readback) {
    // The conversion does little per texel: a task per row would cost more than the work.
    const int rowsPerTask = software->RowsPerTask(state->tileHeight);
    times->StartPhase();
    software->Render(*state, objectTile.get(), readback, normalShader.get(), nullptr, 0, rowsPerTask);
    times->traceTime += times->PhaseSeconds();

    times->StartPhase();
    SoftwareBaker::FillMarkedTexels(missFilled.get(), objectTile.get());
    SoftwareBaker::ResolveCovered(*state, &objectOutput, missFilled.get());
    times->resolveTime += times->PhaseSeconds();

    times->StartPhase();
    Image* objectSpace[1] = {missFilled.get()};
    software->Render(*state, tangentTile.get(), readback, toTangentShader.get(), objectSpace, 1, rowsPerTask);
    times->processingTime += times->PhaseSeconds();

    times->StartPhase();
    SoftwareBaker::ResolveCovered(*state, &tangentOutput, tangentTile.get());
    times->resolveTime += times->PhaseSeconds();
}

void NormalMapBaker::PostProcess() {
    const int passes = job->dilation > 0 ? job->dilation : 0;
    ThreadPool* pool = Pool();
    // Every pass runs in place: the two maps are the only full-size images.
    for (Image* image : {&objectOutput, &tangentOutput}) {
        ExtrapolateNormalBorder(image, image, pool);
        if (map->blur > 0.0f) SoftwareBaker::BlurCovered(image, image, map->blur, pool);
        if (image == &objectOutput) RenormalizeNormals(image, image, pool);
        DilateInto(*image, passes, pool);
    }
    static const float flat[3] = {0.5f, 0.5f, 1.0f};
    FillEmptyTexels(&tangentOutput, flat, pool);
    if (map->yFlip) FlipGreen(tangentOutput, pool);
}

void NormalMapBaker::Export() {
    const int tangentSpace = map->tangentSpace;
    std::vector<std::pair<const Image*, std::string>> files;
    if (!job->explicitPath || !WritesTangentMap(tangentSpace)) files.emplace_back(&objectOutput, GetOutputName("_onm"));
    if (WritesTangentMap(tangentSpace)) files.emplace_back(&tangentOutput, GetOutputName());
    WriteImages(files);
}

int NormalMapBaker::GetTraceRequirements() const { return MapBaker::GetTraceRequirements() | NeedNormals; }

int NormalMapBaker::GetLowPolyRequirements(int flags) const {
    return MapBaker::GetLowPolyRequirements(flags | NeedNormals | NeedTangents);
}

}  // namespace Pallix::Bake
