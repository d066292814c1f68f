#include "trace/vertexsharing.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/largeblock.h"
#include "core/threadpool.h"
#include "geometry/scene.h"

namespace Pallix::Bake {

namespace {

// The per-vertex arrays of a mesh seen as bytes, to hash and compare whole vertices.
class VertexBytes {
public:
    explicit VertexBytes(const Mesh& mesh) : count_(mesh.positions.size()) {
        Add(mesh.positions);
        Add(mesh.normals);
        Add(mesh.uvs);
        Add(mesh.colours);
        Add(mesh.neighbourDirections);
    }

    // Every array that is there has an entry per position.
    bool Parallel() const { return parallel_; }

    uint64_t Hash(size_t v) const {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        for (size_t a = 0; a < arrayCount_; ++a) {
            const unsigned char* entry = arrays_[a].bytes + v * arrays_[a].size;
            for (size_t at = 0; at < arrays_[a].size; at += 4) {
                uint32_t word;
                std::memcpy(&word, entry + at, 4);
                h = (h ^ word) * 0xFF51AFD7ED558CCDull;
                h ^= h >> 32;
            }
        }
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 33);
    }

    bool Equal(size_t a, size_t b) const {
        for (size_t k = 0; k < arrayCount_; ++k) {
            const Array& array = arrays_[k];
            if (std::memcmp(array.bytes + a * array.size, array.bytes + b * array.size, array.size) != 0) return false;
        }
        return true;
    }

private:
    struct Array {
        const unsigned char* bytes = nullptr;
        size_t size = 0;  // of one entry, a multiple of four
    };

    template <class T>
    void Add(const std::vector<T>& array) {
        static_assert(sizeof(T) % 4 == 0, "entries are hashed in 32-bit words");
        if (array.empty()) return;
        if (array.size() != count_) parallel_ = false;
        arrays_[arrayCount_++] = {reinterpret_cast<const unsigned char*>(array.data()), sizeof(T)};
    }

    size_t count_;
    Array arrays_[5];
    size_t arrayCount_ = 0;
    bool parallel_ = true;
};

// An open-addressing table of vertex classes, filled by many threads at once: a slot holds
// 1 + the lowest vertex of its class seen so far, or 0 while free. A slot, once taken, only
// ever moves to a lower vertex of the same class, and vertices of one class probe the same
// slots in the same order, so every class ends in one slot holding its first vertex, whatever
// order the threads came in.
class ClassTable {
public:
    ClassTable(const VertexBytes& vertices, size_t count) : vertices_(vertices) {
        size_t size = 1024;
        while (size < 2 * count) size *= 2;
        mask_ = size - 1;
        slots_ = AllocateLarge<uint32_t>(size);
    }

    size_t Home(uint64_t hash) const { return size_t(hash) & mask_; }
    void Prefetch(size_t slot) const { __builtin_prefetch(&slots_[slot]); }

    // Enters v, whose slot to look at first is home, into its class; returns the class's slot.
    uint32_t Insert(size_t v, size_t home) {
        const uint32_t mine = uint32_t(v + 1);
        for (size_t slot = home;; slot = (slot + 1) & mask_) {
            std::atomic_ref<uint32_t> entry(slots_[slot]);
            uint32_t held = entry.load(std::memory_order_acquire);
            for (;;) {
                if (held == 0) {
                    if (entry.compare_exchange_weak(held, mine, std::memory_order_acq_rel)) return uint32_t(slot);
                    continue;
                }
                if (!vertices_.Equal(held - 1, v)) break;  // another class's slot
                if (held <= mine) return uint32_t(slot);
                if (entry.compare_exchange_weak(held, mine, std::memory_order_acq_rel)) return uint32_t(slot);
            }
        }
    }

    // The first vertex of the class in a slot Insert returned, once every insert is done.
    size_t First(uint32_t slot) const { return slots_[slot] - 1; }

private:
    const VertexBytes& vertices_;
    size_t mask_ = 0;
    LargeArray<uint32_t> slots_;
};

// Marks a vertex that another one stands for in the renumbering; vertex counts stay below 2^31.
constexpr uint32_t kShared = 0x80000000u;

template <class T>
void Gather(std::vector<T>& array, std::vector<T>& kept, size_t first, size_t last, const uint32_t* renumber) {
    if (array.empty()) return;
    for (size_t v = first; v < last; ++v)
        if (!(renumber[v] & kShared)) kept[renumber[v]] = array[v];
}

}  // namespace

