#include <epoxy/gl.h>

#include "gpu/offscreencontext.h"

#include <algorithm>
#include <cstdio>

#include "core/bakeexception.h"

namespace Pallix::Bake {

namespace {

const char* GLErrorName(GLenum error) {
    switch (error) {
        case GL_INVALID_ENUM: return "GL_INVALID_ENUM";
        case GL_INVALID_OPERATION: return "GL_INVALID_OPERATION";
        case GL_OUT_OF_MEMORY: return "GL_OUT_OF_MEMORY";
        case GL_INVALID_FRAMEBUFFER_OPERATION: return "GL_INVALID_FRAMEBUFFER_OPERATION";
        default: return "Unknown OpenGL Error";
    }
}

struct TargetFormat {
    GLenum internalFormat;
    GLenum format;
    GLenum type;
};

constexpr TargetFormat FormatOf(int target) {
    return target < 7 ? TargetFormat{GL_RGBA32F, GL_RGBA, GL_FLOAT}
                      : TargetFormat{GL_RGBA32UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT};
}

}  // namespace

void CheckGLError(const char* file, int line) {
    const GLenum error = glGetError();
    if (error == GL_NO_ERROR) return;
    std::printf("Error at %s:%d\n", file, line);
    throw BakeException(GLErrorName(error));
}

void ClearGLErrors() {
    // A context reports each kind of error once; the bound only guards against a broken driver.
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

OffscreenContext::OffscreenContext() : shaders(this) {}

OffscreenContext::~OffscreenContext() {
    // The lock flag may still be set after a failure between Lock and Unlock; destroying the
    // context releases it from this thread all the same.
    ReleaseObjects([this] { DeleteObjects(); });
    platform.Destroy();
}

OffscreenContext::LockGuard::LockGuard(OffscreenContext& owner)
    : context(owner), previous(PlatformContext::CurrentBinding()) {
    if (context.platform.Holds(previous)) previous = {};
    context.Lock();
}

OffscreenContext::LockGuard::~LockGuard() {
    try {
        if (context.IsLocked()) context.Unlock();
    } catch (...) {
    }
    PlatformContext::Restore(previous);
}

void OffscreenContext::Initialise() {
    if (framebufferReady) return;
    width = SurfaceSize;
    height = SurfaceSize;
    // A context that the thread had current before (another baker's) is current again afterwards.
    const PlatformContext::Binding previous = PlatformContext::CurrentBinding();
    try {
        platform.Create();
        LockGuard lock(*this);
        CreateFramebuffer();
    } catch (...) {
        // Roll back, so that a later attempt starts from nothing instead of leaking a context.
        ReleaseObjects([this] { DeleteObjects(); });
        platform.Destroy();
        PlatformContext::Restore(previous);
        throw;
    }
    framebufferReady = true;
    PlatformContext::Restore(previous);
}

void OffscreenContext::CreateFramebuffer() {
    glGenFramebuffers(1, &framebuffer);
    PALLIX_CHECK_GL();
    // Bound once for the life of the context: every pass draws into it and reads from it.
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    PALLIX_CHECK_GL();
    glGenRenderbuffers(TargetCount, renderbuffers);
    PALLIX_CHECK_GL();
    glGenBuffers(TargetCount * SetCount, pixelBuffers);
    PALLIX_CHECK_GL();

    AllocateStorage(InitialStorage, InitialStorage);
    for (int i = 0; i < TargetCount; ++i) {
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0 + i, GL_RENDERBUFFER, renderbuffers[i]);
        PALLIX_CHECK_GL();
    }

    GLenum drawBuffers[TargetCount];
    for (int i = 0; i < TargetCount; ++i) drawBuffers[i] = GL_COLOR_ATTACHMENT0 + i;
    glDrawBuffers(TargetCount, drawBuffers);
    PALLIX_CHECK_GL();
    CheckFramebufferStatus();
}

// Storage for the corner of width x height: the eight renderbuffers and the sixteen buffers.
void OffscreenContext::AllocateStorage(int storeWidth, int storeHeight) {
    storageWidth = storageHeight = 0;
    const GLsizeiptr bufferSize = GLsizeiptr(storeWidth) * storeHeight * BytesPerPixel;
    for (int i = 0; i < TargetCount; ++i) {
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers[i]);
        PALLIX_CHECK_GL();
        glRenderbufferStorage(GL_RENDERBUFFER, FormatOf(i).internalFormat, storeWidth, storeHeight);
        PALLIX_CHECK_GL();
        for (int set = 0; set < SetCount; ++set) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, pixelBuffers[set * TargetCount + i]);
            PALLIX_CHECK_GL();
            glBufferData(GL_PIXEL_PACK_BUFFER, bufferSize, nullptr, GL_STREAM_READ);
            PALLIX_CHECK_GL();
        }
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    PALLIX_CHECK_GL();
    storageWidth = storeWidth;
    storageHeight = storeHeight;
}

