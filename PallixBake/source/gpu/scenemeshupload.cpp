#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "gpu/hardwarebaker.h"
#include "gpu/vertexbuffer.h"

namespace Pallix::Bake {

// Lives with the GPU code so that the geometry library needs no GL.
bool SceneMesh::CreateVertexBuffer(HardwareMesh& target) const {
    if (!target.buffer) throw BakeException("Mesh has no vertex buffer");
    for (int i = 0; i < 12; ++i) target.transform[i] = transform[i];
    for (int i = 0; i < 9; ++i) target.invTranspose[i] = normalMatrix[i];
    for (int i = 9; i < 12; ++i) target.invTranspose[i] = 0.0f;

    VertexBuffer& buffer = *target.buffer;
    const size_t count = positions.size();
    // Short or missing arrays (tangents of a scene that did not ask for them) upload as zeros.
    buffer.SetGeometry(positions, uvs, smoothNormals.empty() ? normals : smoothNormals, count);
    buffer.SetTangentFrame(normals, tangents, bitangents, count);
    return buffer.SetIndices(indices);
}

}  // namespace Pallix::Bake
