#include <epoxy/gl.h>

#include "gpu/shadercontext.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/bakeexception.h"
#include "gpu/offscreencontext.h"

namespace Pallix::Bake {

unsigned ShaderContext::CompileShader(const std::string& source, int type) {
    GLenum glType = GL_FRAGMENT_SHADER;
    if (type == Vertex) glType = GL_VERTEX_SHADER;
    else if (type == Geometry) glType = GL_GEOMETRY_SHADER;

    const GLuint shader = glCreateShader(glType);
    PALLIX_CHECK_GL();
    if (shader == 0) throw BakeException("Can't compile shader");
    bool deleted = false;
    try {
        const char* text = source.c_str();
        glShaderSource(shader, 1, &text, nullptr);
        PALLIX_CHECK_GL();
        glCompileShader(shader);
        PALLIX_CHECK_GL();
        GLint status = 0, logLength = 0;
        glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
        PALLIX_CHECK_GL();
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &logLength);
        PALLIX_CHECK_GL();
        if (status == GL_TRUE) return shader;
        if (logLength < 1) throw BakeException("Can't compile shader");

        std::printf("Error: Shader compiler log:\n");
        std::vector<char> log(size_t(logLength) + 1, '\0');
        glGetShaderInfoLog(shader, logLength, nullptr, log.data());
        PALLIX_CHECK_GL();
        std::printf("%s\n", log.data());
        std::fflush(stdout);
        deleted = true;
        glDeleteShader(shader);
        PALLIX_CHECK_GL();
        std::printf("%s\n", log.data());
        throw BakeException(std::string("Can't compile shader:") + log.data());
    } catch (...) {
        if (!deleted) glDeleteShader(shader);
        ClearGLErrors();
        throw;
    }
}

unsigned ShaderContext::LinkProgram(unsigned vertexShader, unsigned fragmentShader) {
    const GLuint program = glCreateProgram();
    PALLIX_CHECK_GL();
    if (program == 0) throw BakeException("Shader does not link:");
    try {
        glAttachShader(program, vertexShader);
        PALLIX_CHECK_GL();
        glAttachShader(program, fragmentShader);
        PALLIX_CHECK_GL();
        glLinkProgram(program);
        PALLIX_CHECK_GL();
        GLint status = 0, logLength = 0;
        glGetProgramiv(program, GL_LINK_STATUS, &status);
        PALLIX_CHECK_GL();
        glGetProgramiv(program, GL_INFO_LOG_LENGTH, &logLength);
        PALLIX_CHECK_GL();
        std::vector<char> log(size_t(std::max(logLength, 1)), '\0');
        glGetProgramInfoLog(program, GLsizei(log.size()), nullptr, log.data());
        PALLIX_CHECK_GL();
        if (status == GL_TRUE) return program;
        throw BakeException(std::string("Shader does not link:") + log.data());
    } catch (...) {
        glDeleteProgram(program);
        ClearGLErrors();
        throw;
    }
}

int ShaderContext::Location(unsigned program, const char* name) {
    const GLint location = glGetUniformLocation(program, name);
    PALLIX_CHECK_GL();
    return location;
}

void ShaderContext::SetMatrix(unsigned program, const char* name, const float affine[12]) {
    const GLint location = Location(program, name);
    // Row by row: the upload transposes it into GL's column order.
    const float m[16] = {affine[0], affine[3], affine[6], affine[9],  affine[1], affine[4], affine[7], affine[10],
                         affine[2], affine[5], affine[8], affine[11], 0.0f,      0.0f,      0.0f,      1.0f};
    glUniformMatrix4fv(location, 1, GL_TRUE, m);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetInt(unsigned program, const char* name, int value) {
    const GLint location = Location(program, name);
    glUniform1i(location, value);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetFloat(unsigned program, const char* name, float value) {
    const GLint location = Location(program, name);
    glUniform1f(location, value);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetVec3(unsigned program, const char* name, Math::Vec3 value) {
    const GLint location = Location(program, name);
    glUniform3f(location, value.x, value.y, value.z);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetIntVec3(unsigned program, const char* name, int x, int y, int z) {
    const GLint location = Location(program, name);
    glUniform3i(location, x, y, z);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetUVTransform(unsigned program, Math::Vec4 transform) {
    const GLint location = Location(program, "uvTransform");
    const float value[4] = {transform.x, transform.y, transform.z, transform.w};
    glUniform4fv(location, 1, value);
    PALLIX_CHECK_GL();
}

void ShaderContext::SetTexture(unsigned program, const char* name, int unit, int texture) {
    if (texture < 0) {
        std::printf("bad texture\n");
        return;
    }
    const GLint location = Location(program, name);
    if (location < 0) return;
    glUniform1i(location, unit);
    PALLIX_CHECK_GL();
    glActiveTexture(GL_TEXTURE0 + GLenum(unit));
    PALLIX_CHECK_GL();
    glBindTexture(GL_TEXTURE_BUFFER, GLuint(texture));
    PALLIX_CHECK_GL();
}

}  // namespace Pallix::Bake
