#include "core/largeblock.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

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

// Zero pages of MappedSize(bytes) starting on a huge page, or null.
void* MapAligned(size_t bytes) {
    const size_t size = MappedSize(bytes);
    if (size < bytes || size + kHugePage < size) return nullptr;
    // Mapped with a huge page to spare, then trimmed to a block that starts on a huge page.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
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

}  // namespace

void* AllocateZeroed(size_t bytes) {
    if (bytes < kMappedFrom) {
        void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (!block) throw std::bad_alloc();
        return block;
    }
    void* block = MapAligned(bytes);
    if (!block) throw std::bad_alloc();
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

#if defined(__SANITIZE_ADDRESS__)

// From the heap, whose bounds the address sanitizer watches: growing copies the bytes.
bool GrowingBlock::Reserve(size_t bytes) noexcept {
    if (bytes <= capacity_) return true;
    void* grown = std::realloc(data_, bytes);
    if (!grown) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = bytes;
    return true;
}

void GrowingBlock::Shrink(size_t bytes) noexcept {
    if (bytes >= capacity_) return;
    if (bytes == 0) return Release();
    if (void* shrunk = std::realloc(data_, bytes)) {
        data_ = static_cast<char*>(shrunk);
        capacity_ = bytes;
    }
}

void GrowingBlock::Release() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

#else

bool GrowingBlock::Reserve(size_t bytes) noexcept {
    if (bytes <= capacity_) return true;
    const size_t size = MappedSize(bytes);
    if (size < bytes) return false;
    if (!data_) {
        data_ = static_cast<char*>(MapAligned(size));
        capacity_ = data_ ? size : 0;
        return data_ != nullptr;
    }
    // The pages move to wherever the larger block fits; their bytes stay where they are.
    void* grown = mremap(data_, capacity_, size, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = size;
    return true;
}

void GrowingBlock::Shrink(size_t bytes) noexcept {
    if (bytes >= capacity_) return;
    if (bytes == 0) return Release();
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t size = (bytes + page - 1) / page * page;
    if (size < capacity_ && mremap(data_, capacity_, size, 0) != MAP_FAILED) capacity_ = size;
}

void GrowingBlock::Release() noexcept {
    if (data_) munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
}

#endif

}  // namespace Pallix::Bake
