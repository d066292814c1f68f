#pragma once

#include <atomic>
#include <functional>

#include "gpu/shadercontext.h"

namespace Pallix::Bake {

// Throws BakeException named after the pending GL error, after printing "Error at file:line".
void CheckGLError(const char* file, int line);
// Clears every pending GL error flag, so that the next check sees only errors of its own call.
void ClearGLErrors();

#define PALLIX_CHECK_GL() ::Pallix::Bake::CheckGLError(__FILE__, __LINE__)

// The window-system half of the context: an OpenGL 3.3 core context without any window.
// One implementation per platform (offscreencontext_egl.cpp here).
class PlatformContext {
public:
    PlatformContext() = default;
    ~PlatformContext();  // destroys the context; never throws
    PlatformContext(const PlatformContext&) = delete;
    PlatformContext& operator=(const PlatformContext&) = delete;

    // Creates the context and leaves it current on this thread.
    void Create();
    bool IsCreated() const { return context != nullptr; }
    // Makes the context current on this thread; throws when another thread has it.
    void MakeCurrent();
    // Leaves this thread without a current context.
    void Release() noexcept;
    bool IsCurrent() const;
    // Destroys the context (and with it every object it holds); the display stays for the process.
    void Destroy() noexcept;

    // Whatever context is current on this thread, so that it can be made current again.
    struct Binding {
        void* display = nullptr;
        void* context = nullptr;
    };
    static Binding CurrentBinding() noexcept;
    bool Holds(const Binding& binding) const { return context != nullptr && binding.context == context; }
    static void Restore(const Binding& binding) noexcept;

private:

    void* display = nullptr;
    void* context = nullptr;
};

// The offscreen OpenGL context of a bake: a 1024 x 1024 framebuffer with seven float targets and
// one unsigned-integer target, two sets of eight pixel-pack buffers for the read-back, and the
// lock that makes the context current on the thread that bakes. Every pass draws into and
// reads from the lower-left corner of the surface only, so the targets and buffers hold just
// the corner that the tiles of the bakes so far have needed.
class OffscreenContext {
public:
    static constexpr int SurfaceSize = 1024;
    // What Initialise makes room for: the tile of a default 1024 x 1024 map.
    static constexpr int InitialStorage = 128;
    static constexpr int TargetCount = 8;
    static constexpr int SetCount = 2;
    static constexpr int BytesPerPixel = 16;

    OffscreenContext();
    ~OffscreenContext();  // deletes every GL object and the context; never throws
    OffscreenContext(const OffscreenContext&) = delete;
    OffscreenContext& operator=(const OffscreenContext&) = delete;

    // Creates the context, the framebuffer and the buffers; ends unlocked. A failure leaves
    // nothing behind, so the call may be repeated; a second call after success does nothing.
    void Initialise();
    bool IsInitialised() const { return framebufferReady; }

    // Throws "Context already locked" when locked; makes the context current on this thread.
    void Lock();
    // Throws "Context not locked" when not locked; releases the context from this thread.
    void Unlock();
    bool IsLocked() const { return locked.load(); }
    // Makes the context current on this thread if it is not yet (the caller holds the lock).
    void MakeCurrent();

    // Reads the lower-left width x height pixels of every target into buffer set `set`.
    void ReadPixels(int set, int width, int height);
    // Makes the targets and both buffer sets hold tiles of width x height (at most the surface),
    // growing them where they are smaller. Growing drops what the buffers held; the caller
    // makes sure that none of them is mapped.
    void ReserveTiles(int width, int height);
    int GetStorageWidth() const { return storageWidth; }
    int GetStorageHeight() const { return storageHeight; }
    unsigned PixelBuffer(int set, int target) const { return pixelBuffers[set * TargetCount + target]; }

    int GetWidth() const { return width; }
    int GetHeight() const { return height; }
    ShaderContext& GetShaders() { return shaders; }

    // Runs release with the context current on this thread, for deleting GL objects from
    // destructors. Does nothing when the context does not exist or another thread holds it;
    // the objects then go with the context.
    void ReleaseObjects(const std::function<void()>& release) noexcept;

    // Holds the lock for a scope, releasing it on every path; a context that the thread had
    // current before is current again afterwards.
    class LockGuard {
    public:
        explicit LockGuard(OffscreenContext& context);
        ~LockGuard();
        LockGuard(const LockGuard&) = delete;
        LockGuard& operator=(const LockGuard&) = delete;

    private:
        OffscreenContext& context;
        PlatformContext::Binding previous;
    };

private:
    void CreateFramebuffer();
    void AllocateStorage(int width, int height);
    void DeleteObjects() noexcept;
    void CheckFramebufferStatus();

    std::atomic<bool> locked{false};
    int width = SurfaceSize;
    int height = SurfaceSize;
    int storageWidth = 0;
    int storageHeight = 0;
    PlatformContext platform;
    ShaderContext shaders;
    unsigned framebuffer = 0;
    unsigned renderbuffers[TargetCount] = {};
    unsigned pixelBuffers[TargetCount * SetCount] = {};
    bool framebufferReady = false;
};

}  // namespace Pallix::Bake
