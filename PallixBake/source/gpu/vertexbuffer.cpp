#include <epoxy/gl.h>

#include "gpu/vertexbuffer.h"

#include <climits>
#include <cstring>
#include <vector>

#include "core/bakeexception.h"
#include "gpu/offscreencontext.h"

namespace Pallix::Bake {

static_assert(sizeof(Math::Vec2) == 2 * sizeof(float) && sizeof(Math::Vec3) == 3 * sizeof(float) &&
                  sizeof(Math::Vec4) == 4 * sizeof(float),
              "vector records are uploaded as packed floats");

namespace {

template <typename T>
std::span<const float> AsFloats(std::span<const T> data) {
    return {reinterpret_cast<const float*>(data.data()), data.size() * (sizeof(T) / sizeof(float))};
}

void CheckSize(size_t count, size_t elementBytes) {
    if (count > size_t(INT_MAX) / elementBytes) throw BakeException("Mesh too large for the GPU");
}

}  // namespace

VertexBuffer::VertexBuffer(OffscreenContext* owner) : context(owner) {
    if (!context || !context->IsLocked()) throw BakeException("Context not locked");
    context->MakeCurrent();
    try {
        glGenVertexArrays(1, &vertexArray);
        PALLIX_CHECK_GL();
        glBindVertexArray(vertexArray);
        PALLIX_CHECK_GL();
        glGenBuffers(AttributeCount, attributeBuffers);
        PALLIX_CHECK_GL();
        glGenBuffers(1, &indexBuffer);
        PALLIX_CHECK_GL();
    } catch (...) {
        Release();
        throw;
    }
}

VertexBuffer::~VertexBuffer() { Release(); }

void VertexBuffer::Release() noexcept {
    if (!vertexArray && !indexBuffer && !attributeBuffers[0]) return;
    auto release = [this] {
        glBindVertexArray(0);
        if (attributeBuffers[0]) glDeleteBuffers(AttributeCount, attributeBuffers);
        if (indexBuffer) glDeleteBuffers(1, &indexBuffer);
        if (vertexArray) glDeleteVertexArrays(1, &vertexArray);
        ClearGLErrors();
    };
    if (context) context->ReleaseObjects(release);
    for (unsigned& id : attributeBuffers) id = 0;
    indexBuffer = 0;
    vertexArray = 0;
}

void VertexBuffer::Upload(int location, const void* data, size_t available, size_t bytes) {
    glBindBuffer(GL_ARRAY_BUFFER, attributeBuffers[location]);
    PALLIX_CHECK_GL();
    if (available >= bytes) {
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(bytes), data, GL_STATIC_DRAW);
        PALLIX_CHECK_GL();
        return;
    }
    std::vector<unsigned char> padded(bytes, 0);
    if (available > 0) std::memcpy(padded.data(), data, available);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(bytes), padded.data(), GL_STATIC_DRAW);
    PALLIX_CHECK_GL();
}

void VertexBuffer::SetAttribute(int location, int components, std::span<const float> data, size_t count) {
    if (location < 0 || location >= AttributeCount || components < 1 || components > 4)
        throw BakeException("Bad vertex attribute");
    CheckSize(count, size_t(components) * sizeof(float));
    const size_t bytes = count * size_t(components) * sizeof(float);
    Upload(location, data.data(), data.size() * sizeof(float), bytes);
    glVertexAttribPointer(GLuint(location), components, GL_FLOAT, GL_FALSE, 0, nullptr);
    PALLIX_CHECK_GL();
    glEnableVertexAttribArray(GLuint(location));
    PALLIX_CHECK_GL();
}

void VertexBuffer::SetGeometry(std::span<const Math::Vec3> positions, std::span<const Math::Vec2> uvs,
                               std::span<const Math::Vec3> geometryNormals, size_t count) {
    CheckSize(count, 4 * sizeof(float));
    glBindVertexArray(vertexArray);
    PALLIX_CHECK_GL();
    SetAttribute(Position, 3, AsFloats(positions), count);
    SetAttribute(TexCoord, 2, AsFloats(uvs), count);

    std::vector<float> barycentric(count * 4, 0.0f);
    for (size_t i = 0; i < count; ++i) barycentric[i * 4 + i % 3] = 1.0f;
    SetAttribute(Barycentric, 4, barycentric, count);
    SetAttribute(GeometryNormal, 3, AsFloats(geometryNormals), count);

    std::vector<uint32_t> triangleIds(count);
    for (size_t i = 0; i < count; ++i) triangleIds[i] = uint32_t(i / 3);
    Upload(TriangleId, triangleIds.data(), count * sizeof(uint32_t), count * sizeof(uint32_t));
    glVertexAttribIPointer(TriangleId, 1, GL_UNSIGNED_INT, 0, nullptr);
    PALLIX_CHECK_GL();
    glEnableVertexAttribArray(TriangleId);
    PALLIX_CHECK_GL();
    vertexCount = count;
}

void VertexBuffer::SetTangentFrame(std::span<const Math::Vec3> normals, std::span<const Math::Vec4> tangents,
                                   std::span<const Math::Vec3> bitangents, size_t count) {
    glBindVertexArray(vertexArray);
    PALLIX_CHECK_GL();
    SetAttribute(Normal, 3, AsFloats(normals), count);
    SetAttribute(Tangent, 4, AsFloats(tangents), count);
    SetAttribute(Bitangent, 3, AsFloats(bitangents), count);
}

bool VertexBuffer::SetIndices(std::span<const uint32_t> indices) {
    CheckSize(indices.size(), sizeof(uint32_t));
    // The driver does not check indices: one past the vertices would read foreign memory.
    for (uint32_t index : indices)
        if (index >= vertexCount) throw BakeException("Vertex index out of range");
    glBindVertexArray(vertexArray);
    PALLIX_CHECK_GL();
    indexCount = 0;
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer);
    PALLIX_CHECK_GL();
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size_bytes()), indices.data(), GL_STATIC_DRAW);
    PALLIX_CHECK_GL();
    indexCount = int(indices.size());
    return true;
}

void VertexBuffer::Draw() {
    glBindVertexArray(vertexArray);
    PALLIX_CHECK_GL();
    if (indexCount == 0) return;
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_INT, nullptr);
    PALLIX_CHECK_GL();
}

}  // namespace Pallix::Bake
