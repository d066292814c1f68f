#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Pallix::Bake {

// Splits OBJ text into lines: "\n", "\r\n" or a lone "\r" ends a line and is not part of it,
// and the last line needs none. Each end is found in time proportional to its line, also in
// text without any "\n".
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}
    bool Next(std::string_view& line);

private:
    const char* at_;
    const char* end_;
    const char* feed_ = nullptr;  // the next '\n' at or after at_, or end_; null before the first search
};

// Line and token reader for Wavefront OBJ text, shared by every OBJ reader of the library.
//
// An ObjTokenizer reads a block of text one line at a time, as LineCursor splits it, after a
// UTF-8 byte-order mark at its start. A line is a view into the text. Nothing here throws.
//
// The static helpers work on one line (or the rest of one). None of them reads outside the view
// it is given, and the number parsers report failure instead of guessing a value:
//   NextToken   the next run of non-blank characters (blanks as C's isspace in the "C" locale);
//   ParseDouble a decimal floating-point number as C's strtod reads it (leading blanks, an
//               optional sign, digits with an optional point and exponent, "inf" and "nan");
//   ParseInt    a decimal integer as C's strtol reads it, failing on overflow of 64 bits;
//   ParseCorner a face corner "v", "v/t", "v//n" or "v/t/n" with signed indices;
//   ParseVector the numbers of a "v", "vt" or "vn" line, each a whole field.
// The parsers that take `std::string_view& text` skip leading blanks, consume what they parsed
// and leave `text` unchanged when they fail. ParseDouble and ParseInt stop where the number
// does; their Field forms read the text up to the next blank as one number, so that "1,25" or
// "1.#QNAN" (a decimal comma, a C library's NaN) is no number at all rather than 1.
class ObjTokenizer {
public:
    // Reads the block [text, text + size); the block must outlive the tokenizer.
    ObjTokenizer(const char* text, size_t size);

    // Next line without its line end; false at the end of the text.
    bool NextLine(std::string_view& line);
    // 1-based number of the line NextLine returned last.
    int64_t LineNumber() const { return lineNumber_; }

    static bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    static std::string_view SkipBlanks(std::string_view text);
    // Returns the next token and advances text past it; empty at the end of the text.
    static std::string_view NextToken(std::string_view& text);
    static bool ParseDouble(std::string_view& text, double& value);
    static bool ParseInt(std::string_view& text, int64_t& value);
    // The value strtod gives a decimal number that from_chars found beyond the range of a double
    // ("1e309", "-0.5e9223372036854775808", 800 digits): infinite when too large, 0 when too small,
    // with the number's sign.
    static double BeyondRange(std::string_view number);
    static bool EndsField(std::string_view rest) { return rest.empty() || IsBlank(rest.front()); }
    static bool ParseDoubleField(std::string_view& text, double& value) {
        std::string_view rest = text;
        double parsed = 0.0;
        if (!ParseDouble(rest, parsed) || !EndsField(rest)) return false;
        value = parsed;
        text = rest;
        return true;
    }
    static bool ParseIntField(std::string_view& text, int64_t& value) {
        std::string_view rest = text;
        int64_t parsed = 0;
        if (!ParseInt(rest, parsed) || !EndsField(rest)) return false;
        value = parsed;
        text = rest;
        return true;
    }

    // What a "v", "vt" or "vn" line holds after its keyword, as every OBJ reader reads it: x, y
    // and z (of a texture coordinate u and an optional v, 0 when absent; out[2] is then 0).
    // Further numbers, a w or the colour some tools append, are not read. Each number must be a
    // whole field and finite in single precision; false with the reason otherwise.
    enum class VectorKind { Position, TexCoord, Normal };
    static bool ParseVector(std::string_view rest, VectorKind kind, double out[3], std::string& problem);
    // What the readers say of a field that holds no number: "'1,25' is not a number".
    static std::string NotANumber(std::string_view field, std::string_view what = "a number");

    // Indices as written in the file (1-based, negative counts back from the end); 0 = absent.
    struct Corner {
        int64_t position = 0;
        int64_t texCoord = 0;
        int64_t normal = 0;
    };
    // Parses a whole token; false when the position index is missing or a part is not a number.
    static bool ParseCorner(std::string_view token, Corner& corner);
    // The first part of a corner ParseCorner refused, between slashes, that holds something other
    // than an integer ("1x" of "1x/2"); empty when its parts are integers or empty, and the
    // corner is refused for its shape or an integer too large.
    static std::string_view NonNumberPart(std::string_view token);

private:
    LineCursor lines_;
    int64_t lineNumber_ = 0;
};

}  // namespace Pallix::Bake
