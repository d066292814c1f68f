#include <epoxy/gl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "core/bakeexception.h"
#include "gpu/glslprograms.h"
#include "gpu/shadercontext.h"
#include "gpu/vertexbuffer.h"
#include "gputest.h"

using namespace Pallix::Bake;
using namespace Pallix::Bake::Test;
namespace Math = Pallix::Math;

namespace {

template <typename T>
std::vector<T> AttributeContents(unsigned vertexArray, int location, size_t count) {
    glBindVertexArray(vertexArray);
    GLint buffer = 0;
    glGetVertexAttribiv(GLuint(location), GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, GLuint(buffer));
    std::vector<T> values(count);
    glGetBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(count * sizeof(T)), values.data());
    GLint size = 0;
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
    EXPECT_EQ(size_t(size), count * sizeof(T)) << "attribute " << location;
    return values;
}

}  // namespace

using ShaderContextTest = GLTest;

TEST_F(ShaderContextTest, EveryProgramLinksAndKeepsItsUniforms) {
    for (int i = 0; i < HardwareBaker::ProgramCount; ++i) {
        const unsigned program = baker.GetProgram(i);
        ASSERT_NE(program, 0u) << "program " << i;
        GLint linked = 0;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        EXPECT_EQ(linked, GL_TRUE) << "program " << i;
        for (const char* name : {"uvTransform", "transform", "invtranspose", "meshid", "objectid"})
            EXPECT_GE(glGetUniformLocation(program, name), 0) << name << " in program " << i;
    }
    for (int i : {4, 5})
        for (const char* name : {"traceverts", "tracegrid", "numtriangles", "traceBoundsMin", "traceGridCount"})
            EXPECT_GE(glGetUniformLocation(baker.GetProgram(i), name), 0) << name << " in program " << i;
    EXPECT_GE(glGetUniformLocation(baker.GetProgram(5), "HEMISPHERE_SPANS"), 0);
    EXPECT_GE(glGetUniformLocation(baker.GetProgram(5), "SPREAD_ANGLE"), 0);
    int major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(baker.GetVersion().c_str(), "%d.%d", &major, &minor), 2) << baker.GetVersion();
    EXPECT_GE(major * 10 + minor, 33);
    EXPECT_FALSE(baker.GetRenderer().empty());
}

TEST_F(ShaderContextTest, FailedInitialiseCarriesTheLogReleasesTheLockAndCanBeRetried) {
    baker.GetContext().Unlock();
    HardwareBaker broken;
    ProgramSources sources = ProgramSources::Default();
    sources.fragment[3] = "#version 330\nvoid main() { undefinedCall(); }\n";
    testing::internal::CaptureStdout();
    const std::string text = ThrownText([&] { broken.Initialise(sources); });
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(text.rfind("Can't compile shader:", 0), 0u) << text;
    const std::string log = text.substr(std::string("Can't compile shader:").size());
    EXPECT_NE(log.find("undefinedCall"), std::string::npos) << log;
    EXPECT_NE(printed.find("Error: Shader compiler log:\n" + log), std::string::npos) << printed;
    EXPECT_FALSE(broken.GetContext().IsLocked());
    EXPECT_FALSE(broken.IsInitialised());

    // Declared but never defined: only the linker can tell.
    sources = ProgramSources::Default();
    sources.fragment[1] = "#version 330\nvec3 helper();\nlayout(location = 0) out vec4 oPos;\n"
                          "void main() { oPos = vec4(helper(), 1.0); }\n";
    const std::string linkText = ThrownText([&] { broken.Initialise(sources); });
    EXPECT_EQ(linkText.rfind("Shader does not link:", 0), 0u) << linkText;
    EXPECT_GT(linkText.size(), std::string("Shader does not link:").size());
    EXPECT_FALSE(broken.GetContext().IsLocked());

    broken.Initialise();
    EXPECT_TRUE(broken.IsInitialised());
    OffscreenContext::LockGuard lock(broken.GetContext());
    for (int i = 0; i < HardwareBaker::ProgramCount; ++i) EXPECT_TRUE(glIsProgram(broken.GetProgram(i)));
}

using VertexBufferTest = GLTest;

TEST_F(VertexBufferTest, GeometryGeneratesBarycentricsAndTriangleIds) {
    VertexBuffer buffer(&baker.GetContext());
    const std::vector<Math::Vec3> positions(6, Math::Vec3{1.0f, 2.0f, 3.0f});
    const std::vector<Math::Vec2> uvs(6, Math::Vec2{0.5f, 0.25f});
    buffer.SetGeometry(positions, uvs, positions, 6);

    const auto ids = AttributeContents<uint32_t>(buffer.VertexArray(), VertexBuffer::TriangleId, 6);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 0, 0, 1, 1, 1}));
    const auto bary = AttributeContents<float>(buffer.VertexArray(), VertexBuffer::Barycentric, 24);
    const std::vector<float> corners = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    for (size_t i = 0; i < 24; ++i) EXPECT_EQ(bary[i], corners[i % 12]) << "float " << i;
    GLint integer = 0;
    glGetVertexAttribiv(VertexBuffer::TriangleId, GL_VERTEX_ATTRIB_ARRAY_INTEGER, &integer);
    EXPECT_EQ(integer, GL_TRUE);
}

TEST_F(VertexBufferTest, ShortAndEmptyArraysUploadZerosOfTheFullSize) {
    VertexBuffer buffer(&baker.GetContext());
    const std::vector<Math::Vec3> positions = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
    const std::vector<Math::Vec2> shortUVs = {{0.5f, 0.75f}};
    buffer.SetGeometry(positions, shortUVs, {}, 6);
    buffer.SetTangentFrame(positions, {}, {}, 6);

    const auto uvs = AttributeContents<float>(buffer.VertexArray(), VertexBuffer::TexCoord, 12);
    EXPECT_EQ(uvs[0], 0.5f);
    EXPECT_EQ(uvs[1], 0.75f);
    for (size_t i = 2; i < 12; ++i) EXPECT_EQ(uvs[i], 0.0f) << "float " << i;
    for (const float value : AttributeContents<float>(buffer.VertexArray(), VertexBuffer::GeometryNormal, 18))
        EXPECT_EQ(value, 0.0f);
    for (const float value : AttributeContents<float>(buffer.VertexArray(), VertexBuffer::Tangent, 24))
        EXPECT_EQ(value, 0.0f);
    const auto normals = AttributeContents<float>(buffer.VertexArray(), VertexBuffer::Normal, 18);
    EXPECT_EQ(normals[17], 3.0f);
}

TEST_F(VertexBufferTest, IndicesMustNameUploadedVertices) {
    VertexBuffer buffer(&baker.GetContext());
    const std::vector<Math::Vec3> positions(3);
    buffer.SetGeometry(positions, {}, {}, 3);
    const std::vector<uint32_t> bad = {0, 1, 3};
    EXPECT_EQ(ThrownText([&] { buffer.SetIndices(bad); }), "Vertex index out of range");
    EXPECT_EQ(buffer.IndexCount(), 0);
    const std::vector<uint32_t> good = {0, 1, 2};
    EXPECT_TRUE(buffer.SetIndices(good));
    EXPECT_EQ(buffer.IndexCount(), 3);
}

TEST_F(VertexBufferTest, DestructorDeletesItsObjects) {
    unsigned vertexArray = 0;
    {
        VertexBuffer buffer(&baker.GetContext());
        vertexArray = buffer.VertexArray();
        EXPECT_TRUE(glIsVertexArray(vertexArray));
    }
    EXPECT_FALSE(glIsVertexArray(vertexArray));
}
