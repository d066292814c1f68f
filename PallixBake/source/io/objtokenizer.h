#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace Pallix::Bake {

// Line and token reader for Wavefront OBJ text, shared by every OBJ reader of the library.
//
// An ObjTokenizer reads its input (a file or a block of memory) one line at a time. Lines may be
// of any length; the line end ("\n", "\r\n" or a lone "\r") is not part of the line, and the
// last line needs none. A UTF-8 byte-order mark at the start of the input is skipped. A line is a view into the tokenizer's buffer, valid until the next call of NextLine.
// Nothing here throws: a file that cannot be opened gives IsOpen() false, a read error ends the
// lines early and sets ReadFailed().
//
// The static helpers work on one line (or the rest of one). None of them reads outside the view
// it is given, and the number parsers report failure instead of guessing a value:
//   NextToken   the next run of non-blank characters (blanks as C's isspace in the "C" locale);
//   ParseDouble a decimal floating-point number as C's strtod reads it (leading blanks, an
//               optional sign, digits with an optional point and exponent, "inf" and "nan");
//   ParseInt    a decimal integer as C's strtol reads it, failing on overflow of 64 bits;
//   ParseCorner a face corner "v", "v/t", "v//n" or "v/t/n" with signed indices.
// The parsers that take `std::string_view& text` skip leading blanks, consume what they parsed
// and leave `text` unchanged when they fail.
class ObjTokenizer {
public:
    // Reads the block [text, text + size); the block must outlive the tokenizer.
    ObjTokenizer(const char* text, size_t size);
    // Opens the file for reading; check IsOpen().
    explicit ObjTokenizer(const char* path);
    ~ObjTokenizer();
    ObjTokenizer(const ObjTokenizer&) = delete;
    ObjTokenizer& operator=(const ObjTokenizer&) = delete;

    bool IsOpen() const { return file_ != nullptr || memory_ != nullptr; }
    // Next line without its line end; false at the end of the input.
    bool NextLine(std::string_view& line);
    // 1-based number of the line NextLine returned last.
    int64_t LineNumber() const { return lineNumber_; }
    // Size of the whole input in bytes (for a file, its size when opened).
    uint64_t InputSize() const { return inputSize_; }
    bool ReadFailed() const { return readFailed_; }

    static bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    static std::string_view SkipBlanks(std::string_view text);
    // Returns the next token and advances text past it; empty at the end of the text.
    static std::string_view NextToken(std::string_view& text);
    static bool ParseDouble(std::string_view& text, double& value);
    static bool ParseInt(std::string_view& text, int64_t& value);

    // Indices as written in the file (1-based, negative counts back from the end); 0 = absent.
    struct Corner {
        int64_t position = 0;
        int64_t texCoord = 0;
        int64_t normal = 0;
    };
    // Parses a whole token; false when the position index is missing or a part is not a number.
    static bool ParseCorner(std::string_view token, Corner& corner);

private:
    void Refill();

    std::FILE* file_ = nullptr;
    const char* memory_ = nullptr;
    std::vector<char> buffer_;
    const char* begin_ = nullptr;  // unread bytes are [begin_, end_)
    const char* end_ = nullptr;
    bool atEnd_ = false;
    bool readFailed_ = false;
    bool bomChecked_ = false;
    bool afterCarriageReturn_ = false;  // the last line ended at a CR that was the last byte read
    int64_t lineNumber_ = 0;
    uint64_t inputSize_ = 0;
};

}  // namespace Pallix::Bake
