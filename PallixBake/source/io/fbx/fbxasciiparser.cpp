#include <charconv>
#include <string>

#include "io/fbx/fbxdocument.h"
#include "io/objtokenizer.h"

namespace Pallix::Bake {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDelimiter(char c) {
    return IsBlank(c) || c == '\n' || c == ',' || c == ':' || c == '{' || c == '}' || c == '"' || c == ';';
}

// Reads the record tree of an ASCII file: "Name: value, value, ... { children }", arrays as
// "Name: *count { a: numbers }", comments from ';' to the line end, and value lists that continue
// on the next line, with the comma at the end of one line or at the start of the next.
class FbxAsciiParser {
public:
    explicit FbxAsciiParser(std::string_view text) : text(text) {}

    FbxDocument Parse() {
        FbxDocument document;
        if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
        ReadChildren(document.root, 0, true);
        if (const FbxElement* header = document.root.Find("FBXHeaderExtension"))
            if (const FbxElement* version = header->Find("FBXVersion"))
                if (!version->values.empty()) document.version = int(version->values[0].AsInteger());
        return document;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        size_t line = 1;
        for (size_t i = 0; i < pos && i < text.size(); ++i) line += text[i] == '\n';
        throw FbxFormatError(what + " on line " + std::to_string(line));
    }

    // The word of an array that starts at `start` and ends at pos, which ParseNumber refused: a
    // number beyond the range of a double, or none.
    [[gnu::cold]] void NumberOrFail(size_t start, FbxValue& number) const {
        const std::string_view word = text.substr(start, pos - start);
        if (!NumberBeyondRange(word, number)) Fail(ObjTokenizer::NotANumber(word, "a number in an array"));
    }

    bool AtEnd() const { return pos >= text.size(); }
    char Peek() const { return pos < text.size() ? text[pos] : '\0'; }

    // Skips blanks and comments; line ends too when asked.
    void Skip(bool lineEnds) {
        while (pos < text.size()) {
            const char c = text[pos];
            if (IsBlank(c) || (lineEnds && c == '\n')) {
                ++pos;
            } else if (c == ';') {
                while (pos < text.size() && text[pos] != '\n') ++pos;
            } else {
                break;
            }
        }
    }

    // The first character after blanks, line ends and comments, without moving on; '\0' at the end.
    char NextAfterLineEnds() const {
        size_t at = pos;
        while (at < text.size()) {
            const char c = text[at];
            if (IsBlank(c) || c == '\n') {
                ++at;
            } else if (c == ';') {
                while (at < text.size() && text[at] != '\n') ++at;
            } else {
                return c;
            }
        }
        return '\0';
    }

    void ReadChildren(FbxElement& parent, int depth, bool topLevel) {
        if (depth >= FbxMaxNesting) Fail("records nested too deeply");
        for (;;) {
            Skip(true);
            if (AtEnd()) {
                if (!topLevel) Fail("missing '}' at the end of '" + parent.name + "'");
                return;
            }
            if (Peek() == '}') {
                if (topLevel) Fail("unexpected '}'");
                ++pos;
                return;
            }
            FbxElement element;
            ReadElement(element, depth);
            parent.children.push_back(std::move(element));
        }
    }

    void ReadElement(FbxElement& element, int depth) {
        const size_t start = pos;
        while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
        if (pos == start || Peek() != ':') Fail("expected a record name followed by ':'");
        element.name.assign(text.substr(start, pos - start));
        ++pos;
        Skip(false);
        // "Content: ," puts the value (a long quoted string) on the lines that follow.
        const bool leadingComma = Peek() == ',';
        if (leadingComma) {
            ++pos;
            Skip(true);
        }
        if (!AtEnd() && (leadingComma || Peek() != '\n') && Peek() != '{' && Peek() != '}') {
            for (;;) {
                element.values.push_back(ReadValue(depth));
                Skip(false);
                // A wrapped list carries its comma at the end of a line or at the start of the next.
                if (Peek() == '\n' && NextAfterLineEnds() == ',') Skip(true);
                if (Peek() != ',') break;
                ++pos;
                Skip(true);
                if (Peek() == '}') break;
            }
        }
        if (Peek() == '{') {
            ++pos;
            ReadChildren(element, depth + 1, false);
        }
    }

    FbxValue ReadValue(int depth) {
        const char c = Peek();
        if (c == '"') return FbxValue(ReadString());
        if (c == '*') return ReadArray(depth);
        const size_t start = pos;
        while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
        if (pos == start) Fail("expected a value");
        const std::string_view token = text.substr(start, pos - start);
        FbxValue number;
        if (ReadNumber(token, number)) return number;
        return FbxValue(std::string(token));  // a bare word such as T or Y
    }

