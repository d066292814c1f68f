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
inline int PlyTypeSize(int type) {
    constexpr int Sizes[9] = {0, 1, 2, 4, 1, 2, 4, 4, 8};
    return type >= PlyInt8 && type <= PlyFloat64 ? Sizes[type] : 0;
}

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

// A value read from the file in the three forms a conversion can take, and as the whole number
// it stands for (a real one cut toward zero, within 64 bits), which list lengths are judged by.
struct PlyValue {
    int32_t intValue = 0;
    uint32_t unsignedValue = 0;
    double doubleValue = 0.0;
    int64_t wholeValue = 0;
};

// Where the lists and strings of the last record read are kept; the caller's record points here.
struct PlyRecordStorage {
    std::vector<std::vector<uint64_t>> lists;
    std::vector<std::string> strings;
};

// A run of consecutive records of one element: its bytes and the number of its first record.
struct PlyRun {
    uint64_t begin = 0, end = 0;
    int64_t first = 0, count = 0;
    int64_t skip = 0;  // ASCII: records of earlier elements at the start of the bytes
};

// How the records of the current element lie in the file, so that threads can read its runs apart.
struct PlyElementPlan {
    std::vector<PlyRun> runs;  // in record order, covering records 0 .. readable - 1
    int64_t readable = 0;      // records that can be read; reading the next one is refused
    std::string refusal;       // the reason, when readable is below the element's count
    // Bytes of every record when that is only assumed (lists that all have the first one's
    // length, as in a mesh of triangles): a run that meets another size is mismatched, and the
    // element must be planned again exactly. -1 when the plan is exact.
    int64_t assumedRecordBytes = -1;
    uint64_t elementBegin = 0;
    // One run read by ply_get_element on the calling thread: an ASCII body whose records are
    // not one line each, because some element has no properties.
    bool serial = false;
};

class ChunkedInput;
class SequentialInput;
class ImportWorkers;
class ReadBuffer;

class PlyReader {
public:
    PlyReader(const ChunkedInput& input, std::string name);
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
    // The text of that exception.
    std::string Message(const std::string& problem) const;
    // "line N: " for the line that starts at this offset of the input; empty when the bytes
    // before it cannot be read.
    std::string LinePrefix(uint64_t offset) const;
    // Bytes of input not yet read.
    uint64_t Remaining() const;
    const std::string& Name() const { return name_; }
    const ChunkedInput& Input() const { return source_; }

private:
    friend std::unique_ptr<PlyReader> ReadHeader(std::unique_ptr<PlyReader> reader);
    friend std::unique_ptr<PlyReader> ply_open_header(const char* data, size_t size, const char* name);
    friend void ply_get_element(PlyReader& reader, void* record, size_t recordSize);
    friend PlyValue get_binary_item(PlyReader& reader, int type);
    friend void ply_skip_element(PlyReader& reader);
    friend void ply_plan_element(PlyReader& reader, ImportWorkers& workers, size_t chunkBytes, bool exact, PlyElementPlan& plan);
    friend class PlyRunReader;
    struct StreamSource;
    struct BodyLines;

    std::unique_ptr<ChunkedInput> owned_;  // a block of memory the reader was opened on
    const ChunkedInput& source_;
    std::unique_ptr<SequentialInput> input_;
    std::string name_;
    PlyRecordStorage storage_;
    std::vector<std::string_view> words_;
    std::string line_;
    std::unique_ptr<BodyLines> bodyLines_;  // ASCII: the body's lines counted in chunks, once
};

// Reads and checks the header of an input (which must stay open while the reader is used) or of
// a block of memory (which must outlive the reader).
std::unique_ptr<PlyReader> ply_open_header(const ChunkedInput& input, const char* name);
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
// Lays the current element out in runs of about chunkBytes for reading on many threads, and
// moves the reader past it. Binary records of one size are planned at once; others are assumed
// to keep the first record's size unless `exact`, when they are walked one by one to find their
// places and the first record a reading refuses (an assumed plan given back with `exact` is
// made again from its element's start). An ASCII body is planned from its lines, when
// every element has properties (a record is then one line that is not blank); else the plan is
// serial.
void ply_plan_element(PlyReader& reader, ImportWorkers& workers, size_t chunkBytes, bool exact, PlyElementPlan& plan);
// Reads the records of one run of a plan, one at a time, as ply_get_element would; its lists and
// strings go to storage. Throws ImportException for a record the reading refuses.
class PlyRunReader {
public:
    PlyRunReader(PlyReader& reader, const PlyElementPlan& plan, const PlyRun& run, ReadBuffer& buffer,
                 PlyRecordStorage& storage);
    // False after the run's last record, when its bytes cannot be read, when a record breaks
    // the plan's assumed size (then Mismatched()), or when the bytes no longer hold the records
    // the plan found there (then Changed(): the file was rewritten since it was planned).
    bool Next(void* record, size_t recordSize);
    // Number within the element of the record Next reads next, or refused.
    int64_t Record() const { return record_; }
    bool Mismatched() const { return mismatched_; }
    bool Unreadable() const { return unreadable_; }
    bool Changed() const { return changed_; }

private:
    PlyReader& reader_;
    const PlyElementPlan& plan_;
    PlyRecordStorage& storage_;
    std::string_view bytes_;
    uint64_t begin_;  // of bytes_ in the input
    size_t at_ = 0;
    int64_t record_, end_;
    int64_t skip_;
    uint64_t after_;  // bytes of the file beyond the run
    bool mismatched_ = false;
    bool unreadable_ = false;
    bool changed_ = false;
    std::string line_;
    std::vector<std::string_view> words_;
};
// Converts one word of an ASCII body; throws std::invalid_argument for a word that holds no
// number and std::domain_error for an unknown type.
PlyValue get_ascii_item(std::string_view word, int type);
// Reads one value of the type in the file's byte order.
PlyValue get_binary_item(PlyReader& reader, int type);
// Writes a value in the given type to place (PlyTypeSize(type) bytes).
void store_item(void* place, int type, const PlyValue& value);

}  // namespace Pallix::Bake
