#include "core/availablememory.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace Pallix::Bake {

namespace {

// The number of a "Name:  1234 kB" line of a /proc file, in bytes.
bool ProcKilobytes(const char* path, std::string_view name, uint64_t& bytes) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() <= name.size() || line.compare(0, name.size(), name) != 0 || line[name.size()] != ':') continue;
        char* end = nullptr;
        const unsigned long long kilobytes = std::strtoull(line.c_str() + name.size() + 1, &end, 10);
        if (end == line.c_str() + name.size() + 1) return false;
        bytes = uint64_t(kilobytes) * 1024;
        return true;
    }
    return false;
}

// A file holding one number ("max" and other words do not count).
bool FileNumber(const std::string& path, uint64_t& value) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// Whether a comma-separated list of control-group controllers names one.
bool HasController(std::string_view list, std::string_view name) {
    for (size_t start = 0; start <= list.size();) {
        const size_t end = std::min(list.find(',', start), list.size());
        if (list.substr(start, end - start) == name) return true;
        start = end + 1;
    }
    return false;
}

// The stack of each thread started under an address-space limit.
constexpr size_t kThreadStack = size_t(2) << 20;

uint64_t Room(uint64_t limit, uint64_t used) { return limit > used ? limit - used : 0; }

// Room under a resource limit, given the /proc/self/status field that it counts.
uint64_t RoomUnderLimit(int resource, std::string_view usedField) {
    rlimit limit{};
    uint64_t used = 0;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        !ProcKilobytes("/proc/self/status", usedField, used))
        return UINT64_MAX;
    return Room(uint64_t(limit.rlim_cur), used);
}

// The number of a "name 1234" line of a control group's memory.stat.
bool StatNumber(const std::string& path, std::string_view name, uint64_t& value) {
    std::ifstream file(path);
    std::string key;
    uint64_t number = 0;
    while (file >> key >> number) {
        if (key != name) continue;
        value = number;
        return true;
    }
    return false;
}

// Room under the memory limits of the process's control group and the groups above it, version
// 2 or 1. File pages that have not been used lately count as room: the kernel reclaims them
// before it refuses the group memory.
uint64_t RoomUnderControlGroup() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    uint64_t room = UINT64_MAX;
    while (std::getline(groups, line)) {
        // "0::/path" for version 2, "4:memory:/path" for the version 1 memory controller.
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string_view controllers = std::string_view(line).substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        std::string mount, limitFile, usageFile, inactiveName;
        if (controllers.empty()) {
            mount = "/sys/fs/cgroup", limitFile = "/memory.max", usageFile = "/memory.current";
            inactiveName = "inactive_file";
        } else if (HasController(controllers, "memory")) {
            mount = "/sys/fs/cgroup/memory", limitFile = "/memory.limit_in_bytes", usageFile = "/memory.usage_in_bytes";
            inactiveName = "total_inactive_file";
        } else {
            continue;
        }
        // From the group up to the root of the hierarchy, which a container often mounts its own
        // group as; a group that sets no limit of its own has none of these files or says "max".
        for (;;) {
            const std::string folder = mount + (path == "/" ? "" : path);
            uint64_t limit = 0, usage = 0, inactive = 0;
            if (FileNumber(folder + limitFile, limit) && FileNumber(folder + usageFile, usage)) {
                if (StatNumber(folder + "/memory.stat", inactiveName, inactive)) usage -= std::min(usage, inactive);
                room = std::min(room, Room(limit, usage));
            }
            const size_t slash = path.rfind('/');
            if (path.empty() || path == "/" || slash == std::string::npos) break;
            path.resize(slash == 0 ? 1 : slash);
        }
    }
    return room;
}

}  // namespace

MemoryRoom AvailableMemoryRoom() {
    MemoryRoom room;
    uint64_t memory = 0, swap = 0;
    if (ProcKilobytes("/proc/meminfo", "MemAvailable", memory)) {
        ProcKilobytes("/proc/meminfo", "SwapFree", swap);
        room.memory = memory + swap;
    }
    room.memory = std::min(room.memory, RoomUnderControlGroup());
    room.addressSpace = std::min(RoomUnderLimit(RLIMIT_AS, "VmSize"), RoomUnderLimit(RLIMIT_DATA, "VmData"));
    return room;
}

void FitThreadReservationsToLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
        constexpr uint64_t kArenaBytes = uint64_t(64) << 20;
        // The allocator's own default, which the cap never raises.
        const uint64_t usual = uint64_t(8) * std::max(1u, std::thread::hardware_concurrency());
        const uint64_t arenas = std::clamp<uint64_t>(uint64_t(limit.rlim_cur) / 16 / kArenaBytes, 1, usual);
        // The allocator settles its arena count once some threads have arenas: this comes first.
        mallopt(M_ARENA_MAX, int(arenas));
        // Threads take a stack of the process's stack limit, usually 8 MiB; the engine's, and
        // the GPU driver's, use a small part of it.
        pthread_attr_t attributes;
        size_t stack = 0;
        if (pthread_getattr_default_np(&attributes) != 0) return;
        if (pthread_attr_getstacksize(&attributes, &stack) == 0 && stack > kThreadStack &&
            pthread_attr_setstacksize(&attributes, kThreadStack) == 0)
            pthread_setattr_default_np(&attributes);
        pthread_attr_destroy(&attributes);
    });
}

uint64_t AvailableMemory() {
    const MemoryRoom room = AvailableMemoryRoom();
    return std::min(room.memory, room.addressSpace);
}

}  // namespace Pallix::Bake
