#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/largeblock.h"
#include "core/threadpool.h"

namespace Pallix::Bake {

// Bytes of one parse task of the OBJ and PLY readers: small enough that eight threads share a
// file evenly, large enough that a task's overhead is nothing beside its parse.
constexpr size_t DefaultChunkBytes = size_t(1) << 20;

// Room for the bytes one task reads from a file; it grows without clearing what it will be given.
class ReadBuffer {
public:
    char* Room(size_t bytes);

private:
    LargeArray<char> data_;
    size_t size_ = 0;
};

// Bytes read a part at a time from somewhere that is neither a file nor a block held in memory.
// Nothing promises that two readings of one part agree, as nothing does for a file that another
// program rewrites while it is read. Read may be called from several threads at once.
class InputSource {
public:
    virtual ~InputSource() = default;
    virtual uint64_t Size() const = 0;
    // Fills out with the count bytes at offset (which lie within Size()); false when it cannot.
    virtual bool Read(uint64_t offset, size_t count, char* out) const = 0;
};

// An input file or block of memory that many threads read at once, each its own parts. A regular
// file is read where it lies, a part at a time, so no copy of the whole file is ever made unless
// a reader asks to hold it; a pipe, a device or a file whose size reads 0 (as on /proc and some
// network file systems) is read to its end when it is opened, into one block held while the input
// lives. Nothing here throws but std::bad_alloc.
//
// Another program may rewrite a file while it is read: the readers must never trust a second
// reading of a part to hold what the first held, and ask Changed() before they report a result.
class ChunkedInput {
public:
    // Whether an input that begins with head may hold what the reader reads; it is asked only
    // of an input that runs on past its first HeadBytes, and only those are read when it says no.
    using HeadCheck = bool (*)(std::string_view head);
    static constexpr size_t HeadBytes = size_t(64) << 10;

    // The block must outlive the input.
    ChunkedInput(const char* data, size_t size);
    // The source must outlive the input.
    explicit ChunkedInput(const InputSource& source);
    explicit ChunkedInput(const char* path, HeadCheck check = nullptr);
    ~ChunkedInput();
    ChunkedInput(const ChunkedInput&) = delete;
    ChunkedInput& operator=(const ChunkedInput&) = delete;

    bool IsOpen() const { return open_; }
    // The path names a folder, which opens but holds no mesh.
    bool IsFolder() const { return folder_; }
    uint64_t Size() const { return size_; }
    // The head check refused the first bytes: of a stream, no more were read.
    bool HeadRefused() const { return headRefused_; }
    // A stream that could not be read to its end when it was opened; Size() is what was read.
    bool ReadFailed() const { return readFailed_; }
    // A stream that ran past the memory there was to hold it: it was read no further, and what
    // was read has been let go (Size() is 0).
    bool OutOfMemory() const { return outOfMemory_; }
    // The bytes of memory there were to hold a stream.
    uint64_t StreamLimit() const { return streamLimit_; }
    // Whether the file's size or modification time is no longer what it was when it was opened.
    bool Changed() const;

    // Reads a file or source whole into memory the input holds, for readers that need all of it
    // in one block; a stream or a block is held already. False when it cannot be read.
    bool Hold();
    // Every byte, once held.
    std::string_view Whole() const { return data_ ? std::string_view(data_, size_t(size_)) : std::string_view(); }

    // The bytes [offset, offset + length), cut at the end of the input: a view into the held
    // bytes, or into buffer once read into it. False when a file cannot be read there.
    bool View(uint64_t offset, size_t length, ReadBuffer& buffer, std::string_view& bytes) const;
    // Copies the bytes [offset, offset + length) to out; false when they are not all there.
    bool Read(uint64_t offset, size_t length, char* out) const;

private:
    void ReadStream(HeadCheck check);

    int fd_ = -1;
    const char* data_ = nullptr;  // a block, or the held bytes
    const InputSource* source_ = nullptr;
    uint64_t size_ = 0;
    bool open_ = false;
    bool folder_ = false;
    bool headRefused_ = false;
    bool readFailed_ = false;
    bool outOfMemory_ = false;
    int64_t modifiedSeconds_ = 0, modifiedNanoseconds_ = 0;
    uint64_t streamLimit_ = 0;
    GrowingBlock held_;
};

// What the readers say of a file that another program changed while they read it.
std::string ChangedWhileRead(const std::string& name);
// Throws ImportException naming the path when an opened input holds no mesh to read: a folder,
// or a stream that ran out of memory.
void CheckWholeInput(const ChunkedInput& input, const std::string& path);

// Reads a chunked input front to back through a buffer of its own.
class SequentialInput {
public:
    SequentialInput(const ChunkedInput& input, uint64_t offset);
    uint64_t Offset() const { return offset_ - uint64_t(end_ - begin_); }
    uint64_t Remaining() const { return input_.Size() - Offset(); }
    // The next line without its line end ("\n" or "\r\n"); false at the end of the input.
    bool ReadLine(std::string& line);
    bool Read(void* target, size_t count);
    bool Skip(uint64_t count);
    void Seek(uint64_t offset);

private:
    bool Refill();

    const ChunkedInput& input_;
    uint64_t offset_;  // of the byte after the buffered ones
    ReadBuffer storage_;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    bool failed_ = false;  // a part could not be read: the input ends there
};

// What ends a line: in OBJ text "\n", "\r\n" or a lone "\r"; in a PLY body "\n" alone.
enum class LineEnds { FeedOrReturn, Feed };

// Offsets that split [begin, input size) into pieces of about chunkBytes, each starting at the
// start of a line: the first is begin, the last the input size. A line longer than a chunk makes
// its chunk longer; no chunk is empty. False when the input cannot be read.
bool LineChunkStarts(const ChunkedInput& input, uint64_t begin, size_t chunkBytes, LineEnds ends,
                     std::vector<uint64_t>& starts);

// The threads of one import, and a way to run a task per chunk on them in any order.
class ImportWorkers {
public:
    // 0 workers means one per hardware thread. The threads start when a run first needs them.
    explicit ImportWorkers(unsigned workers);
    // Runs task(chunk, buffer) for chunk 0 .. chunks - 1, each thread with a buffer of its own;
    // waits for all and rethrows the first exception.
    template <class Task>
    void ForEachChunk(size_t chunks, const Task& task);

private:
    size_t count_;
    std::unique_ptr<ThreadPool> pool_;
    std::vector<ReadBuffer> buffers_;  // one per running task, kept from run to run
};

template <class Task>
void ImportWorkers::ForEachChunk(size_t chunks, const Task& task) {
    if (chunks == 0) return;
    const size_t threads = std::min(count_, chunks);
    std::atomic<size_t> next{0};
    if (buffers_.size() < threads) buffers_.resize(threads);
    std::atomic<size_t> slots{0};
    auto run = [&] {
        ReadBuffer& buffer = buffers_[slots++];
        try {
            for (size_t chunk = next++; chunk < chunks; chunk = next++) task(chunk, buffer);
        } catch (...) {
            next = chunks;  // the others stop at their next chunk
            throw;
        }
    };
    if (threads == 1) {
        run();
        return;
    }
    if (!pool_) pool_ = std::make_unique<ThreadPool>(count_);
    std::vector<std::future<void>> futures;
    futures.reserve(threads);
    try {
        for (size_t t = 0; t < threads; ++t) futures.push_back(pool_->Enqueue(run));
    } catch (...) {
        next = chunks;
        for (auto& future : futures) future.wait();
        throw;
    }
    WaitAllAndRethrow(futures);
}

}  // namespace Pallix::Bake
