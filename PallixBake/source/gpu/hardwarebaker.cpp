#include <epoxy/gl.h>

#include "gpu/hardwarebaker.h"

#include <exception>

#include "core/bakeexception.h"
#include "gpu/offscreencontext.h"
#include "gpu/shadercontext.h"
#include "gpu/vertexbuffer.h"

namespace Pallix::Bake {

namespace {

std::string GLString(GLenum name) {
    const GLubyte* text = glGetString(name);
    PALLIX_CHECK_GL();
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

void ConversionResolver::Resolve(ShaderContext& shaders, unsigned program) {
    // The tile's first sample and the UV tile's width, in tiles: UV space [0, 1] spans the samples.
    const int64_t wide = tile->samplesWide > 0 ? tile->samplesWide : int64_t(tile->columns) * tile->tileWidth;
    const int64_t high = tile->samplesHigh > 0 ? tile->samplesHigh : int64_t(tile->rows) * tile->tileHeight;
    const float firstU = float(int64_t(tile->column) * tile->tileWidth) / float(wide);
    const float firstV = float(int64_t(tile->row) * tile->tileHeight) / float(high);
    shaders.SetUVTransform(program, {-(firstU + float(tile->udimColumn)), -(firstV + float(tile->udimRow)),
                                     float(wide) / float(tile->tileWidth), float(high) / float(tile->tileHeight)});
}

void ConversionTraceResolver::Resolve(ShaderContext& shaders, unsigned program) {
    ConversionResolver::Resolve(shaders, program);
    if (!grid) return;
    shaders.SetInt(program, "numtriangles", grid->triangleCount);
    shaders.SetVec3(program, "traceCellSize", grid->cellSize);
    shaders.SetVec3(program, "traceBoundsMin", grid->boundsMin);
    shaders.SetVec3(program, "traceBoundsMax", grid->boundsMax);
    shaders.SetVec3(program, "traceWorldToGrid", grid->worldToGrid);
    shaders.SetIntVec3(program, "traceGridCount", grid->cellCount[0], grid->cellCount[1], grid->cellCount[2]);
    shaders.SetTexture(program, "traceverts", 0, grid->vertexTexture);
    shaders.SetTexture(program, "tracegrid", 1, grid->gridTexture);
}

HardwareMesh::HardwareMesh() = default;
HardwareMesh::~HardwareMesh() = default;

HardwareScene::HardwareScene(OffscreenContext* owner) : context(owner) {}

// Each mesh's vertex buffer deletes its GL objects when it can reach the context.
HardwareScene::~HardwareScene() = default;

HardwareMesh* HardwareScene::AddMesh() {
    auto mesh = std::make_unique<HardwareMesh>();
    mesh->context = context;
    mesh->meshid = int(meshes.size());
    mesh->objectid = int(meshes.size());
    mesh->buffer = std::make_unique<VertexBuffer>(context);
    meshes.push_back(std::move(mesh));
    return meshes.back().get();
}

void HardwareScene::Draw(unsigned program) {
    ShaderContext& shaders = context->GetShaders();
    for (const auto& mesh : meshes) {
        shaders.SetMatrix(program, "transform", mesh->transform);
        shaders.SetMatrix(program, "invtranspose", mesh->invTranspose);
        shaders.SetInt(program, "meshid", mesh->meshid);
        shaders.SetInt(program, "objectid", mesh->objectid);
        glDisable(GL_CULL_FACE);
        PALLIX_CHECK_GL();
        mesh->buffer->Draw();
    }
}

HardwareBaker::HardwareBaker() : context(std::make_unique<OffscreenContext>()) {}

HardwareBaker::~HardwareBaker() {
    context->ReleaseObjects([this] {
        for (int set = 0; set < 2; ++set) {
            if (!mapped[set]) continue;
            for (int i = 0; i < OffscreenContext::TargetCount; ++i) {
                glBindBuffer(GL_PIXEL_PACK_BUFFER, context->PixelBuffer(set, i));
                glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
            }
            glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
            mapped[set] = false;
        }
        DeletePrograms();
    });
}

void HardwareBaker::Initialise() { Initialise(ProgramSources::Default()); }

void HardwareBaker::Initialise(const ProgramSources& sources) {
    if (initialised) return;
    context->Initialise();
    OffscreenContext::LockGuard lock(*context);
    try {
        ShaderContext& shaders = context->GetShaders();
        vertexShader = shaders.CompileShader(sources.vertex, ShaderContext::Vertex);
        for (int i = 0; i < ProgramCount; ++i)
            fragmentShaders[i] = shaders.CompileShader(sources.fragment[i], ShaderContext::Fragment);
        for (int i = 0; i < ProgramCount; ++i) programs[i] = shaders.LinkProgram(vertexShader, fragmentShaders[i]);
    } catch (...) {
        DeletePrograms();
        throw;
    }
    initialised = true;
}

void HardwareBaker::DeletePrograms() noexcept {
    glUseProgram(0);
    for (unsigned& program : programs) {
        if (program) glDeleteProgram(program);
        program = 0;
    }
    for (unsigned& shader : fragmentShaders) {
        if (shader) glDeleteShader(shader);
        shader = 0;
    }
    if (vertexShader) glDeleteShader(vertexShader);
    vertexShader = 0;
    ClearGLErrors();
}

std::string HardwareBaker::GetVersion() const { return GLString(GL_VERSION); }
std::string HardwareBaker::GetVendor() const { return GLString(GL_VENDOR); }
std::string HardwareBaker::GetRenderer() const { return GLString(GL_RENDERER); }

int HardwareBaker::Render(const TileRecord& tile, HardwareScene& scene, int program, IParameterResolver* resolver) {
    if (!initialised) throw BakeException("Hardware baker not initialised");
    if (program < 0 || program >= ProgramCount) throw BakeException("Bad shader program");
    if (!context->IsLocked()) throw BakeException("Context not locked");
    if (tile.tileWidth < 1 || tile.tileHeight < 1 || tile.tileWidth > context->GetWidth() ||
        tile.tileHeight > context->GetHeight())
        throw BakeException("Tile does not fit the framebuffer");
    context->MakeCurrent();
    if (tile.tileWidth > context->GetStorageWidth() || tile.tileHeight > context->GetStorageHeight()) {
        // Growing reallocates the buffers, which must not pull pixels from under a reader.
        if (mapped[0] || mapped[1]) throw BakeException("Tile does not fit the framebuffer");
        context->ReserveTiles(tile.tileWidth, tile.tileHeight);
    }

    glViewport(0, 0, tile.tileWidth, tile.tileHeight);
    PALLIX_CHECK_GL();
    // Only the tile's corner is read back, so only it needs clearing.
    glEnable(GL_SCISSOR_TEST);
    PALLIX_CHECK_GL();
    glScissor(0, 0, tile.tileWidth, tile.tileHeight);
    PALLIX_CHECK_GL();
    const GLfloat zeroFloat[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const GLuint zeroUint[4] = {0, 0, 0, 0};
    for (int i = 0; i < OffscreenContext::TargetCount - 1; ++i) {
        glClearBufferfv(GL_COLOR, i, zeroFloat);
        PALLIX_CHECK_GL();
    }
    // glClear leaves an integer target undefined.
    glClearBufferuiv(GL_COLOR, OffscreenContext::TargetCount - 1, zeroUint);
    PALLIX_CHECK_GL();
    glDepthFunc(GL_ALWAYS);
    PALLIX_CHECK_GL();

    const unsigned id = programs[program];
    glUseProgram(id);
    PALLIX_CHECK_GL();
    glHint(GL_FRAGMENT_SHADER_DERIVATIVE_HINT, GL_NICEST);
    PALLIX_CHECK_GL();
    if (resolver) resolver->Resolve(context->GetShaders(), id);
    scene.Draw(id);

    const int target = 1 - readbackSet;
    // A set still mapped here was left behind by an aborted bake; reading into it would fail.
    if (mapped[target]) UnmapSet(target);
    context->ReadPixels(target, tile.tileWidth, tile.tileHeight);
    readbackSet = target;
    glFlush();
    PALLIX_CHECK_GL();
    return readbackSet;
}

void HardwareBaker::LockPixelBuffers(int set, ReadbackSet& images) {
    const size_t capacity = size_t(context->GetStorageWidth()) * size_t(context->GetStorageHeight()) * 4;
    bool fits = set >= 0 && set < 2 && images.size() >= size_t(OffscreenContext::TargetCount);
    for (size_t i = 0; fits && i < size_t(OffscreenContext::TargetCount); ++i)
        fits = images[i].channels == 4 && images[i].FloatCount() <= capacity;
    if (!fits || !context->IsLocked()) throw BakeException("Could not lock pixel buffers");
    context->MakeCurrent();
    if (mapped[set]) UnmapSet(set);

    void* pointers[OffscreenContext::TargetCount] = {};
    int mappedCount = 0;
    try {
        for (int i = 0; i < OffscreenContext::TargetCount; ++i) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, context->PixelBuffer(set, i));
            PALLIX_CHECK_GL();
            pointers[i] = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
            if (!pointers[i]) throw BakeException("Could not lock pixel buffers");
            ++mappedCount;
            PALLIX_CHECK_GL();
        }
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        PALLIX_CHECK_GL();
    } catch (...) {
        // Nothing stays mapped: a mapped buffer would make every later read into it fail.
        for (int i = 0; i < mappedCount; ++i) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, context->PixelBuffer(set, i));
            glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        }
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        ClearGLErrors();
        throw;
    }
    mapped[set] = true;
    for (int i = 0; i < OffscreenContext::TargetCount; ++i) images[i].data = static_cast<float*>(pointers[i]);
}

