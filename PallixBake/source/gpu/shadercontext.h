#pragma once

#include <string>

#include "core/vecmath.h"

namespace Pallix::Bake {

class OffscreenContext;

// Compiles shaders, links programs and sets uniforms. Use it only while the context is locked;
// the uniform setters act on the program in use.
class ShaderContext {
public:
    enum ShaderType : int { Fragment = 0, Vertex = 1, Geometry = 2 };

    explicit ShaderContext(OffscreenContext* context) : context(context) {}

    // Throws "Can't compile shader" (no log) or "Can't compile shader:" followed by the log.
    unsigned CompileShader(const std::string& source, int type);
    // Throws "Shader does not link:" followed by the log; a failed program is deleted.
    unsigned LinkProgram(unsigned vertexShader, unsigned fragmentShader);

    // affine: four columns of three floats (x axis, y axis, z axis, translation).
    void SetMatrix(unsigned program, const char* name, const float affine[12]);
    void SetInt(unsigned program, const char* name, int value);
    void SetFloat(unsigned program, const char* name, float value);
    void SetVec3(unsigned program, const char* name, Math::Vec3 value);
    void SetIntVec3(unsigned program, const char* name, int x, int y, int z);
    // "uvTransform": x, y offset; z, w scale.
    void SetUVTransform(unsigned program, Math::Vec4 transform);
    // Binds a buffer texture to unit and the sampler name to that unit. A negative id prints
    // "bad texture"; a name the program lacks is ignored.
    void SetTexture(unsigned program, const char* name, int unit, int texture);

    OffscreenContext* GetContext() const { return context; }

private:
    int Location(unsigned program, const char* name);

    OffscreenContext* context;
};

}  // namespace Pallix::Bake
