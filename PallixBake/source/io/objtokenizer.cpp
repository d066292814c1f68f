#include "io/objtokenizer.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace Pallix::Bake {

namespace {

constexpr size_t ChunkSize = size_t(1) << 20;

// First '\n' or '\r' in [from, to), or null. One pass over the bytes: searching for each of
// the two apart would rescan the rest of a file without line feeds for every line.
const char* FindLineEnd(const char* from, const char* to) {
    for (const char* p = from; p < to; ++p)
        if (static_cast<unsigned char>(*p) <= '\r' && (*p == '\n' || *p == '\r')) return p;
    return nullptr;
}

}  // namespace

ObjTokenizer::ObjTokenizer(const char* text, size_t size)
    : memory_(text ? text : ""), begin_(memory_), end_(memory_ + (text ? size : 0)), atEnd_(true),
      inputSize_(text ? size : 0) {}

ObjTokenizer::ObjTokenizer(const char* path) {
    file_ = path ? std::fopen(path, "rb") : nullptr;
    if (!file_) return;
    struct stat info {};
    if (fstat(fileno(file_), &info) == 0 && info.st_size > 0) inputSize_ = uint64_t(info.st_size);
    // Small files need no more than their own size; large ones are read in chunks.
    buffer_.resize(inputSize_ + 1 < ChunkSize ? size_t(inputSize_) + 1 : ChunkSize);
    begin_ = end_ = buffer_.data();
}

ObjTokenizer::~ObjTokenizer() {
    if (file_) std::fclose(file_);
}

void ObjTokenizer::Refill() {
    if (atEnd_ || !file_) {
        atEnd_ = true;
        return;
    }
    const size_t pending = size_t(end_ - begin_);
    if (pending == buffer_.size()) {
        // A line longer than the buffer: grow it rather than cut the line.
        std::vector<char> larger(buffer_.size() * 2);
        std::memcpy(larger.data(), begin_, pending);
        buffer_.swap(larger);
    } else if (pending > 0 && begin_ != buffer_.data()) {
        std::memmove(buffer_.data(), begin_, pending);
    }
    begin_ = buffer_.data();
    end_ = begin_ + pending;
    const size_t room = buffer_.size() - pending;
    const size_t got = std::fread(buffer_.data() + pending, 1, room, file_);
    end_ += got;
    if (got < room) {
        atEnd_ = true;
        readFailed_ = std::ferror(file_) != 0;
    }
}

bool ObjTokenizer::NextLine(std::string_view& line) {
    if (!bomChecked_) {
        // A UTF-8 byte-order mark is no part of the first line.
        while (size_t(end_ - begin_) < 3 && !atEnd_) Refill();
        if (size_t(end_ - begin_) >= 3 && std::memcmp(begin_, "\xEF\xBB\xBF", 3) == 0) begin_ += 3;
        bomChecked_ = true;
    }
    size_t scanned = 0;  // bytes of the pending line already searched for its end
    for (;;) {
        if (afterCarriageReturn_ && begin_ < end_) {
            // The line feed of a CR LF pair that the last line ended at the CR of.
            if (*begin_ == '\n') ++begin_;
            afterCarriageReturn_ = false;
        }
        const size_t pending = size_t(end_ - begin_);
        const char* stop = pending > scanned ? FindLineEnd(begin_ + scanned, end_) : nullptr;
        if (stop) {
            line = std::string_view(begin_, size_t(stop - begin_));
            // A lone CR ends a line too (old Mac files); a CR LF pair is one line end.
            if (*stop == '\r') {
                if (stop + 1 < end_) {
                    begin_ = stop + (stop[1] == '\n' ? 2 : 1);
                } else {
                    begin_ = stop + 1;
                    afterCarriageReturn_ = true;
                }
            } else {
                begin_ = stop + 1;
            }
            ++lineNumber_;
            return true;
        }
        scanned = pending;
        if (!atEnd_) {
            Refill();
            continue;
        }
        if (begin_ == end_) return false;
        line = std::string_view(begin_, size_t(end_ - begin_));
        begin_ = end_;
        ++lineNumber_;
        return true;
    }
}

std::string_view ObjTokenizer::SkipBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return text.substr(i);
}

std::string_view ObjTokenizer::NextToken(std::string_view& text) {
    text = SkipBlanks(text);
    size_t i = 0;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    const std::string_view token = text.substr(0, i);
    text.remove_prefix(i);
    return token;
}

bool ObjTokenizer::ParseDouble(std::string_view& text, double& value) {
    const std::string_view rest = SkipBlanks(text);
    const char* first = rest.data();
    const char* last = first + rest.size();
    const char* digits = first;
    bool negative = false;
    if (digits < last && (*digits == '+' || *digits == '-')) {
        negative = *digits == '-';
        ++digits;
    }
    // from_chars takes no sign of its own here, so "+-1" and "--1" fail as they do for strtod.
    if (digits == last || *digits == '+' || *digits == '-') return false;
    double parsed = 0.0;
    const auto [end, error] = std::from_chars(digits, last, parsed);
    if (end == digits) return false;
    if (error == std::errc::result_out_of_range) {
        // Overflow becomes infinity and underflow a tiny value, as strtod gives them; the
        // callers decide whether such a value is acceptable.
        const std::string copy(digits, end);
        parsed = std::strtod(copy.c_str(), nullptr);
    } else if (error != std::errc()) {
        return false;
    }
    value = negative ? -parsed : parsed;
    text = rest.substr(size_t(end - first));
    return true;
}

bool ObjTokenizer::ParseInt(std::string_view& text, int64_t& value) {
    const std::string_view rest = SkipBlanks(text);
    const char* first = rest.data();
    const char* last = first + rest.size();
    const char* digits = first;
    if (digits < last && *digits == '+') ++digits;
    if (digits == last || *digits == '+' || (*digits == '-' && digits != first)) return false;
    int64_t parsed = 0;
    const auto [end, error] = std::from_chars(digits, last, parsed);
    if (error != std::errc() || end == digits) return false;
    value = parsed;
    text = rest.substr(size_t(end - first));
    return true;
}

bool ObjTokenizer::ParseCorner(std::string_view token, Corner& corner) {
    Corner parsed;
    std::string_view rest = token;
    if (rest.empty() || IsBlank(rest.front()) || !ParseInt(rest, parsed.position)) return false;
    int64_t* const slots[2] = {&parsed.texCoord, &parsed.normal};
    for (int64_t* slot : slots) {
        if (rest.empty()) break;
        if (rest.front() != '/') return false;
        rest.remove_prefix(1);
        if (rest.empty() || rest.front() == '/') continue;  // "v//n" or a trailing '/'
        if (IsBlank(rest.front()) || !ParseInt(rest, *slot)) return false;
    }
    if (!rest.empty()) return false;
    corner = parsed;
    return true;
}

}  // namespace Pallix::Bake