void HardwareBaker::UnlockPixelBuffers(int set, ReadbackSet& images) {
    for (size_t i = 0; i < images.size() && i < size_t(OffscreenContext::TargetCount); ++i) images[i].data = nullptr;
    if (!IsMapped(set)) return;
    if (!context->IsLocked()) throw BakeException("Context not locked");
    context->MakeCurrent();
    UnmapSet(set);
}

void HardwareBaker::UnmapSet(int set) {
    std::exception_ptr failure;
    for (int i = 0; i < OffscreenContext::TargetCount; ++i) {
        try {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, context->PixelBuffer(set, i));
            PALLIX_CHECK_GL();
            // A false result means the contents were lost, which matters no more once we let go.
            glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
            PALLIX_CHECK_GL();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    mapped[set] = false;
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    PALLIX_CHECK_GL();
    if (failure) std::rethrow_exception(failure);
}

HardwareBaker::MappedReadback::MappedReadback(HardwareBaker& owner, int bufferSet, ReadbackSet& setImages)
    : baker(owner), set(bufferSet), images(setImages) {
    baker.LockPixelBuffers(set, images);
}

HardwareBaker::MappedReadback::~MappedReadback() {
    try {
        Release();
    } catch (...) {
    }
}

void HardwareBaker::MappedReadback::Release() {
    if (!active) return;
    active = false;
    baker.UnlockPixelBuffers(set, images);
}

}  // namespace Pallix::Bake
