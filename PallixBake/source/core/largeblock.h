#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace Pallix::Bake {

// Zero-filled memory for large arrays (images, grid packets). Blocks of megabytes are mapped
// from the system on transparent huge pages where the kernel has them: filling one then takes
// a page fault per 2 MiB instead of per 4 KiB, which is most of what a fresh block costs. Smaller
// blocks come from the heap. Free with the size the block was asked for.
void* AllocateZeroed(size_t bytes);
void FreeZeroed(void* block, size_t bytes) noexcept;

struct LargeBlockDeleter {
    size_t bytes = 0;
    void operator()(void* block) const noexcept { FreeZeroed(block, bytes); }
};

// Asks for huge pages under a large block the heap handed out and that is about to be filled,
// such as a vector reserved for millions of records: the heap maps those on small pages.
void AdviseHugePages(const void* block, size_t bytes) noexcept;

// Reserves room for count records that are then written once, on huge pages when it is large.
template <class T>
void ReserveFilledOnce(std::vector<T>& array, size_t count) {
    array.reserve(count);
    AdviseHugePages(array.data(), array.capacity() * sizeof(T));
}

// Resizes an array that is then filled to n entries; the entries it gains are on huge pages
// when they are many.
template <class T>
void GrowForFilling(std::vector<T>& array, size_t n) {
    if (n > array.size()) {
        const size_t had = array.size();
        array.reserve(n);
        AdviseHugePages(array.data() + had, (n - had) * sizeof(T));
    }
    array.resize(n);
}

// count copies of value, on huge pages when that is large.
template <class T>
std::vector<T> FilledArray(size_t count, const T& value = T{}) {
    std::vector<T> array;
    ReserveFilledOnce(array, count);
    array.assign(count, value);
    return array;
}

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

// Bytes that grow at their end without being copied: the system moves the pages of a mapped
// block rather than their contents, so a block of gigabytes grows at the cost of its new room.
// Room that was never written to takes no memory.
class GrowingBlock {
public:
    GrowingBlock() = default;
    ~GrowingBlock() { Release(); }
    GrowingBlock(const GrowingBlock&) = delete;
    GrowingBlock& operator=(const GrowingBlock&) = delete;

    char* Data() const { return data_; }
    size_t Capacity() const { return capacity_; }
    // Room for at least bytes, the bytes held kept; false (and nothing changed) when the memory
    // or the address space is not there.
    bool Reserve(size_t bytes) noexcept;
    // Lets the room past bytes go.
    void Shrink(size_t bytes) noexcept;
    void Release() noexcept;

private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
};

}  // namespace Pallix::Bake
