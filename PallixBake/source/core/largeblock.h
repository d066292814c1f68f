#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace Pallix::Bake {

// Zero-filled memory for large arrays (images, grid packets). Blocks of megabytes are mapped
// from the system on transparent huge pages where the kernel has them: filling one then takes
// a page fault per 2 MiB instead of per 4 KiB, which is most of what a fresh block costs. Smaller
// blocks come from the heap. Free with the size the block was asked for.
void* AllocateZeroed(size_t bytes);
void FreeZeroed(void* block, size_t bytes) noexcept;

// Asks for huge pages under memory that is allocated but not yet written, such as the storage a
// vector has reserved, so that filling it takes a fault per 2 MiB: only the whole huge pages
// inside the range can have them. Small ranges are left alone.
void AdviseHugePages(void* block, size_t bytes) noexcept;

struct LargeBlockDeleter {
    size_t bytes = 0;
    void operator()(void* block) const noexcept { FreeZeroed(block, bytes); }
};

// An array of plain records in one zero-filled block.
template <class T>
using LargeArray = std::unique_ptr<T[], LargeBlockDeleter>;

// Throws std::bad_alloc when the memory is not there.
template <class T>
LargeArray<T> AllocateLarge(size_t count) {
    static_assert(std::is_trivially_destructible_v<T>, "large arrays hold plain records");
    const size_t bytes = count * sizeof(T);
    return LargeArray<T>(static_cast<T*>(AllocateZeroed(bytes)), LargeBlockDeleter{bytes});
}

}  // namespace Pallix::Bake
