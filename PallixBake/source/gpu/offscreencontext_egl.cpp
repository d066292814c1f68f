#include <epoxy/egl.h>
#include <epoxy/gl.h>

#include <cstdio>

#include "core/bakeexception.h"
#include "gpu/offscreencontext.h"

// The offscreen context on EGL: Mesa's surfaceless platform (or the device platform) gives a
// display without any window system, and an OpenGL 3.3 core context is made current without a
// surface. Failures carry the texts of the equivalent steps of the window-based context.
namespace Pallix::Bake {

namespace {

const char* EGLErrorName(EGLint error) {
    switch (error) {
        case EGL_SUCCESS: return "EGL_SUCCESS";
        case EGL_NOT_INITIALIZED: return "EGL_NOT_INITIALIZED";
        case EGL_BAD_ACCESS: return "EGL_BAD_ACCESS";
        case EGL_BAD_ALLOC: return "EGL_BAD_ALLOC";
        case EGL_BAD_ATTRIBUTE: return "EGL_BAD_ATTRIBUTE";
        case EGL_BAD_CONFIG: return "EGL_BAD_CONFIG";
        case EGL_BAD_CONTEXT: return "EGL_BAD_CONTEXT";
        case EGL_BAD_CURRENT_SURFACE: return "EGL_BAD_CURRENT_SURFACE";
        case EGL_BAD_DISPLAY: return "EGL_BAD_DISPLAY";
        case EGL_BAD_MATCH: return "EGL_BAD_MATCH";
        case EGL_BAD_NATIVE_PIXMAP: return "EGL_BAD_NATIVE_PIXMAP";
        case EGL_BAD_NATIVE_WINDOW: return "EGL_BAD_NATIVE_WINDOW";
        case EGL_BAD_PARAMETER: return "EGL_BAD_PARAMETER";
        case EGL_BAD_SURFACE: return "EGL_BAD_SURFACE";
        case EGL_CONTEXT_LOST: return "EGL_CONTEXT_LOST";
        default: return "unknown EGL error";
    }
}

// Stands in for the message box of the Windows path: names the failing call and the error.
void ReportEGLError(const char* function) {
    const EGLint error = eglGetError();
    std::printf("%s failed with error %d: %s\n", function, int(error), EGLErrorName(error));
}

EGLDisplay OpenDisplay() {
    if (epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_MESA_platform_surfaceless")) {
        EGLDisplay display = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY) return display;
    }
    if (epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_EXT_platform_device") &&
        epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_EXT_device_enumeration")) {
        EGLDeviceEXT device = nullptr;
        EGLint count = 0;
        if (eglQueryDevicesEXT(1, &device, &count) && count > 0)
            return eglGetPlatformDisplayEXT(EGL_PLATFORM_DEVICE_EXT, device, nullptr);
    }
    return EGL_NO_DISPLAY;
}

}  // namespace

PlatformContext::~PlatformContext() { Destroy(); }

void PlatformContext::Create() {
    std::printf("Creating offscreen context\n");
    std::printf("Getting Procedures\n");
    Destroy();

    // The display is never terminated: EGL keeps one per process, shared by every context, and
    // terminating it would pull the ground from under any other context still alive.
    EGLDisplay eglDisplay = OpenDisplay();
    if (eglDisplay == EGL_NO_DISPLAY) {
        std::printf("Device context failed\n");
        ReportEGLError("eglGetPlatformDisplayEXT");
        throw BakeException("Can't create dummy device context");
    }
    EGLint major = 0, minor = 0;
    if (!eglInitialize(eglDisplay, &major, &minor)) {
        ReportEGLError("eglInitialize");
        throw BakeException("Can't initialize WGL");
    }
    if (!epoxy_has_egl_extension(eglDisplay, "EGL_KHR_create_context") ||
        !epoxy_has_egl_extension(eglDisplay, "EGL_KHR_no_config_context") ||
        !epoxy_has_egl_extension(eglDisplay, "EGL_KHR_surfaceless_context"))
        throw BakeException("Can't create opengl 3 context");
    if (!eglBindAPI(EGL_OPENGL_API)) {
        ReportEGLError("eglBindAPI");
        throw BakeException("Can't create opengl 3 context");
    }

    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION_KHR,
                                 3,
                                 EGL_CONTEXT_MINOR_VERSION_KHR,
                                 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK_KHR,
                                 EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT_KHR,
                                 EGL_CONTEXT_FLAGS_KHR,
                                 EGL_CONTEXT_OPENGL_FORWARD_COMPATIBLE_BIT_KHR,
                                 EGL_NONE};
    EGLContext eglContext = eglCreateContext(eglDisplay, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (eglContext == EGL_NO_CONTEXT) {
        ReportEGLError("eglCreateContext");
        throw BakeException("Can't initialize opengl");
    }
    display = eglDisplay;
    context = eglContext;

    if (!eglMakeCurrent(eglDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, eglContext)) {
        std::printf("Activating render context failed\n");
        ReportEGLError("eglMakeCurrent");
        Destroy();
        throw BakeException("Can't initialize opengl");
    }
    // libepoxy resolves the entry points on first use; it only has to find a 3.3 context.
    if (epoxy_gl_version() < 33) {
        Destroy();
        throw BakeException("Can't initialize glew");
    }
    ClearGLErrors();
    const GLubyte* version = glGetString(GL_VERSION);
    std::printf("Opengl version %s\n", version ? reinterpret_cast<const char*>(version) : "");
}

void PlatformContext::MakeCurrent() {
    if (!context) return;
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        ReportEGLError("eglMakeCurrent");
        throw BakeException("Activating render context failed");
    }
}

void PlatformContext::Release() noexcept {
    // Only our own context is released; another one current on this thread stays.
    if (context && IsCurrent()) eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

bool PlatformContext::IsCurrent() const { return context && eglGetCurrentContext() == context; }

PlatformContext::Binding PlatformContext::CurrentBinding() noexcept {
    return {eglGetCurrentDisplay(), eglGetCurrentContext()};
}

void PlatformContext::Restore(const Binding& binding) noexcept {
    if (binding.context != EGL_NO_CONTEXT && eglGetCurrentContext() != binding.context)
        eglMakeCurrent(binding.display, EGL_NO_SURFACE, EGL_NO_SURFACE, binding.context);
}

void PlatformContext::Destroy() noexcept {
    if (!context) return;
    Release();
    // A context still current on another thread is freed by EGL once that thread lets go.
    eglDestroyContext(display, context);
    context = nullptr;
    display = nullptr;
}

}  // namespace Pallix::Bake