    std::string ReadString() {
        const size_t start = ++pos;
        while (pos < text.size() && text[pos] != '"') ++pos;
        if (AtEnd()) Fail("unterminated string");
        const std::string_view raw = text.substr(start, pos - start);
        ++pos;
        // Quotes inside strings are written as an entity.
        std::string value;
        value.reserve(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw.compare(i, 6, "&quot;") == 0) {
                value.push_back('"');
                i += 5;
            } else {
                value.push_back(raw[i]);
            }
        }
        return value;
    }

    static bool IsIntegerSyntax(std::string_view token) {
        size_t i = token[0] == '-' || token[0] == '+';
        if (i == token.size()) return false;
        for (; i < token.size(); ++i)
            if (token[i] < '0' || token[i] > '9') return false;
        return true;
    }

    // A number, or false for anything else; one beyond the range of a double is left to
    // NumberBeyondRange, so that the common case keeps nothing for it.
    static bool ParseNumber(std::string_view token, FbxValue& out) {
        if (token.empty()) return false;
        if (token[0] == '+') token.remove_prefix(1);
        if (token.empty()) return false;
        const char* first = token.data();
        const char* last = token.data() + token.size();
        if (IsIntegerSyntax(token)) {
            int64_t i = 0;
            const auto [end, error] = std::from_chars(first, last, i);
            if (error == std::errc() && end == last) {
                // "-0" is how a negative zero double is written; keep its sign.
                out = i == 0 && token[0] == '-' ? FbxValue(-0.0) : FbxValue(i);
                return true;
            }
        }
        // Everything else that starts like a number is a real, also an integer beyond 64 bits.
        const char c = token[0];
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
        double d = 0.0;
        const auto [end, error] = std::from_chars(first, last, d);
        if (end != last || error != std::errc()) return false;
        out = FbxValue(d);
        return true;
    }

    // A real beyond the range of a double is infinite (and below it 0), as OBJ and PLY numbers
    // are, so that the reader refuses it as not finite instead of taking 0.
    [[gnu::cold]] static bool NumberBeyondRange(std::string_view token, FbxValue& out) {
        if (!token.empty() && token[0] == '+') token.remove_prefix(1);
        if (token.empty() || !((token[0] >= '0' && token[0] <= '9') || token[0] == '-' || token[0] == '.')) return false;
        double d = 0.0;
        const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), d);
        if (end != token.data() + token.size() || error != std::errc::result_out_of_range) return false;
        out = FbxValue(ObjTokenizer::BeyondRange(token));
        return true;
    }

    static bool ReadNumber(std::string_view token, FbxValue& out) {
        return ParseNumber(token, out) || NumberBeyondRange(token, out);
    }

    // "*count { a: n, n, ... }"; the count is only a hint, the numbers that are there are taken.
    FbxValue ReadArray(int depth) {
        ++pos;
        const size_t start = pos;
        while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
        FbxValue count;
        if (!ReadNumber(text.substr(start, pos - start), count) || count.AsInteger() < 0) Fail("bad array length");
        Skip(true);
        if (Peek() != '{') Fail("expected '{' after an array length");
        ++pos;
        if (depth + 1 >= FbxMaxNesting) Fail("records nested too deeply");
        Skip(true);
        std::vector<int64_t> integers;
        std::vector<double> reals;
        bool real = false;
        // Each number takes at least two characters with its comma, which bounds the reservation.
        const size_t hint = std::min<size_t>(size_t(count.AsInteger()), (text.size() - pos) / 2 + 1);
        if (Peek() != '}') {
            const size_t nameStart = pos;
            while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
            if (text.substr(nameStart, pos - nameStart) != "a" || Peek() != ':') Fail("expected 'a:' in an array");
            ++pos;
            Skip(true);
            integers.reserve(hint);
            while (Peek() != '}') {
                const size_t numberStart = pos;
                while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
                FbxValue number;
                if (!ParseNumber(text.substr(numberStart, pos - numberStart), number)) NumberOrFail(numberStart, number);
                if (!real && std::holds_alternative<double>(number.data)) {
                    real = true;
                    reals.reserve(std::max(hint, integers.size() + 1));
                    for (int64_t i : integers) reals.push_back(double(i));
                    std::vector<int64_t>().swap(integers);
                }
                if (real)
                    reals.push_back(number.AsReal());
                else
                    integers.push_back(number.AsInteger());
                Skip(true);
                if (Peek() == ',') {
                    ++pos;
                    Skip(true);
                } else if (Peek() != '}') {
                    Fail("expected ',' or '}' in an array");
                }
            }
        }
        ++pos;
        if (real) return FbxValue(std::move(reals));
        return FbxValue(std::move(integers));
    }

    std::string_view text;
    size_t pos = 0;
};

}  // namespace

FbxDocument FbxDocument::ParseAscii(std::string_view text) { return FbxAsciiParser(text).Parse(); }

}  // namespace Pallix::Bake
