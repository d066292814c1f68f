#pragma once

#include <cstdint>

namespace Pallix::Bake {

// Bytes this process can still allocate before the system refuses them or kills it: the least of
// the memory the system has available (swap included), the room left under the process's
// address-space and data limits, and the room left under its control group's limit.
// UINT64_MAX when none of them can be read.
uint64_t AvailableMemory();

}  // namespace Pallix::Bake
