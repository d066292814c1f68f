#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/vecmath.h"

namespace Pallix::Bake {

class OffscreenContext;

// One mesh's vertex array with its attribute and index buffers. Create, fill and draw it while
// the context is locked. Attribute locations match the texture-space vertex program.
class VertexBuffer {
public:
    enum Attribute : int {
        Position = 0,
        TexCoord = 1,
        Barycentric = 2,
        GeometryNormal = 3,
        Normal = 4,
        Tangent = 5,
        Bitangent = 6,
        TriangleId = 7,
        AttributeCount = 8,
    };

    explicit VertexBuffer(OffscreenContext* context);
    ~VertexBuffer();  // never throws
    VertexBuffer(const VertexBuffer&) = delete;
    VertexBuffer& operator=(const VertexBuffer&) = delete;

    // Uploads count vertices of `components` floats. An array holding fewer uploads zeros for the
    // missing vertices, so the draw never reads past the end of what was given.
    void SetAttribute(int location, int components, std::span<const float> data, size_t count);
    // Positions, UVs and geometric normals, plus the generated barycentric corner stream and the
    // triangle ids (vertex i belongs to triangle i / 3).
    void SetGeometry(std::span<const Math::Vec3> positions, std::span<const Math::Vec2> uvs,
                     std::span<const Math::Vec3> geometryNormals, size_t count);
    void SetTangentFrame(std::span<const Math::Vec3> normals, std::span<const Math::Vec4> tangents,
                         std::span<const Math::Vec3> bitangents, size_t count);
    // Throws BakeException when an index names a vertex that SetGeometry did not upload.
    bool SetIndices(std::span<const uint32_t> indices);
    void Draw();

    int IndexCount() const { return indexCount; }
    unsigned VertexArray() const { return vertexArray; }

private:
    void Release() noexcept;
    void Upload(int location, const void* data, size_t available, size_t bytes);

    OffscreenContext* context;
    int indexCount = 0;
    size_t vertexCount = 0;
    unsigned vertexArray = 0;
    unsigned attributeBuffers[AttributeCount] = {};
    unsigned indexBuffer = 0;
};

}  // namespace Pallix::Bake
