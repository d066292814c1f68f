#include <cmath>
#include <cstdint>

#include "io/fbx/fbxscene.h"
#include "io/polygontriangulation.h"

namespace Pallix::Bake {

int FbxMesh::TextureUVIndex(int64_t pv) const {
    const FbxLayerElement* uv = Element(FbxLayerKind::UV);
    if (!uv || uv->mapping != FbxMappingMode::ByPolygonVertex) return -1;
    if (uv->reference == FbxReferenceMode::Direct) return pv >= 0 && pv <= INT32_MAX ? int(pv) : -1;
    if (uv->reference == FbxReferenceMode::IndexToDirect) return uv->IndexAt(pv);
    return -1;
}

void FbxMesh::Triangulate(uint64_t& earClippingBudget) {
    const int polygonCount = PolygonCount();
    bool anyLarge = false;
    for (int p = 0; p < polygonCount && !anyLarge; ++p) anyLarge = PolygonSize(p) > 3;
    if (!anyLarge) return;

    // Every n-gon becomes n - 2 triangles; the result must still fit the 32-bit corner numbering.
    uint64_t newCorners = 0;
    for (int p = 0; p < polygonCount; ++p) {
        const uint64_t size = uint64_t(PolygonSize(p));
        newCorners += size <= 3 ? size : 3 * (size - 2);
    }
    if (newCorners > uint64_t(INT32_MAX)) throw FbxFormatError("mesh has too many corners to triangulate");

    std::vector<int32_t> vertices;
    std::vector<uint32_t> starts;
    std::vector<uint32_t> cornerOrigin;   // new corner -> old corner
    std::vector<uint32_t> polygonOrigin;  // new polygon -> old polygon
    vertices.reserve(size_t(newCorners));
    cornerOrigin.reserve(size_t(newCorners));
    starts.reserve(size_t(newCorners / 3 + 2));
    polygonOrigin.reserve(size_t(newCorners / 3 + 1));

    std::vector<PolygonPoint> points;
    std::vector<int> triangles;
    for (int p = 0; p < polygonCount; ++p) {
        const uint32_t first = polygonStarts[p];
        const int size = PolygonSize(p);
        if (size <= 3) {
            starts.push_back(uint32_t(vertices.size()));
            polygonOrigin.push_back(uint32_t(p));
            for (int k = 0; k < size; ++k) {
                vertices.push_back(polygonVertices[first + k]);
                cornerOrigin.push_back(first + k);
            }
            continue;
        }
        points.resize(size);
        for (int k = 0; k < size; ++k) {
            const double* cp = ControlPoint(polygonVertices[first + k]);
            points[k] = {cp[0], cp[1], cp[2]};
        }
        triangles.clear();
        TriangulatePolygon(points, triangles, earClippingBudget);
        for (size_t t = 0; t < triangles.size(); t += 3) {
            starts.push_back(uint32_t(vertices.size()));
            polygonOrigin.push_back(uint32_t(p));
            for (int k = 0; k < 3; ++k) {
                const uint32_t corner = first + uint32_t(triangles[t + k]);
                vertices.push_back(polygonVertices[corner]);
                cornerOrigin.push_back(corner);
            }
        }
    }
    starts.push_back(uint32_t(vertices.size()));

    // Per-corner and per-polygon data follow their corners and polygons. Direct arrays become
    // index-to-direct ones through the origin maps, which reads the same entries (and keeps an
    // entry that was missing a missing one).
    for (auto& list : elements) {
        for (FbxLayerElement& element : list) {
            const std::vector<uint32_t>* origin = nullptr;
            if (element.mapping == FbxMappingMode::ByPolygonVertex) origin = &cornerOrigin;
            if (element.mapping == FbxMappingMode::ByPolygon) origin = &polygonOrigin;
            if (!origin) continue;
            std::vector<int32_t> remapped(origin->size());
            if (element.reference == FbxReferenceMode::Direct) {
                if (element.components == 0) continue;
                const size_t count = element.DirectCount();
                for (size_t i = 0; i < origin->size(); ++i)
                    remapped[i] = (*origin)[i] < count ? int32_t((*origin)[i]) : -1;
                element.reference = FbxReferenceMode::IndexToDirect;
            } else {
                for (size_t i = 0; i < origin->size(); ++i) remapped[i] = element.IndexAt((*origin)[i]);
            }
            element.index.swap(remapped);
        }
    }
    polygonVertices.swap(vertices);
    polygonStarts.swap(starts);
}

}  // namespace Pallix::Bake
