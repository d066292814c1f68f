#include "core/outputfile.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

// The target's folder (with its slash, empty for the working folder) and the start of its
// temporaries' names: "<folder><base>.<pid>-<n>.tmp".
std::pair<std::string, std::string> TemporaryPrefix(const std::string& path) {
    const size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = path.substr(folder.size());
    // Room for the suffix within the 255 bytes a file name may have.
    if (base.size() > 200) base.resize(200);
    return {std::move(folder), base + "."};
}

// The process id in "<pid>-<n>.tmp", written as this file writes it; 0 for any other name.
pid_t WriterOf(std::string_view suffix) {
    if (suffix.size() < 7 || !suffix.ends_with(".tmp")) return 0;
    suffix.remove_suffix(4);
    const size_t dash = suffix.find('-');
    if (dash == std::string_view::npos) return 0;
    pid_t pid = 0;
    uint64_t counter = 0;
    const char* end = suffix.data() + dash;
    const auto pidText = std::from_chars(suffix.data(), end, pid);
    const auto counterText = std::from_chars(end + 1, suffix.data() + suffix.size(), counter);
    if (pidText.ec != std::errc() || pidText.ptr != end || counterText.ec != std::errc() ||
        counterText.ptr != suffix.data() + suffix.size() || suffix.front() == '0')
        return 0;
    return pid;
}

// A run killed outright (SIGKILL, a crash, a power cut) cannot remove its temporaries; the next
// write of the same target removes those whose process no longer exists. This process's own
// may still be under way.
void RemoveAbandonedTemporaries(const std::string& folder, const std::string& prefix) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        const pid_t pid = WriterOf(name.substr(prefix.size()));
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace

OutputFile::OutputFile(std::string target) : path(std::move(target)) {}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Create(std::string* error) {
    Discard();
    const auto [folder, start] = TemporaryPrefix(path);
    const std::string prefix = folder + start + std::to_string(::getpid()) + "-";
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
    if (code == 0) {
        const auto [folder, start] = TemporaryPrefix(path);
        RemoveAbandonedTemporaries(folder, start);
        return true;
    }
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
