#include "bake/alphamaskbaker.h"
#include "bake/aomapbaker.h"
#include "bake/clownmapbaker.h"
#include "bake/curvaturemapbaker.h"
#include "bake/diagnosticmapbaker.h"
#include "bake/displacementmapbaker.h"
#include "bake/layeredclownmapbaker.h"
#include "bake/mapbaker.h"
#include "bake/normalmapbaker.h"
#include "bake/positionbaker.h"
#include "bake/projectionmaskbaker.h"
#include "bake/thicknessbaker.h"
#include "bake/vertexcolourbaker.h"

namespace Pallix::Bake {

std::unique_ptr<MapBaker> CreateMapBaker(BakeTimes* times, BakeJob* job, MapSettings* map) {
    switch (map->type) {
    case MapNormal: return std::make_unique<NormalMapBaker>(times, job, map);
    case MapAmbientOcclusion: return std::make_unique<AOMapBaker>(times, job, map);
    case MapMaterialId:
        if (map->layers) return std::make_unique<LayeredClownMapBaker>(times, job, map);
        return std::make_unique<ClownMapBaker>(times, job, map);
    case MapDisplacement: return std::make_unique<DisplacementMapBaker>(times, job, map);
    case MapVertexColour: return std::make_unique<VertexColourBaker>(times, job, map);
    case MapCurvature: return std::make_unique<CurvatureMapBaker>(times, job, map);
    case MapThickness: return std::make_unique<ThicknessBaker>(times, job, map);
    case MapWorldPosition: return std::make_unique<PositionBaker>(times, job, map);
    case MapHardEdgeMask: return std::make_unique<ProjectionMaskBaker>(times, job, map);
    case MapAlphaMask: return std::make_unique<AlphaMaskBaker>(times, job, map);
    case MapDiagnostic: return std::make_unique<DiagnosticMapBaker>(times, job, map);
    default: return nullptr;  // type 0 and unknown codes: the entry is skipped
    }
}

// Every type code from normal to diagnostic has a baker of its own.
bool HasMapBaker(int type) { return type >= MapNormal && type <= MapDiagnostic; }

}  // namespace Pallix::Bake
