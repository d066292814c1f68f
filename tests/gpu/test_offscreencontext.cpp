#include <epoxy/gl.h>

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <thread>

#include "core/bakeexception.h"
#include "gpu/offscreencontext.h"
#include "gputest.h"

using namespace Pallix::Bake;
using namespace Pallix::Bake::Test;

namespace {

long ResidentMiB() {
    long pages = 0, resident = 0;
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return -1;
    if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(file);
    return resident * 4096 / (1024 * 1024);
}

}  // namespace

namespace {

// Every attachment's format and size, the draw buffers and the size of all sixteen buffers.
void ExpectFramebuffer(OffscreenContext& context, int width, int height) {
    EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
    EXPECT_EQ(context.GetStorageWidth(), width);
    EXPECT_EQ(context.GetStorageHeight(), height);
    for (int i = 0; i < 8; ++i) {
        GLint name = 0, format = 0, storedWidth = 0, storedHeight = 0;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0 + i,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
        glBindRenderbuffer(GL_RENDERBUFFER, GLuint(name));
        glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_INTERNAL_FORMAT, &format);
        glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_WIDTH, &storedWidth);
        glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_HEIGHT, &storedHeight);
        EXPECT_EQ(format, i < 7 ? GL_RGBA32F : GL_RGBA32UI) << "attachment " << i;
        EXPECT_EQ(storedWidth, width);
        EXPECT_EQ(storedHeight, height);
        GLint drawBuffer = 0;
        glGetIntegerv(GL_DRAW_BUFFER0 + i, &drawBuffer);
        EXPECT_EQ(drawBuffer, GL_COLOR_ATTACHMENT0 + i);
    }
    for (int set = 0; set < 2; ++set)
        for (int i = 0; i < 8; ++i) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, context.PixelBuffer(set, i));
            GLint size = 0;
            glGetBufferParameteriv(GL_PIXEL_PACK_BUFFER, GL_BUFFER_SIZE, &size);
            EXPECT_EQ(size, width * height * 16);
        }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

}  // namespace

TEST(OffscreenContext, FramebufferHasSevenFloatTargetsAndOneIntegerTarget) {
    OffscreenContext context;
    context.Initialise();
    ASSERT_TRUE(context.IsInitialised());
    EXPECT_FALSE(context.IsLocked());
    OffscreenContext::LockGuard lock(context);
    EXPECT_EQ(context.GetWidth(), 1024);
    EXPECT_EQ(context.GetHeight(), 1024);

    // Storage for the small tiles of a default map first, grown per axis as tiles ask for it.
    ExpectFramebuffer(context, OffscreenContext::InitialStorage, OffscreenContext::InitialStorage);
    context.ReserveTiles(512, 64);
    ExpectFramebuffer(context, 512, OffscreenContext::InitialStorage);
    context.ReserveTiles(1024, 1024);
    ExpectFramebuffer(context, 1024, 1024);
    context.ReserveTiles(16, 16);
    ExpectFramebuffer(context, 1024, 1024);
    EXPECT_EQ(ThrownText([&] { context.ReserveTiles(1025, 16); }), "Tile does not fit the framebuffer");
}

TEST(OffscreenContext, LockAndUnlockRejectMisuse) {
    OffscreenContext context;
    context.Initialise();
    EXPECT_EQ(ThrownText([&] { context.Unlock(); }), "Context not locked");
    context.Lock();
    EXPECT_EQ(ThrownText([&] { context.Lock(); }), "Context already locked");
    // The failed second lock leaves the first one in place.
    EXPECT_TRUE(context.IsLocked());
    context.Unlock();
    EXPECT_FALSE(context.IsLocked());
    EXPECT_EQ(ThrownText([&] { context.Unlock(); }), "Context not locked");
}

TEST(OffscreenContext, LockMakesTheContextCurrentOnTheCallingThread) {
    OffscreenContext context;
    context.Initialise();
    GLint framebuffer = -1;
    std::string failure;
    std::thread worker([&] {
        try {
            OffscreenContext::LockGuard lock(context);
            glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
        } catch (const std::exception& e) {
            failure = e.what();
        }
    });
    worker.join();
    EXPECT_EQ(failure, "");
    EXPECT_GT(framebuffer, 0) << "the worker saw our framebuffer bound";
    EXPECT_FALSE(context.IsLocked());

    // Released by the worker, so this thread can take it next.
    context.Lock();
    GLint here = -1;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &here);
    EXPECT_EQ(here, framebuffer);
    context.Unlock();
}

TEST(OffscreenContext, GLErrorsAreReportedByName) {
    OffscreenContext context;
    context.Initialise();
    context.Lock();

    glViewport(0, 0, -1, -1);  // GL_INVALID_VALUE has no name of its own
    testing::internal::CaptureStdout();
    const std::string text = ThrownText([] { CheckGLError("offscreencontext.cpp", 42); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error at offscreencontext.cpp:42\n");
    EXPECT_EQ(text, "Unknown OpenGL Error");

    glEnable(0x7fff);
    EXPECT_EQ(ThrownText([] { PALLIX_CHECK_GL(); }), "GL_INVALID_ENUM");
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(ThrownText([] { PALLIX_CHECK_GL(); }), "GL_INVALID_OPERATION");
    EXPECT_NO_THROW(PALLIX_CHECK_GL());

    // An error left by an earlier holder of the lock is not blamed on the next one.
    glEnable(0x7fff);
    context.Unlock();
    context.Lock();
    EXPECT_NO_THROW(PALLIX_CHECK_GL());
    context.Unlock();
}

TEST(OffscreenContext, DestroyingALockedContextDoesNotThrow) {
    EXPECT_NO_THROW({
        HardwareBaker baker;
        baker.Initialise();
        baker.GetContext().Lock();
    });
    // A context that never got made is destroyed quietly as well.
    EXPECT_NO_THROW({ OffscreenContext context; });
}

// Each cycle renders a full tile into one buffer set, so a context that survived its owner
// would keep far more than the bound below.
TEST(OffscreenContext, CreatingAndDestroyingTwentyTimesKeepsMemoryFlat) {
    Scene scene;
    AddCornerMesh(scene, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}});
    long baseline = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        {
            HardwareBaker baker;
            baker.Initialise();
            OffscreenContext::LockGuard lock(baker.GetContext());
            HardwareScene hardware(&baker.GetContext());
            Upload(scene, hardware);
            const auto targets = RenderTargets(baker, hardware, WholeTile());
            ASSERT_EQ(targets[TargetPosition].Pixel(10, 10)[3], 1.0f);
        }
        if (cycle == 2) {
            malloc_trim(0);
            baseline = ResidentMiB();
        }
    }
    malloc_trim(0);
    const long growth = ResidentMiB() - baseline;
    EXPECT_LT(growth, 100) << "resident memory grew by " << growth << " MiB over 17 contexts";
}