void OffscreenContext::ReserveTiles(int tileWidth, int tileHeight) {
    if (!framebufferReady || tileWidth < 1 || tileHeight < 1 || tileWidth > width || tileHeight > height)
        throw BakeException("Tile does not fit the framebuffer");
    if (tileWidth <= storageWidth && tileHeight <= storageHeight) return;
    MakeCurrent();
    AllocateStorage(std::max(tileWidth, storageWidth), std::max(tileHeight, storageHeight));
}

void OffscreenContext::CheckFramebufferStatus() {
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    PALLIX_CHECK_GL();
    switch (status) {
        case GL_FRAMEBUFFER_COMPLETE: return;
        case GL_FRAMEBUFFER_UNDEFINED: throw BakeException("GL Error: Frame Buffer Undefined");
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT: throw BakeException("GL Error: Frame Buffer incomplete attachment");
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT: throw BakeException("GL Error: Frame Buffer missing");
        case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER: throw BakeException("GL Error: Incomplete draw buffer");
        case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER: throw BakeException("GL Error: Incomplete read buffer");
        case GL_FRAMEBUFFER_UNSUPPORTED: throw BakeException("GL Error: Unsupported frame buffer");
        case 0: std::printf("Unknown error\n"); break;
        default: std::printf("FBO Problem %x?\n", status); break;
    }
    throw BakeException("Framebuffer incomplete");
}

void OffscreenContext::DeleteObjects() noexcept {
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (pixelBuffers[0]) glDeleteBuffers(TargetCount * SetCount, pixelBuffers);
    if (renderbuffers[0]) glDeleteRenderbuffers(TargetCount, renderbuffers);
    if (framebuffer) glDeleteFramebuffers(1, &framebuffer);
    ClearGLErrors();
    for (unsigned& id : pixelBuffers) id = 0;
    for (unsigned& id : renderbuffers) id = 0;
    framebuffer = 0;
    storageWidth = storageHeight = 0;
    framebufferReady = false;
}

void OffscreenContext::Lock() {
    bool expected = false;
    if (!locked.compare_exchange_strong(expected, true)) throw BakeException("Context already locked");
    if (!platform.IsCreated()) return;
    try {
        platform.MakeCurrent();
        // Errors left behind by an earlier holder must not be blamed on the next call.
        ClearGLErrors();
    } catch (...) {
        locked = false;
        throw;
    }
}

void OffscreenContext::Unlock() {
    if (!locked) throw BakeException("Context not locked");
    locked = false;
    if (platform.IsCreated()) platform.Release();
}

void OffscreenContext::MakeCurrent() {
    if (!platform.IsCurrent()) platform.MakeCurrent();
}

void OffscreenContext::ReleaseObjects(const std::function<void()>& release) noexcept {
    if (!platform.IsCreated()) return;
    if (platform.IsCurrent()) {
        try {
            release();
        } catch (...) {
        }
        return;
    }
    // Held by another thread: making it current here would fail or steal it.
    if (locked) return;
    const PlatformContext::Binding previous = PlatformContext::CurrentBinding();
    try {
        platform.MakeCurrent();
        release();
    } catch (...) {
    }
    platform.Release();
    // Another context this thread had current gets it back.
    PlatformContext::Restore(previous);
}

void OffscreenContext::ReadPixels(int set, int readWidth, int readHeight) {
    if (set < 0 || set >= SetCount || readWidth < 1 || readHeight < 1 || readWidth > storageWidth ||
        readHeight > storageHeight)
        throw BakeException("Tile does not fit the framebuffer");
    for (int i = 0; i < TargetCount; ++i) {
        glReadBuffer(GL_COLOR_ATTACHMENT0 + i);
        PALLIX_CHECK_GL();
        glBindBuffer(GL_PIXEL_PACK_BUFFER, PixelBuffer(set, i));
        PALLIX_CHECK_GL();
        glReadPixels(0, 0, readWidth, readHeight, FormatOf(i).format, FormatOf(i).type, nullptr);
        PALLIX_CHECK_GL();
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    PALLIX_CHECK_GL();
}

}  // namespace Pallix::Bake
