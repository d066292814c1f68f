#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Pallix::Bake {

// A malformed file. The parsers and the scene builder throw it; FbxFileReader turns it into a
// load failure whose status text is the message.
class FbxFormatError : public std::runtime_error {
public:
    explicit FbxFormatError(const std::string& message) : std::runtime_error(message) {}
};

// An array of a binary file as it is stored: decoded only when something reads it, so arrays
// that nothing reads cost neither time nor memory. Its bytes point into the file's buffer.
struct FbxPackedArray {
    std::string_view bytes;
    size_t offset = 0;  // of its property in the file, for messages
    uint32_t count = 0;
    char type = 'd';  // the binary type code: i l f d b c
    bool compressed = false;
};

// One property of a record: an integer, a real, a text (strings and raw bytes) or a typed array.
// Binary files keep their stored array type (bytes as unsigned 'b' or signed 'c') and leave
// arrays packed until they are read; ASCII files give 64-bit integers or doubles.
class FbxValue {
public:
    using Storage = std::variant<int64_t, double, std::string, std::vector<int32_t>, std::vector<int64_t>,
                                 std::vector<float>, std::vector<double>, std::vector<uint8_t>, std::vector<int8_t>,
                                 FbxPackedArray>;

    FbxValue() = default;
    FbxValue(Storage storage) : data(std::move(storage)) {}

    bool IsNumber() const { return data.index() <= 1; }
    bool IsText() const { return data.index() == 2; }
    bool IsArray() const { return data.index() >= 3; }

    // Numbers as integers (reals truncated, saturated to the 64-bit range) or as doubles; 0 for others.
    int64_t AsInteger() const;
    double AsReal() const;
    // The text of a string value; empty for every other kind.
    std::string_view AsText() const;
    size_t ArraySize() const;

    Storage data;
};

// One record: its name, its properties and the records nested in it.
struct FbxElement {
    std::string name;
    std::vector<FbxValue> values;
    std::vector<FbxElement> children;

    // The first child of that name, or null.
    const FbxElement* Find(std::string_view childName) const;
    FbxElement* Find(std::string_view childName);
};

// The entries of a packed array in its stored type. Throws FbxFormatError when a compressed
// stream does not inflate to exactly the entries it claims.
FbxValue::Storage UnpackArray(const FbxPackedArray& packed);

// Numeric contents of an element as doubles: its one array property (unpacked in place), or its
// scalar properties when they are all numbers (the inline form some writers use). False when
// not numeric.
bool ElementReals(FbxElement& element, std::vector<double>& out);
// The same as 32-bit integers; false when an entry is not an integer in the 32-bit range (an
// ASCII integer beyond 64 bits among them), with its position in bad.
bool ElementInt32s(FbxElement& element, std::vector<int32_t>& out, size_t& bad);

// The record tree of one FBX file, binary or ASCII.
struct FbxDocument {
    int version = 0;
    FbxElement root;  // unnamed; the top-level records are its children

    // A binary file; with a record limit only that many top-level records are read.
    static FbxDocument ParseBinary(std::string_view bytes, size_t recordLimit = SIZE_MAX);
    static FbxDocument ParseAscii(std::string_view text);
};

// Nested records deeper than this are refused, so a hostile file cannot exhaust the stack.
constexpr int FbxMaxNesting = 256;

}  // namespace Pallix::Bake
