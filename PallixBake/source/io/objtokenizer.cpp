#include "io/objtokenizer.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Pallix::Bake {

namespace {

std::string_view WithoutByteOrderMark(const char* text, size_t size) {
    const std::string_view all(text ? text : "", text ? size : 0);
    // A UTF-8 byte-order mark is no part of the first line.
    return all.substr(0, 3) == "\xEF\xBB\xBF" ? all.substr(3) : all;
}

}  // namespace

bool LineCursor::Next(std::string_view& line) {
    if (at_ >= end_) return false;
    if (!feed_ || feed_ < at_) {
        const void* feed = std::memchr(at_, '\n', size_t(end_ - at_));
        feed_ = feed ? static_cast<const char*>(feed) : end_;
    }
    const void* carriageReturn = std::memchr(at_, '\r', size_t(feed_ - at_));
    const char* stop = carriageReturn ? static_cast<const char*>(carriageReturn) : feed_;
    line = std::string_view(at_, size_t(stop - at_));
    if (stop == end_) at_ = end_;
    else if (*stop == '\r' && stop + 1 < end_ && stop[1] == '\n') at_ = stop + 2;
    else at_ = stop + 1;
    return true;
}

ObjTokenizer::ObjTokenizer(const char* text, size_t size) : lines_(WithoutByteOrderMark(text, size)) {}

bool ObjTokenizer::NextLine(std::string_view& line) {
    if (!lines_.Next(line)) return false;
    ++lineNumber_;
    return true;
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
