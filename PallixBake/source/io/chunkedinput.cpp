#include "io/chunkedinput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/availablememory.h"
#include "core/importexception.h"

namespace Pallix::Bake {

namespace {

constexpr size_t SequentialBytes = size_t(1) << 20;
constexpr size_t StreamStepBytes = size_t(8) << 20;

// Reads up to count bytes at offset; the bytes read, or -1 on an error.
int64_t ReadAt(int fd, char* out, size_t count, uint64_t offset) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd, out + done, count - done, off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += size_t(got);
    }
    return int64_t(done);
}

}  // namespace

char* ReadBuffer::Room(size_t bytes) {
    if (bytes > size_) {
        // Large enough for a chunk and the lines that run past it, on huge pages.
        size_ = std::max(bytes + bytes / 4, bytes >= (size_t(1) << 19) ? size_t(4) << 20 : size_t(0));
        data_ = AllocateLarge<char>(size_);
    }
    return data_.get();
}

ChunkedInput::ChunkedInput(const char* data, size_t size)
    : data_(data ? data : ""), size_(data ? size : 0), open_(true) {}

ChunkedInput::ChunkedInput(const InputSource& source) : source_(&source), size_(source.Size()), open_(true) {}

ChunkedInput::ChunkedInput(const char* path, HeadCheck check) {
    if (!path) return;
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    open_ = true;
    struct stat info {};
    if (::fstat(fd_, &info) == 0) {
        folder_ = S_ISDIR(info.st_mode);
        if (folder_) return;
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            size_ = uint64_t(info.st_size);
            modifiedSeconds_ = int64_t(info.st_mtim.tv_sec);
            modifiedNanoseconds_ = int64_t(info.st_mtim.tv_nsec);
            if (check && size_ > HeadBytes) {
                // A head that cannot be read is left to the reader, which meets the same error.
                const auto head = std::make_unique_for_overwrite<char[]>(HeadBytes);
                if (ReadAt(fd_, head.get(), HeadBytes, 0) == int64_t(HeadBytes))
                    headRefused_ = !check(std::string_view(head.get(), HeadBytes));
            }
            return;
        }
    }
    // A pipe, a device or a file that does not tell its size: that is only known once it has
    // been read.
    ReadStream(check);
    ::close(fd_);
    fd_ = -1;
}

