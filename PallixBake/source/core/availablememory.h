#pragma once

#include <cstdint>

namespace Pallix::Bake {

// Bytes this process can still allocate before the system refuses them or kills it: the least of
// the memory the system has available (swap included), the room left under the process's
// address-space and data limits, and the room left under its control group's limit.
// UINT64_MAX when none of them can be read.
uint64_t AvailableMemory();

// The two kinds of room AvailableMemory takes the least of: memory (what the system has
// available, swap included, and the room under the control group's limit) and address space (the
// room under the process's address-space and data limits, which count reservations never touched).
// UINT64_MAX for a kind that cannot be read.
struct MemoryRoom {
    uint64_t memory = UINT64_MAX;
    uint64_t addressSpace = UINT64_MAX;
};
MemoryRoom AvailableMemoryRoom();

}  // namespace Pallix::Bake