size_t ShareIdenticalVertices(Mesh& mesh, ThreadPool* pool) {
    const size_t count = mesh.positions.size();
    const VertexBytes vertices(mesh);
    // A mesh that already shares its vertices has at most about one for each triangle: the
    // search would cost more than the few it could drop.
    if (count < 2 || count <= mesh.triangles.size() || count >= kShared || !vertices.Parallel()) return 0;

    LargeArray<uint32_t> renumber;
    size_t keptCount = 0;
    std::vector<size_t> partStarts((count + kVerticesPerPart - 1) / kVerticesPerPart + 1, 0);
    {
        // Each vertex notes the slot of its class, then, once every class knows its first
        // vertex, that vertex when it is another one; each part counts what it keeps.
        ClassTable classes(vertices, count);
        renumber = AllocateLarge<uint32_t>(count);
        ForEachPart(pool, count, kVerticesPerPart, [&](size_t first, size_t last) {
            // The slots of a batch are fetched together: the table is far larger than the caches.
            constexpr size_t kBatch = 32;
            size_t homes[kBatch];
            for (size_t batch = first; batch < last; batch += kBatch) {
                const size_t end = std::min(last, batch + kBatch);
                for (size_t v = batch; v < end; ++v) {
                    homes[v - batch] = classes.Home(vertices.Hash(v));
                    classes.Prefetch(homes[v - batch]);
                }
                for (size_t v = batch; v < end; ++v) renumber[v] = classes.Insert(v, homes[v - batch]);
            }
        });
        ForEachPart(pool, count, kVerticesPerPart, [&](size_t first, size_t last) {
            size_t kept = 0;
            for (size_t v = first; v < last; ++v) {
                const size_t firstOfClass = classes.First(renumber[v]);
                renumber[v] = firstOfClass == v ? 0 : uint32_t(firstOfClass) | kShared;
                kept += firstOfClass == v;
            }
            partStarts[first / kVerticesPerPart + 1] = kept;
        });
    }
    for (size_t p = 1; p < partStarts.size(); ++p) partStarts[p] += partStarts[p - 1];
    keptCount = partStarts.back();
    if (keptCount == count) return 0;

    // Kept vertices take their places in order and copy themselves there.
    const auto room = [keptCount](const auto& array) {
        return FilledArray<typename std::decay_t<decltype(array)>::value_type>(array.empty() ? 0 : keptCount);
    };
    auto positions = room(mesh.positions), normals = room(mesh.normals);
    auto uvs = room(mesh.uvs), directions = room(mesh.neighbourDirections);
    auto colours = room(mesh.colours);
    ForEachPart(pool, count, kVerticesPerPart, [&](size_t first, size_t last) {
        uint32_t next = uint32_t(partStarts[first / kVerticesPerPart]);
        for (size_t v = first; v < last; ++v)
            if (!(renumber[v] & kShared)) renumber[v] = next++;
        Gather(mesh.positions, positions, first, last, renumber.get());
        Gather(mesh.normals, normals, first, last, renumber.get());
        Gather(mesh.uvs, uvs, first, last, renumber.get());
        Gather(mesh.colours, colours, first, last, renumber.get());
        Gather(mesh.neighbourDirections, directions, first, last, renumber.get());
    });
    mesh.positions = std::move(positions);
    mesh.normals = std::move(normals);
    mesh.uvs = std::move(uvs);
    mesh.colours = std::move(colours);
    mesh.neighbourDirections = std::move(directions);

    const auto newIndex = [&renumber](int32_t v) {
        const uint32_t to = renumber[size_t(v)];
        return int32_t(to & kShared ? renumber[to & ~kShared] : to);
    };
    ForEachPart(pool, mesh.triangles.size(), kVerticesPerPart, [&](size_t first, size_t last) {
        for (size_t k = first; k < last; ++k) {
            MeshTriangle& t = mesh.triangles[k];
            for (int32_t* v : {&t.vertex0, &t.vertex1, &t.vertex2})
                if (*v >= 0 && size_t(*v) < count) *v = newIndex(*v);
        }
    });
    return count - keptCount;
}

}  // namespace Pallix::Bake
