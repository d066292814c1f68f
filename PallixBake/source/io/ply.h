#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Pallix::Bake {

// A small reader for PLY polygon files (ASCII, binary big- and little-endian). The header is
// parsed into element and property descriptions; the caller requests the properties it wants,
// each with the type and the byte offset in its own record where the value is to be stored, and
// then reads the records of the current element one at a time. Values are converted from the
// file's type to the requested one; properties that were not requested are read and dropped.
//
// Every failure (a malformed header, an unknown value type, a record cut short, a list longer
// than the file) throws ImportException with a message that names the file. Nothing is read or
// written outside the input, the reader's buffers or the caller's record.

enum PlyType : int {
    PlyInvalid = 0,
    PlyInt8 = 1,
    PlyInt16 = 2,
    PlyInt32 = 3,
    PlyUint8 = 4,
    PlyUint16 = 5,
    PlyUint32 = 6,
    PlyFloat32 = 7,
    PlyFloat64 = 8,
};

enum PlyFileType : int { PlyNoFormat = 0, PlyAscii = 1, PlyBinaryBigEndian = 2, PlyBinaryLittleEndian = 3 };

enum PlyKind : int { PlyScalar = 0, PlyList = 1, PlyString = 2 };

// The type code of a name ("int8" ... "float64", then "char" ... "double"); PlyInvalid if neither.
int PlyTypeFromName(std::string_view name);
// Bytes of one value of the type; 0 for PlyInvalid and unknown codes.
int PlyTypeSize(int type);

// One property of an element; also the request a caller passes to ply_request_property.
struct PlyPropertyDesc {
    std::string name;
    int externalType = PlyInvalid;  // in the file
    int internalType = PlyInvalid;  // in the caller's record
    int offset = 0;                 // of the value, or of a list's or string's pointer
    int kind = PlyScalar;
    int countExternalType = PlyInvalid;
    int countInternalType = PlyInvalid;
    int countOffset = 0;
};

struct PlyElementDesc {
    std::string name;
    int count = 0;  // records in the file
    std::vector<PlyPropertyDesc> properties;
    std::vector<uint8_t> stored;  // per property: 1 once requested
};

// A value read from the file in the three forms a conversion can take.
struct PlyValue {
    int32_t intValue = 0;
    uint32_t unsignedValue = 0;
    double doubleValue = 0.0;
};

class PlyReader {
public:
    class Input;  // the byte source behind the reader
    explicit PlyReader(std::unique_ptr<Input> input, std::string name);
    ~PlyReader();
    PlyReader(const PlyReader&) = delete;
    PlyReader& operator=(const PlyReader&) = delete;

    int fileType = PlyNoFormat;
    std::vector<PlyElementDesc> elements;
    std::vector<std::string> comments;
    std::vector<std::string> objInfo;
    PlyElementDesc* current = nullptr;

    // Every failure goes through here: an ImportException naming the file.
    [[noreturn]] void Fail(const std::string& problem) const;
    // Bytes of input not yet read.
    uint64_t Remaining() const;

private:
    friend std::unique_ptr<PlyReader> ReadHeader(std::unique_ptr<PlyReader> reader);
    friend void ply_get_element(PlyReader& reader, void* record, size_t recordSize);
    friend PlyValue get_binary_item(PlyReader& reader, int type);
    friend void ply_skip_element(PlyReader& reader);

    std::unique_ptr<Input> input_;
    std::string name_;
    // Storage for the lists and strings of the last record; the caller's record points here.
    std::vector<std::vector<uint64_t>> lists_;
    std::vector<std::string> strings_;
    std::vector<std::string_view> words_;
    std::string line_;
};

// Reads and checks the header of a stream opened in binary mode (not owned; it must stay open
// while the reader is used) or of a block of memory (which must outlive the reader).
std::unique_ptr<PlyReader> ply_open_header(std::FILE* file, const char* name);
std::unique_ptr<PlyReader> ply_open_header(const char* data, size_t size, const char* name);
// Makes element `index` (header order) current.
void ply_select_element(PlyReader& reader, int index);
// Asks for a property of the current element; a name it lacks prints a warning to standard error.
void ply_request_property(PlyReader& reader, const PlyPropertyDesc& request);
// Reads the next record of the current element into record (recordSize bytes). A requested list
// or string is stored as a pointer into the reader, valid until the next record is read.
void ply_get_element(PlyReader& reader, void* record, size_t recordSize);
// Passes over every record of the current element.
void ply_skip_element(PlyReader& reader);
// Converts one word of an ASCII body; throws std::invalid_argument for a word that holds no
// number and std::domain_error for an unknown type.
PlyValue get_ascii_item(std::string_view word, int type);
// Reads one value of the type in the file's byte order.
PlyValue get_binary_item(PlyReader& reader, int type);
// Writes a value in the given type to place (PlyTypeSize(type) bytes).
void store_item(void* place, int type, const PlyValue& value);

}  // namespace Pallix::Bake
