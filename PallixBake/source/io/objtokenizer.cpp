#include "io/objtokenizer.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
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

namespace {

// The power of ten of the first non-zero digit of a decimal number such as "12.5e307" (308)
// or "0.004e-320" (-323); a number without one counts as 0. Only its sign and whether it lies
// beyond the range of a double matter, so exponents of any length saturate instead of
// overflowing: "12e9223372036854775807" is far above, "0.01e-9223372036854775807" far below.
int64_t LeadingPowerOfTen(std::string_view number) {
    constexpr int64_t kFar = int64_t(1) << 40;  // beyond any double, and any digits before it
    const size_t exponentAt = number.find_first_of("eE");
    const std::string_view mantissa = number.substr(0, exponentAt);
    int64_t exponent = 0;
    if (exponentAt != std::string_view::npos) {
        std::string_view digits = number.substr(exponentAt + 1);
        bool negative = false;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
            negative = digits.front() == '-';
            digits.remove_prefix(1);
        }
        for (const char c : digits) {
            if (c < '0' || c > '9') break;
            exponent = std::min(exponent * 10 + (c - '0'), kFar);
        }
        if (negative) exponent = -exponent;
    }
    const size_t point = std::min(mantissa.find('.'), mantissa.size());
    const size_t lead = mantissa.find_first_not_of("0.");
    if (lead == std::string_view::npos) return 0;
    // The digits before the first one that counts are no more than the text is long.
    const int64_t power = lead < point ? int64_t(std::min(point - lead, size_t(kFar))) - 1
                                       : -int64_t(std::min(lead - point, size_t(kFar)));
    return power + exponent;
}

}  // namespace

double ObjTokenizer::BeyondRange(std::string_view number) {
    const bool negative = !number.empty() && number.front() == '-';
    if (!number.empty() && (number.front() == '-' || number.front() == '+')) number.remove_prefix(1);
    const double magnitude = LeadingPowerOfTen(number) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
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
        // Overflow becomes infinity and underflow zero, as strtod gives them (without reading
        // the locale's decimal point); the callers decide whether such a value is acceptable.
        parsed = BeyondRange(std::string_view(digits, size_t(end - digits)));
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

namespace {

bool IsIntegerText(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

bool ObjTokenizer::ParseVector(std::string_view rest, VectorKind kind, double out[3], std::string& problem) {
    const int needed = kind == VectorKind::TexCoord ? 1 : 3, wanted = kind == VectorKind::TexCoord ? 2 : 3;
    out[0] = out[1] = out[2] = 0.0;
    for (int i = 0; i < wanted; ++i) {
        std::string_view field = rest;
        if (ParseDouble(field, out[i]) && EndsField(field)) {
            rest = field;
            continue;
        }
        field = rest;
        field = NextToken(field);
        if (!field.empty()) {
            problem = NotANumber(field);
            return false;
        }
        if (i >= needed) break;
        problem = kind == VectorKind::Position ? "a vertex needs three coordinates"
                  : kind == VectorKind::Normal ? "a normal needs three coordinates"
                                               : "a texture coordinate needs a number";
        return false;
    }
    // A double beyond single precision is as infinite as the float it becomes.
    for (int i = 0; i < wanted; ++i) {
        if (std::isfinite(float(out[i]))) continue;
        problem = kind == VectorKind::Position ? "vertex coordinate is not a finite number"
                  : kind == VectorKind::Normal ? "normal is not a finite number"
                                               : "texture coordinate is not a finite number";
        return false;
    }
    return true;
}

std::string ObjTokenizer::NotANumber(std::string_view field, std::string_view what) {
    std::string text;
    text.reserve(field.size() + what.size() + 10);
    text.append("'").append(field).append("' is not ").append(what);
    return text;
}

std::string_view ObjTokenizer::NonNumberPart(std::string_view token) {
    for (size_t at = 0; at <= token.size();) {
        const size_t slash = std::min(token.find('/', at), token.size());
        const std::string_view part = token.substr(at, slash - at);
        if (!part.empty() && !IsIntegerText(part)) return part;
        at = slash + 1;
    }
    return {};
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
