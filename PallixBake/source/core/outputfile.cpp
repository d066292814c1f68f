#include "core/outputfile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace Pallix::Bake {

namespace {

// The temporary files being written, for the signal handler, which may neither allocate nor
// lock: fixed slots whose state is claimed and published atomically.
constexpr int kPendingSlots = 64;
constexpr size_t kPathCapacity = 4096;
enum SlotState : int { SlotFree = 0, SlotClaimed = 1, SlotActive = 2 };

struct PendingFile {
    std::atomic<int> state{SlotFree};
    char path[kPathCapacity];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");

PendingFile pendingFiles[kPendingSlots];
std::atomic<unsigned> temporaryCounter{0};

// A temporary that finds no slot is still written and renamed; only a signal could leave it behind.
int ClaimSlot(const std::string& temporary) {
    if (temporary.size() >= kPathCapacity) return -1;
    for (int i = 0; i < kPendingSlots; ++i) {
        int expected = SlotFree;
        if (!pendingFiles[i].state.compare_exchange_strong(expected, SlotClaimed, std::memory_order_acq_rel)) continue;
        std::memcpy(pendingFiles[i].path, temporary.c_str(), temporary.size() + 1);
        pendingFiles[i].state.store(SlotActive, std::memory_order_release);
        return i;
    }
    return -1;
}

void ReleaseSlot(int slot) {
    if (slot >= 0) pendingFiles[slot].state.store(SlotFree, std::memory_order_release);
}

void RemovePendingFiles(int signal) {
    for (PendingFile& file : pendingFiles)
        if (file.state.load(std::memory_order_acquire) == SlotActive) ::unlink(file.path);
    // The handler was installed with SA_RESETHAND: the signal raised here is delivered with its
    // default action as soon as the handler returns.
    ::raise(signal);
}

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

}  // namespace

OutputFile::OutputFile(std::string target) : path(std::move(target)) {}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Create(std::string* error) {
    Discard();
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = path.substr(folder.size());
    // Room for the suffix within the 255 bytes a file name may have.
    if (base.size() > 200) base.resize(200);
    const std::string prefix = folder + base + "." + std::to_string(::getpid()) + "-";
    int code = 0;
    // A process killed outright may have left a temporary of the same name behind.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = prefix + std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
        slot = ClaimSlot(temporary);
        descriptor = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0) return true;
        code = errno;
        ReleaseSlot(slot);
        slot = -1;
        temporary.clear();
        if (code != EEXIST) break;
    }
    SetError(error, "cannot create " + path + ": " + std::strerror(code));
    return false;
}

int OutputFile::ReleaseDescriptor() { return std::exchange(descriptor, -1); }

bool OutputFile::Commit(std::string* error) {
    if (temporary.empty()) {
        SetError(error, "cannot write " + path + ": the file was not created");
        return false;
    }
    int code = 0;
    if (descriptor >= 0 && ::close(std::exchange(descriptor, -1)) != 0) code = errno;
    if (code == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) code = errno;
    if (code != 0) ::unlink(temporary.c_str());
    ReleaseSlot(std::exchange(slot, -1));
    temporary.clear();
    if (code == 0) return true;
    SetError(error, "cannot write " + path + ": " + std::strerror(code));
    return false;
}

void OutputFile::Discard() {
    if (descriptor >= 0) ::close(std::exchange(descriptor, -1));
    if (!temporary.empty()) ::unlink(temporary.c_str());
    ReleaseSlot(std::exchange(slot, -1));
    temporary.clear();
}

void InstallOutputFileCleanup() {
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0) continue;
        // An ignored signal (a background job's SIGINT) or a handler of someone else's stays.
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = RemovePendingFiles;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace Pallix::Bake
