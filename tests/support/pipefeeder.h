#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace KelvorTest {

// A named pipe at path that a thread of its own writes into once a reader opens it: the bytes
// given, the bytes of a file, or as many zero bytes as asked for. The writing stops when the reader closes its end,
// so Written() tells how much of the stream was taken once the reader is done with it.
class PipeFeeder {
public:
    PipeFeeder(std::string path, std::string bytes) : path_(std::move(path)), bytes_(std::move(bytes)) { Start(); }
    PipeFeeder(std::string path, uint64_t zeros) : path_(std::move(path)), zeros_(zeros) { Start(); }
    // Read as it is written, so that this process holds none of it: a program it starts would
    // count that memory as its own until it runs.
    struct File {
        std::string path;
    };
    PipeFeeder(std::string path, File file) : path_(std::move(path)), file_(std::move(file.path)) { Start(); }
    PipeFeeder(const PipeFeeder&) = delete;
    PipeFeeder& operator=(const PipeFeeder&) = delete;

    ~PipeFeeder() {
        Stop();
        ::unlink(path_.c_str());
    }

    bool Made() const { return made_; }
    // Once the reader is done: the bytes it took, the pipe's buffer included.
    uint64_t Written() {
        Stop();
        return written_;
    }

private:
    void Start() {
        // A reader that leaves early makes writes fail instead of ending the test program.
        std::signal(SIGPIPE, SIG_IGN);
        ::unlink(path_.c_str());
        made_ = ::mkfifo(path_.c_str(), 0600) == 0;
        writer_ = std::thread([this] { Feed(); });
    }

    void Stop() {
        if (!writer_.joinable()) return;
        // A reader that never came: opening the other end lets the writer's open return.
        if (!opened_) {
            const int reader = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
            if (reader >= 0) ::close(reader);
        }
        writer_.join();
    }

    void Feed() {
        if (!made_) return;
        const int fd = ::open(path_.c_str(), O_WRONLY);
        opened_ = true;
        if (fd < 0) return;
        const int from = file_.empty() ? -1 : ::open(file_.c_str(), O_RDONLY);
        std::string block(zeros_ || from >= 0 ? size_t(1) << 20 : 0, '\0');
        for (bool more = true; more;) {
            std::string_view part;
            if (from >= 0) {
                const ssize_t got = ::read(from, block.data(), block.size());
                part = std::string_view(block.data(), size_t(std::max<ssize_t>(got, 0)));
            } else if (zeros_) {
                part = std::string_view(block.data(), size_t(std::min<uint64_t>(zeros_ - written_, block.size())));
            } else {
                part = std::string_view(bytes_).substr(size_t(written_));
            }
            more = WriteAll(fd, part);
        }
        if (from >= 0) ::close(from);
        ::close(fd);
    }

    // False at the end of what there is to write, or once the reader has gone.
    bool WriteAll(int fd, std::string_view part) {
        if (part.empty()) return false;
        while (!part.empty()) {
            const ssize_t got = ::write(fd, part.data(), part.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            written_ += uint64_t(got);
            part.remove_prefix(size_t(got));
        }
        return true;
    }

    std::string path_;
    std::string bytes_;
    std::string file_;
    uint64_t zeros_ = 0;
    bool made_ = false;
    std::atomic<bool> opened_{false};
    uint64_t written_ = 0;
    std::thread writer_;
};

}  // namespace KelvorTest
