#include "core/availablememory.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

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

// Room under the memory limit of the process's control group, version 2 or 1.
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
        const std::string path = line.substr(second + 1);
        std::string mount, limitFile, usageFile;
        if (controllers.empty()) {
            mount = "/sys/fs/cgroup", limitFile = "/memory.max", usageFile = "/memory.current";
        } else if (HasController(controllers, "memory")) {
            mount = "/sys/fs/cgroup/memory", limitFile = "/memory.limit_in_bytes", usageFile = "/memory.usage_in_bytes";
        } else {
            continue;
        }
        // A container often mounts its own group as the root of the hierarchy.
        for (const std::string& folder : {mount + path, mount}) {
            uint64_t limit = 0, usage = 0;
            if (FileNumber(folder + limitFile, limit) && FileNumber(folder + usageFile, usage)) {
                room = std::min(room, Room(limit, usage));
                break;
            }
        }
    }
    return room;
}

}  // namespace

uint64_t AvailableMemory() {
    uint64_t available = UINT64_MAX;
    uint64_t memory = 0, swap = 0;
    if (ProcKilobytes("/proc/meminfo", "MemAvailable", memory)) {
        ProcKilobytes("/proc/meminfo", "SwapFree", swap);
        available = memory + swap;
    }
    available = std::min(available, RoomUnderLimit(RLIMIT_AS, "VmSize"));
    available = std::min(available, RoomUnderLimit(RLIMIT_DATA, "VmData"));
    return std::min(available, RoomUnderControlGroup());
}

}  // namespace Pallix::Bake