void ChunkedInput::ReadStream(HeadCheck check) {
    // A stream may never end (a device such as /dev/zero): it is read only while the memory
    // there is can hold it, less an eighth for the rest of the process.
    const uint64_t available = AvailableMemory();
    const uint64_t limit = available - available / 8;
    auto runOut = [&] {
        // What was read goes at once, so that the refusal itself has memory to be made in.
        outOfMemory_ = true;
        streamLimit_ = available;
        held_.Release();
        size_ = 0;
    };
    auto finish = [&] {
        held_.Shrink(size_t(size_));
        data_ = held_.Data() ? held_.Data() : "";
    };
    for (;;) {
        if (check && size_ > HeadBytes) {
            headRefused_ = !check(std::string_view(held_.Data(), HeadBytes));
            check = nullptr;
            if (headRefused_) return finish();
        }
        if (size_ + StreamStepBytes > held_.Capacity()) {
            if (size_ + StreamStepBytes > limit) return runOut();
            // Half as much again each time: few moves of the block, and never more room than the limit.
            const uint64_t capacity = held_.Capacity();
            const uint64_t wanted = std::min(std::max(size_ + StreamStepBytes, capacity + capacity / 2), limit);
            if (!held_.Reserve(size_t(wanted)) && !held_.Reserve(size_t(size_ + StreamStepBytes))) return runOut();
        }
        // Until the head has been checked, no more than it and one byte past it.
        const size_t room = check ? size_t(HeadBytes + 1 - size_) : StreamStepBytes;
        const ssize_t got = ::read(fd_, held_.Data() + size_, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readFailed_ = true;
        if (got <= 0) return finish();
        size_ += uint64_t(got);
    }
}

ChunkedInput::~ChunkedInput() {
    if (fd_ >= 0) ::close(fd_);
}

bool ChunkedInput::Changed() const {
    if (fd_ < 0) return false;
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return true;
    return uint64_t(info.st_size) != size_ || int64_t(info.st_mtim.tv_sec) != modifiedSeconds_ ||
           int64_t(info.st_mtim.tv_nsec) != modifiedNanoseconds_;
}

bool ChunkedInput::Hold() {
    if (data_) return true;
    if (!open_ || folder_ || outOfMemory_) return false;
    if (size_ > SIZE_MAX || !held_.Reserve(std::max<size_t>(size_t(size_), 1))) throw std::bad_alloc();
    if (!Read(0, size_t(size_), held_.Data())) {
        held_.Release();
        return false;
    }
    data_ = held_.Data();
    return true;
}

bool ChunkedInput::View(uint64_t offset, size_t length, ReadBuffer& buffer, std::string_view& bytes) const {
    offset = std::min(offset, size_);
    length = size_t(std::min<uint64_t>(length, size_ - offset));
    if (data_) {
        bytes = std::string_view(data_ + offset, length);
        return true;
    }
    if (length == 0) {
        bytes = {};
        return true;
    }
    // From a file or source: copied out.
    char* room = buffer.Room(length);
    if (!Read(offset, length, room)) return false;
    bytes = std::string_view(room, length);
    return true;
}

bool ChunkedInput::Read(uint64_t offset, size_t length, char* out) const {
    if (offset > size_ || length > size_ - offset) return false;
    if (data_) {
        std::memcpy(out, data_ + offset, length);
        return true;
    }
    if (length == 0) return true;
    if (source_) return source_->Read(offset, length, out);
    // A file cut short while it is read counts as unreadable too.
    return ReadAt(fd_, out, length, offset) == int64_t(length);
}

std::string ChangedWhileRead(const std::string& name) { return name + " changed while it was being read"; }

void CheckWholeInput(const ChunkedInput& input, const std::string& path) {
    if (input.IsFolder()) throw ImportException(path + " is a folder");
    if (input.OutOfMemory()) {
        char gigabytes[32];
        std::snprintf(gigabytes, sizeof gigabytes, "%.1f GB", double(input.StreamLimit()) / 1e9);
        throw ImportException("Not enough memory to read " + path + ": it runs on past the " + gigabytes +
                              " of memory available");
    }
}

SequentialInput::SequentialInput(const ChunkedInput& input, uint64_t offset) : input_(input), offset_(offset) {}

bool SequentialInput::Refill() {
    if (failed_ || offset_ >= input_.Size()) return false;
    std::string_view bytes;
    if (!input_.View(offset_, SequentialBytes, storage_, bytes)) {
        failed_ = true;
        return false;
    }
    begin_ = bytes.data();
    end_ = begin_ + bytes.size();
    offset_ += bytes.size();
    return !bytes.empty();
}

bool SequentialInput::ReadLine(std::string& line) {
    line.clear();
    for (;;) {
        const void* newline = begin_ ? std::memchr(begin_, '\n', size_t(end_ - begin_)) : nullptr;
        if (newline) {
            const char* stop = static_cast<const char*>(newline);
            line.append(begin_, stop);
            begin_ = stop + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (begin_) line.append(begin_, end_);
        begin_ = end_;
        if (!Refill()) {
            const bool any = !line.empty();
            if (any && line.back() == '\r') line.pop_back();
            return any;
        }
    }
}

bool SequentialInput::Read(void* target, size_t count) {
    char* out = static_cast<char*>(target);
    while (count > 0) {
        if (begin_ == end_ && !Refill()) return false;
        const size_t n = std::min(count, size_t(end_ - begin_));
        std::memcpy(out, begin_, n);
        begin_ += n;
        out += n;
        count -= n;
    }
    return true;
}

bool SequentialInput::Skip(uint64_t count) {
    const uint64_t buffered = uint64_t(end_ - begin_);
    if (count <= buffered) {
        begin_ += count;
        return true;
    }
    count -= buffered;
    begin_ = end_;
    if (count > input_.Size() - offset_) {
        offset_ = input_.Size();
        return false;
    }
    offset_ += count;
    return true;
}

void SequentialInput::Seek(uint64_t offset) {
    begin_ = end_ = nullptr;
    offset_ = std::min(offset, input_.Size());
}

bool LineChunkStarts(const ChunkedInput& input, uint64_t begin, size_t chunkBytes, LineEnds ends,
                     std::vector<uint64_t>& starts) {
    const uint64_t size = input.Size();
    chunkBytes = std::max<size_t>(chunkBytes, 1);
    starts.assign(1, std::min(begin, size));
    ReadBuffer buffer;
    // A line spanning many nominal starts is searched once: starts it covers are passed over.
    for (uint64_t nominal = starts.back() + chunkBytes; nominal < size; nominal += chunkBytes) {
        if (nominal <= starts.back()) continue;
        uint64_t at = nominal, found = size;
        size_t window = 4096;
        while (at < size && found == size) {
            // One byte before the window tells whether its first byte starts a line.
            std::string_view bytes;
            if (!input.View(at - 1, window + 1, buffer, bytes)) return false;
            for (size_t i = 1; i < bytes.size(); ++i) {
                const char before = bytes[i - 1];
                if (before == '\n' || (ends == LineEnds::FeedOrReturn && before == '\r' && bytes[i] != '\n')) {
                    found = at - 1 + i;
                    break;
                }
            }
            at += bytes.size() - 1;
            window = std::min<size_t>(window * 2, size_t(1) << 24);
        }
        if (found >= size) break;
        starts.push_back(found);
    }
    starts.push_back(size);
    return true;
}

ImportWorkers::ImportWorkers(unsigned workers) : count_(workers ? workers : std::max(1u, std::thread::hardware_concurrency())) {}

}  // namespace Pallix::Bake
