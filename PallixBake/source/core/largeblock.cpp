#include "core/largeblock.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace Pallix::Bake {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer every block comes from the heap, whose bounds it watches; memory
// mapped here would let a write past a block's end go unseen.
constexpr size_t kMappedFrom = SIZE_MAX;
#else
// Below this a block comes from the heap, where freed memory is reused without new faults.
constexpr size_t kMappedFrom = 2 * kHugePage;
#endif

size_t MappedSize(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* AllocateZeroed(size_t bytes) {
    if (bytes < kMappedFrom) {
        void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (!block) throw std::bad_alloc();
        return block;
    }
    const size_t size = MappedSize(bytes);
    if (size < bytes || size + kHugePage < size) throw std::bad_alloc();
    // Mapped with a huge page to spare, then trimmed to a block that starts on a huge page.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + size + kHugePage;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* block = reinterpret_cast<void*>(aligned);
    // Only a hint: without huge pages the block works the same on small ones.
    madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void FreeZeroed(void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes < kMappedFrom) {
        std::free(block);
        return;
    }
    munmap(block, MappedSize(bytes));
}

void AdviseHugePages(const void* block, size_t bytes) noexcept {
    if (!block || bytes < kMappedFrom) return;
    // Only the whole huge pages inside the block: the advice must not reach a neighbour's memory.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) / kHugePage * kHugePage;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) / kHugePage * kHugePage;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace Pallix::Bake
