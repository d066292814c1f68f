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

// Under an address-space limit, has the threads the process starts from now on reserve less of
// it, which a limit counts in full, touched or not: the allocator gives each thread an arena of
// its own, up to eight a processor, of 64 MiB each, and a stack of the stack limit, 8 MiB as a
// rule. With a limit the arenas are capped at what a sixteenth of it holds, threads beyond
// sharing them, and stacks take 2 MiB. Without a limit nothing changes. It must run before the
// process starts its threads, and acts once.
void FitThreadReservationsToLimit();

}  // namespace Pallix::Bake
