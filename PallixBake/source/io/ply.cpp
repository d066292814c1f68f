#include "io/ply.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "io/chunkedinput.h"
#include "io/objtokenizer.h"
#include "io/sceneimporter.h"

namespace Pallix::Bake {

namespace {

struct TypeName {
    const char* sized;
    const char* cStyle;
};
constexpr TypeName TypeNames[9] = {
    {"invalid", ""},    {"int8", "char"},   {"int16", "short"},   {"int32", "int"},     {"uint8", "uchar"},
    {"uint16", "ushort"}, {"uint32", "uint"}, {"float32", "float"}, {"float64", "double"},
};

int32_t IntFromDouble(double value) {
    if (!(value > double(INT32_MIN) - 1.0)) return value != value ? 0 : INT32_MIN;
    if (!(value < double(INT32_MAX) + 1.0)) return INT32_MAX;
    return int32_t(value);
}

uint32_t UnsignedFromDouble(double value) {
    if (value != value) return 0;
    if (value < 0.0) return uint32_t(IntFromDouble(value));  // wraps as the int conversion does
    if (!(value < double(UINT32_MAX) + 1.0)) return UINT32_MAX;
    return uint32_t(value);
}

PlyValue FromInteger(int64_t value) {
    PlyValue v;
    v.intValue = int32_t(uint32_t(uint64_t(value)));
    v.unsignedValue = uint32_t(uint64_t(value));
    v.doubleValue = double(v.intValue);
    v.wholeValue = value;
    return v;
}

PlyValue FromDouble(double value) {
    PlyValue v;
    v.doubleValue = value;
    v.intValue = IntFromDouble(value);
    v.unsignedValue = UnsignedFromDouble(value);
    if (value != value) v.wholeValue = 0;
    else if (!(value > -9.2e18)) v.wholeValue = INT64_MIN;
    else if (!(value < 9.2e18)) v.wholeValue = INT64_MAX;
    else v.wholeValue = int64_t(value);
    return v;
}

// Splits a header or ASCII line into words: runs of spaces (tabs count as spaces) separate
// them, and a word that starts with a double quote runs to the next one.
void SplitWords(std::string& line, std::vector<std::string_view>& words) {
    words.clear();
    std::replace(line.begin(), line.end(), '\t', ' ');
    const size_t size = line.size();
    size_t i = 0;
    while (i < size) {
        while (i < size && line[i] == ' ') ++i;
        if (i == size) break;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                words.emplace_back(line.data() + i + 1, size - i - 1);
                break;
            }
            words.emplace_back(line.data() + i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < size && line[i] != ' ') ++i;
            words.emplace_back(line.data() + start, i - start);
        }
    }
}

}  // namespace

int PlyTypeFromName(std::string_view name) {
    for (int type = PlyInt8; type <= PlyFloat64; ++type)
        if (name == TypeNames[type].sized) return type;
    for (int type = PlyInt8; type <= PlyFloat64; ++type)
        if (name == TypeNames[type].cStyle) return type;
    return PlyInvalid;
}

PlyReader::PlyReader(const ChunkedInput& input, std::string name)
    : source_(input), input_(std::make_unique<SequentialInput>(input, 0)), name_(std::move(name)) {}

PlyReader::~PlyReader() = default;

void PlyReader::Fail(const std::string& problem) const { throw ImportException(Message(problem)); }

std::string PlyReader::Message(const std::string& problem) const { return "Invalid PLY file '" + name_ + "': " + problem; }

std::string PlyReader::LinePrefix(uint64_t offset) const {
    // Only a refusal asks, so the lines before it are counted then, a block at a time.
    constexpr size_t Block = size_t(1) << 20;
    ReadBuffer buffer;
    uint64_t line = 1;
    for (uint64_t at = 0; at < offset; at += Block) {
        std::string_view bytes;
        if (!source_.View(at, size_t(std::min<uint64_t>(Block, offset - at)), buffer, bytes)) return {};
        line += uint64_t(std::count(bytes.begin(), bytes.end(), '\n'));
    }
    return "line " + std::to_string(line) + ": ";
}

uint64_t PlyReader::Remaining() const { return input_->Remaining(); }

std::unique_ptr<PlyReader> ReadHeader(std::unique_ptr<PlyReader> reader) {
    PlyReader& r = *reader;
    std::string& line = r.line_;
    std::vector<std::string_view>& words = r.words_;
    if (!r.input_->ReadLine(line)) r.Fail("the file is empty");
    SplitWords(line, words);
    if (words.empty() || words[0] != "ply") r.Fail("it does not start with the line \"ply\"");
    bool ended = false;
    while (!ended && r.input_->ReadLine(line)) {
        SplitWords(line, words);
        if (words.empty()) continue;
        const std::string_view key = words[0];
        if (key == "end_header") {
            ended = true;
        } else if (key == "format") {
            if (words.size() != 3) r.Fail("the format line needs three words");
            if (words[1] == "ascii") r.fileType = PlyAscii;
            else if (words[1] == "binary_big_endian") r.fileType = PlyBinaryBigEndian;
            else if (words[1] == "binary_little_endian") r.fileType = PlyBinaryLittleEndian;
            else r.Fail("unknown format '" + std::string(words[1]) + "'");
        } else if (key == "element") {
            std::string_view countWord = words.size() >= 3 ? words[2] : std::string_view{};
            int64_t count = -1;
            if (!ObjTokenizer::ParseIntField(countWord, count) || !countWord.empty() || count < 0 || count > INT_MAX)
                r.Fail("an element line needs a name and a record count");
            PlyElementDesc element;
            element.name = std::string(words[1]);
            element.count = int(count);
            r.elements.push_back(std::move(element));
        } else if (key == "property") {
            if (r.elements.empty()) r.Fail("a property comes before any element");
            PlyPropertyDesc property;
            if (words.size() >= 2 && words[1] == "list") {
                if (words.size() < 5) r.Fail("a list property needs a count type, an item type and a name");
                property.kind = PlyList;
                property.countExternalType = PlyTypeFromName(words[2]);
                property.externalType = PlyTypeFromName(words[3]);
                property.name = std::string(words[4]);
            } else if (words.size() >= 2 && words[1] == "string") {
                if (words.size() < 3) r.Fail("a string property needs a name");
                property.kind = PlyString;
                property.externalType = property.countExternalType = PlyInt8;
                property.name = std::string(words[2]);
            } else {
                if (words.size() < 3) r.Fail("a property needs a type and a name");
                property.externalType = PlyTypeFromName(words[1]);
                property.name = std::string(words[2]);
            }
            r.elements.back().properties.push_back(std::move(property));
        } else if (key == "comment" || key == "obj_info") {
            size_t start = key.size();
            while (start < line.size() && line[start] == ' ') ++start;
            (key == "comment" ? r.comments : r.objInfo).push_back(line.substr(std::min(start, line.size())));
        }
    }
    if (!ended) r.Fail("the header has no end_header line");
    if (r.fileType == PlyNoFormat) r.Fail("the header has no format line");
    for (PlyElementDesc& element : r.elements) element.stored.assign(element.properties.size(), 0);
    return reader;
}

std::unique_ptr<PlyReader> ply_open_header(const ChunkedInput& input, const char* name) {
    return ReadHeader(std::make_unique<PlyReader>(input, name ? name : ""));
}

std::unique_ptr<PlyReader> ply_open_header(const char* data, size_t size, const char* name) {
    auto input = std::make_unique<ChunkedInput>(data, data ? size : 0);
    auto reader = std::make_unique<PlyReader>(*input, name ? name : "");
    reader->owned_ = std::move(input);
    return ReadHeader(std::move(reader));
}

void ply_select_element(PlyReader& reader, int index) {
    if (index < 0 || size_t(index) >= reader.elements.size()) reader.Fail("no element " + std::to_string(index));
    reader.current = &reader.elements[size_t(index)];
}

void ply_request_property(PlyReader& reader, const PlyPropertyDesc& request) {
    PlyElementDesc* element = reader.current;
    if (!element) return;
    for (size_t i = 0; i < element->properties.size(); ++i) {
        PlyPropertyDesc& property = element->properties[i];
        if (property.name != request.name) continue;
        // The caller's record has room for what it asked for, not for a list where it wants one value.
        if (property.kind != request.kind)
            reader.Fail("property '" + property.name + "' of element '" + element->name + "' is " +
                        (property.kind == PlyScalar ? "a single value" : "not a single value") + " where " +
                        (request.kind == PlyScalar ? "a single value" : "a list") + " is expected");
        property.internalType = request.internalType;
        property.offset = request.offset;
        property.countInternalType = request.countInternalType;
        property.countOffset = request.countOffset;
        element->stored[i] = 1;
        return;
    }
    std::fprintf(stderr, "Warning:  Can't find property '%s' in element '%s'\n", request.name.c_str(), element->name.c_str());
}

PlyValue get_ascii_item(std::string_view word, int type) {
    // The whole word is the number: "-1,25" is no -1, and "1.#QNAN" no 1.
    switch (type) {
        case PlyInt8:
        case PlyInt16:
        case PlyInt32:
        case PlyUint8:
        case PlyUint16:
        case PlyUint32: {
            int64_t value = 0;
            if (!ObjTokenizer::ParseIntField(word, value) || !word.empty()) throw std::invalid_argument("an integer");
            return FromInteger(value);
        }
        case PlyFloat32:
        case PlyFloat64: {
            double value = 0.0;
            if (!ObjTokenizer::ParseDoubleField(word, value) || !word.empty()) throw std::invalid_argument("a number");
            return FromDouble(value);
        }
        default:
            throw std::domain_error("bad type = " + std::to_string(type));
    }
}

namespace {

// The size bytes of a value in machine order (sizes 1, 2, 4 and 8 copied as such, not by a call).
void MachineBytes(const unsigned char* source, int size, bool bigEndian, unsigned char* bytes) {
    switch (size) {
        case 1: bytes[0] = source[0]; break;
        case 2: std::memcpy(bytes, source, 2); break;
        case 4: std::memcpy(bytes, source, 4); break;
        default: std::memcpy(bytes, source, 8); break;
    }
    if (bigEndian) std::reverse(bytes, bytes + size);
}

// One value of a known type from its bytes in the file's order.
PlyValue DecodeBinary(const unsigned char* source, int type, bool bigEndian) {
    unsigned char bytes[8];
    MachineBytes(source, PlyTypeSize(type), bigEndian, bytes);
    switch (type) {
        case PlyInt8: return FromInteger(int8_t(bytes[0]));
        case PlyUint8: return FromInteger(bytes[0]);
        case PlyInt16: {
            int16_t v;
            std::memcpy(&v, bytes, 2);
            return FromInteger(v);
        }
        case PlyUint16: {
            uint16_t v;
            std::memcpy(&v, bytes, 2);
            return FromInteger(v);
        }
        case PlyInt32: {
            int32_t v;
            std::memcpy(&v, bytes, 4);
            return FromInteger(v);
        }
        case PlyUint32: {
            uint32_t v;
            std::memcpy(&v, bytes, 4);
            PlyValue value = FromInteger(v);
            value.doubleValue = double(v);
            return value;
        }
        case PlyFloat32: {
            float v;
            std::memcpy(&v, bytes, 4);
            return FromDouble(v);
        }
        default: {
            double v;
            std::memcpy(&v, bytes, 8);
            return FromDouble(v);
        }
    }
}

// Values of a binary record from a block of bytes: a run's own, or a reader's buffer.
class ByteSource {
public:
    // after: bytes of the file beyond the block.
    ByteSource(const PlyReader& reader, const unsigned char* at, const unsigned char* end, uint64_t after, bool bigEndian)
        : reader_(reader), at_(at), end_(end), after_(after), bigEndian_(bigEndian) {}

    const unsigned char* At() const { return at_; }
    // The next value into place as `internal`: values that keep their type, and small integers
    // widened to int32, are copied without the general conversion.
    void StoreNext(int type, int internal, unsigned char* place) {
        const int size = PlyTypeSize(type);
        if (size == 0 || type != internal) {
            if (internal != PlyInt32 || (type != PlyUint8 && type != PlyInt8 && type != PlyUint16 && type != PlyInt16)) {
                store_item(place, internal, Next(type));
                return;
            }
        }
        if (size_t(end_ - at_) < size_t(size)) reader_.Fail("the file ends inside a record");
        unsigned char bytes[8];
        MachineBytes(at_, size, bigEndian_, bytes);
        at_ += size;
        if (type == PlyFloat32) {
            float v;
            std::memcpy(&v, bytes, 4);
            v = float(double(v));  // as the general conversion leaves it, NaNs quieted
            std::memcpy(place, &v, 4);
        } else if (type == internal) {
            MachineBytes(bytes, size, false, place);
        } else {
            const int32_t v = DecodeBinary(bytes, type, false).intValue;
            std::memcpy(place, &v, 4);
        }
    }
    PlyValue Next(int type) {
        const int size = PlyTypeSize(type);
        if (size == 0) reader_.Fail("a property has an unknown value type");
        if (size_t(end_ - at_) < size_t(size)) reader_.Fail("the file ends inside a record");
        const PlyValue value = DecodeBinary(at_, type, bigEndian_);
        at_ += size;
        return value;
    }
    uint64_t ListRoom(int itemSize) const { return (uint64_t(end_ - at_) + after_) / uint64_t(itemSize); }
    void SkipItems(uint64_t count, int itemSize) {
        const uint64_t bytes = count * uint64_t(itemSize);
        if (bytes > uint64_t(end_ - at_)) reader_.Fail("the file ends inside a record");
        at_ += bytes;
    }
    void String(std::string* text) {
        const int32_t length = Next(PlyInt32).intValue;
        if (length < 0 || uint64_t(length) > uint64_t(end_ - at_) + after_) reader_.Fail("a string runs past the end of the file");
        if (size_t(end_ - at_) < size_t(length)) reader_.Fail("the file ends inside a record");
        if (text) text->assign(reinterpret_cast<const char*>(at_), size_t(length));
        at_ += length;
    }

private:
    const PlyReader& reader_;
    const unsigned char* at_;
    const unsigned char* end_;
    uint64_t after_;
    bool bigEndian_;
};

// Values of an ASCII record from the words of its line, which starts at lineStart in the input.
class WordSource {
public:
    WordSource(const PlyReader& reader, const PlyElementDesc& element, const std::vector<std::string_view>& words,
               uint64_t lineStart)
        : reader_(reader), element_(element), words_(words), lineStart_(lineStart) {}

    PlyValue Next(int type) {
        const std::string_view text = Word();
        try {
            return get_ascii_item(text, type);
        } catch (const std::invalid_argument& wanted) {
            std::string problem = reader_.LinePrefix(lineStart_);
            problem.append("'").append(text).append("' in a ").append(element_.name).append(" record is not ").append(wanted.what());
            reader_.Fail(problem);
        } catch (const std::domain_error&) {
            reader_.Fail("a property of element '" + element_.name + "' has an unknown value type");
        }
    }
    void StoreNext(int type, int internal, unsigned char* place) { store_item(place, internal, Next(type)); }
    uint64_t ListRoom(int) const { return uint64_t(words_.size() - word_); }
    void SkipItems(uint64_t count, int) { word_ += size_t(count); }
    void String(std::string* text) {
        const std::string_view word = Word();
        if (text) text->assign(word);
    }

private:
    std::string_view Word() {
        if (word_ >= words_.size()) reader_.Fail(reader_.LinePrefix(lineStart_) + "a " + element_.name + " record has too few values");
        return words_[word_++];
    }

    const PlyReader& reader_;
    const PlyElementDesc& element_;
    const std::vector<std::string_view>& words_;
    uint64_t lineStart_;
    size_t word_ = 0;
};

// Reads one record from source into the caller's record: the properties in file order, each
// converted to the type the caller asked for; lists and strings go to storage. Without storage
// nothing is kept and the record is only passed over.
template <class Source>
void DecodeRecord(const PlyReader& reader, const PlyElementDesc& element, Source& source, void* record,
                  size_t recordSize, PlyRecordStorage* storage) {
    unsigned char* const out = static_cast<unsigned char*>(record);
    const size_t propertyCount = element.properties.size();
    if (storage && storage->lists.size() < propertyCount) storage->lists.resize(propertyCount);
    if (storage && storage->strings.size() < propertyCount) storage->strings.resize(propertyCount);
    // A requested field must lie inside the caller's record.
    auto place = [&](int offset, int type) -> unsigned char* {
        const size_t size = type == -1 ? sizeof(void*) : size_t(PlyTypeSize(type));
        if (offset < 0 || size == 0 || size_t(offset) + size > recordSize)
            throw std::out_of_range("PLY request outside the caller's record");
        return out + offset;
    };
    for (size_t i = 0; i < propertyCount; ++i) {
        const PlyPropertyDesc& property = element.properties[i];
        const bool stored = storage && element.stored[i] != 0;
        if (property.kind == PlyScalar) {
            if (stored) source.StoreNext(property.externalType, property.internalType, place(property.offset, property.internalType));
            else source.Next(property.externalType);
        } else if (property.kind == PlyList) {
            const PlyValue countValue = source.Next(property.countExternalType);
            const int64_t count = countValue.wholeValue;
            const int itemSize = PlyTypeSize(property.externalType);
            if (count < 0) reader.Fail("a list in element '" + element.name + "' has a negative length");
            if (count > INT32_MAX)
                reader.Fail("a list in element '" + element.name + "' has a count too large (" + std::to_string(count) + ")");
            if (itemSize == 0) reader.Fail("a property of element '" + element.name + "' has an unknown value type");
            // The items must be there before anything is allocated for them.
            if (uint64_t(count) > source.ListRoom(itemSize))
                reader.Fail("a list in element '" + element.name + "' runs past the end of its record");
            if (!stored) {
                source.SkipItems(uint64_t(count), itemSize);
                continue;
            }
            store_item(place(property.countOffset, property.countInternalType), property.countInternalType, countValue);
            const int internalSize = PlyTypeSize(property.internalType);
            if (internalSize == 0) throw std::domain_error("store_item: bad type = " + std::to_string(property.internalType));
            std::vector<uint64_t>& list = storage->lists[i];
            list.resize((size_t(count) * size_t(internalSize) + 7) / 8);
            unsigned char* items = reinterpret_cast<unsigned char*>(list.data());
            for (int64_t k = 0; k < count; ++k) source.StoreNext(property.externalType, property.internalType, items + k * internalSize);
            void* pointer = count > 0 ? items : nullptr;
            std::memcpy(place(property.offset, -1), &pointer, sizeof(void*));
        } else {
            std::string* text = storage ? &storage->strings[i] : nullptr;
            source.String(text);
            if (stored) {
                const char* pointer = text->c_str();
                std::memcpy(place(property.offset, -1), &pointer, sizeof(void*));
            }
        }
    }
}

// Whether a line of an ASCII body holds a record: any word at all.
bool HoldsWords(std::string_view line) {
    for (char c : line)
        if (c != ' ' && c != '\t') return true;
    return false;
}

// Lines of an ASCII body as the header reader takes them: ended by "\n", one '\r' before it dropped.
bool NextBodyLine(std::string_view text, size_t& at, std::string_view& line) {
    if (at >= text.size()) return false;
    const void* feed = std::memchr(text.data() + at, '\n', text.size() - at);
    const size_t stop = feed ? size_t(static_cast<const char*>(feed) - text.data()) : text.size();
    line = text.substr(at, stop - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = stop + 1;
    return true;
}

}  // namespace

// Values of a binary record from the reader's own input, one after the other.
struct PlyReader::StreamSource {
    PlyReader& reader;

    PlyValue Next(int type) { return get_binary_item(reader, type); }
    void StoreNext(int type, int internal, unsigned char* place) { store_item(place, internal, Next(type)); }
    uint64_t ListRoom(int itemSize) const { return reader.Remaining() / uint64_t(itemSize); }
    void SkipItems(uint64_t count, int itemSize) {
        if (!reader.input_->Skip(count * uint64_t(itemSize))) reader.Fail("the file ends inside a record");
    }
    void String(std::string* text) {
        const int32_t length = Next(PlyInt32).intValue;
        if (length < 0 || uint64_t(length) > reader.Remaining()) reader.Fail("a string runs past the end of the file");
        bool read;
        if (text) {
            text->resize(size_t(length));
            read = reader.input_->Read(text->data(), size_t(length));
        } else {
            read = reader.input_->Skip(uint64_t(length));
        }
        if (!read) reader.Fail("the file ends inside a record");
    }
};

// The non-blank lines of an ASCII body, counted per chunk: record k of the body is the k-th.
struct PlyReader::BodyLines {
    std::vector<uint64_t> starts;        // chunk bytes, as LineChunkStarts gives them
    std::vector<int64_t> firstRecord;    // per chunk, and the total at the end
};

PlyValue get_binary_item(PlyReader& reader, int type) {
    const int size = PlyTypeSize(type);
    if (size == 0) reader.Fail("a property has an unknown value type");
    unsigned char bytes[8];
    if (!reader.input_->Read(bytes, size_t(size))) reader.Fail("the file ends inside a record");
    return DecodeBinary(bytes, type, reader.fileType == PlyBinaryBigEndian);
}

void store_item(void* place, int type, const PlyValue& value) {
    switch (type) {
        case PlyInt8: {
            const int8_t v = int8_t(value.intValue);
            std::memcpy(place, &v, 1);
            break;
        }
        case PlyInt16: {
            const int16_t v = int16_t(value.intValue);
            std::memcpy(place, &v, 2);
            break;
        }
        case PlyInt32: std::memcpy(place, &value.intValue, 4); break;
        case PlyUint8: {
            const uint8_t v = uint8_t(value.unsignedValue);
            std::memcpy(place, &v, 1);
            break;
        }
        case PlyUint16: {
            const uint16_t v = uint16_t(value.unsignedValue);
            std::memcpy(place, &v, 2);
            break;
        }
        case PlyUint32: std::memcpy(place, &value.unsignedValue, 4); break;
        case PlyFloat32: {
            const float v = float(value.doubleValue);
            std::memcpy(place, &v, 4);
            break;
        }
        case PlyFloat64: std::memcpy(place, &value.doubleValue, 8); break;
        default: throw std::domain_error("store_item: bad type = " + std::to_string(type));
    }
}

void ply_get_element(PlyReader& reader, void* record, size_t recordSize) {
    const PlyElementDesc* element = reader.current;
    if (!element) reader.Fail("no element is selected");
    if (reader.fileType == PlyAscii) {
        // One line per record; blank lines carry no record.
        uint64_t lineStart = 0;
        do {
            lineStart = reader.input_->Offset();
            if (!reader.input_->ReadLine(reader.line_)) reader.Fail("the file ends before the last " + element->name + " record");
            SplitWords(reader.line_, reader.words_);
        } while (reader.words_.empty() && !element->properties.empty());
        WordSource source(reader, *element, reader.words_, lineStart);
        DecodeRecord(reader, *element, source, record, recordSize, &reader.storage_);
    } else {
        PlyReader::StreamSource source{reader};
        DecodeRecord(reader, *element, source, record, recordSize, &reader.storage_);
    }
}

namespace {

// Bytes of one record when every property has a size of its own; -1 when lists or strings vary
// it or a type is unknown.
int64_t FixedRecordBytes(const PlyElementDesc& element) {
    int64_t bytes = 0;
    for (const PlyPropertyDesc& property : element.properties) {
        if (property.kind != PlyScalar || PlyTypeSize(property.externalType) == 0) return -1;
        bytes += PlyTypeSize(property.externalType);
    }
    return bytes;
}

// Runs of about chunkBytes over `records` records of `recordBytes` bytes each from `begin`.
void EvenRuns(uint64_t begin, int64_t records, int64_t recordBytes, size_t chunkBytes, std::vector<PlyRun>& runs) {
    const int64_t perRun = std::max<int64_t>(1, int64_t(chunkBytes) / std::max<int64_t>(recordBytes, 1));
    for (int64_t first = 0; first < records; first += perRun) {
        PlyRun run;
        run.first = first;
        run.count = std::min(perRun, records - first);
        run.begin = begin + uint64_t(first) * uint64_t(recordBytes);
        run.end = run.begin + uint64_t(run.count) * uint64_t(recordBytes);
        runs.push_back(run);
    }
}

}  // namespace

void ply_skip_element(PlyReader& reader) {
    const PlyElementDesc* element = reader.current;
    if (!element) reader.Fail("no element is selected");
    if (reader.fileType != PlyAscii) {
        // Binary records of scalars all have one size and are passed over in one step.
        uint64_t recordBytes = 0;
        bool fixed = true;
        for (const PlyPropertyDesc& property : element->properties) {
            fixed = fixed && property.kind == PlyScalar;
            recordBytes += uint64_t(PlyTypeSize(property.externalType));
            if (PlyTypeSize(property.externalType) == 0)
                reader.Fail("a property of element '" + element->name + "' has an unknown value type");
        }
        if (fixed) {
            const uint64_t bytes = recordBytes * uint64_t(element->count);
            if (bytes > reader.Remaining() || !reader.input_->Skip(bytes))
                reader.Fail("the file ends before the last " + element->name + " record");
            return;
        }
        PlyReader::StreamSource source{reader};
        for (int i = 0; i < element->count; ++i) DecodeRecord(reader, *element, source, nullptr, 0, nullptr);
        return;
    }
    for (int i = 0; i < element->count; ++i) {
        // Nothing is stored, so no record is needed.
        ply_get_element(reader, nullptr, 0);
    }
}

void ply_plan_element(PlyReader& reader, ImportWorkers& workers, size_t chunkBytes, bool exact, PlyElementPlan& plan) {
    const PlyElementDesc* element = reader.current;
    if (!element) reader.Fail("no element is selected");
    chunkBytes = std::max<size_t>(chunkBytes, 1);
    const uint64_t begin = exact && plan.assumedRecordBytes >= 0 ? plan.elementBegin : reader.input_->Offset();
    plan = PlyElementPlan();
    plan.elementBegin = begin;
    const int64_t count = element->count;

    if (reader.fileType == PlyAscii) {
        const bool lineRecords = std::all_of(reader.elements.begin(), reader.elements.end(),
                                             [](const PlyElementDesc& e) { return !e.properties.empty(); });
        if (!lineRecords) {
            // Every value is a word of a byte or more, and words are apart: the bytes left bound
            // the records there can be, and so the room the caller sets aside for them.
            plan.serial = true;
            const uint64_t remaining = reader.source_.Size() - std::min(begin, reader.source_.Size());
            const uint64_t values = element->properties.size();
            plan.readable = values == 0 ? count : int64_t(std::min<uint64_t>(uint64_t(count), remaining / values + 1));
            if (plan.readable < count) plan.refusal = reader.Message("the file ends before the last " + element->name + " record");
            PlyRun run;
            run.count = plan.readable;
            plan.runs.push_back(run);
            return;
        }
        if (!reader.bodyLines_) {
            // The whole body is counted once, from the end of the header.
            auto lines = std::make_unique<PlyReader::BodyLines>();
            if (!LineChunkStarts(reader.source_, begin, chunkBytes, LineEnds::Feed, lines->starts))
                reader.Fail("the file could not be read");
            const size_t chunks = lines->starts.size() - 1;
            std::vector<int64_t> counts(chunks, 0);
            std::vector<uint8_t> unreadable(chunks, 0);
            workers.ForEachChunk(chunks, [&](size_t c, ReadBuffer& buffer) {
                std::string_view text, line;
                if (!reader.source_.View(lines->starts[c], size_t(lines->starts[c + 1] - lines->starts[c]), buffer, text)) {
                    unreadable[c] = 1;
                    return;
                }
                for (size_t at = 0; NextBodyLine(text, at, line);) counts[c] += HoldsWords(line);
            });
            lines->firstRecord.assign(1, 0);
            // What cannot be read ends the body there, as the end of the file would.
            for (size_t c = 0; c < chunks && !unreadable[c]; ++c) lines->firstRecord.push_back(lines->firstRecord.back() + counts[c]);
            lines->starts.resize(lines->firstRecord.size());
            reader.bodyLines_ = std::move(lines);
        }
        const PlyReader::BodyLines& lines = *reader.bodyLines_;
        int64_t first = 0;  // the element's first record in the body
        for (const PlyElementDesc& other : reader.elements) {
            if (&other == element) break;
            first += other.count;
        }
        const int64_t total = lines.firstRecord.back();
        plan.readable = std::clamp<int64_t>(total - first, 0, count);
        if (plan.readable < count) plan.refusal = reader.Message("the file ends before the last " + element->name + " record");
        for (size_t c = 0; c + 1 < lines.firstRecord.size(); ++c) {
            const int64_t from = std::max(first, lines.firstRecord[c]), to = std::min(first + plan.readable, lines.firstRecord[c + 1]);
            if (from >= to) continue;
            PlyRun run;
            run.begin = lines.starts[c];
            run.end = lines.starts[c + 1];
            run.first = from - first;
            run.count = to - from;
            run.skip = from - lines.firstRecord[c];
            plan.runs.push_back(run);
        }
        return;
    }

    SequentialInput& input = *reader.input_;
    const uint64_t remaining = reader.source_.Size() - std::min(begin, reader.source_.Size());
    const int64_t fixed = FixedRecordBytes(*element);
    if (fixed >= 0) {
        plan.readable = fixed == 0 ? count : int64_t(std::min<uint64_t>(uint64_t(count), remaining / uint64_t(fixed)));
        if (plan.readable < count) plan.refusal = reader.Message("the file ends inside a record");
        EvenRuns(begin, plan.readable, fixed, chunkBytes, plan.runs);
        input.Seek(begin + uint64_t(plan.readable) * uint64_t(fixed));
        return;
    }
    PlyReader::StreamSource source{reader};
    input.Seek(begin);
    if (!exact && count > 0) {
        // Most meshes are all triangles or all quads: every record has the first one's size.
        bool first = true;
        try {
            DecodeRecord(reader, *element, source, nullptr, 0, nullptr);
        } catch (const ImportException&) {
            first = false;
        }
        const uint64_t bytes = input.Offset() - begin;
        if (first && bytes > 0 && uint64_t(count) <= remaining / bytes) {
            plan.readable = count;
            plan.assumedRecordBytes = int64_t(bytes);
            EvenRuns(begin, count, int64_t(bytes), chunkBytes, plan.runs);
            input.Seek(begin + uint64_t(count) * bytes);
            return;
        }
        input.Seek(begin);
    }
    // Walked record by record: where each run starts and which record a reading would refuse.
    PlyRun run;
    run.begin = begin;
    uint64_t recordEnd = begin;
    for (int64_t record = 0; record < count; ++record) {
        if (recordEnd - run.begin >= chunkBytes && run.count > 0) {
            run.end = recordEnd;
            plan.runs.push_back(run);
            run = PlyRun();
            run.begin = recordEnd;
            run.first = record;
        }
        try {
            DecodeRecord(reader, *element, source, nullptr, 0, nullptr);
        } catch (const ImportException& refusal) {
            plan.refusal = refusal.what();
            break;
        }
        recordEnd = input.Offset();
        ++run.count;
        ++plan.readable;
    }
    run.end = recordEnd;
    if (run.count > 0) plan.runs.push_back(run);
}

PlyRunReader::PlyRunReader(PlyReader& reader, const PlyElementPlan& plan, const PlyRun& run, ReadBuffer& buffer,
                           PlyRecordStorage& storage)
    : reader_(reader), plan_(plan), storage_(storage), begin_(run.begin), record_(run.first), end_(run.first + run.count), skip_(run.skip),
      after_(reader.Input().Size() - std::min(run.end, reader.Input().Size())) {
    if (!plan.serial) unreadable_ = !reader.Input().View(run.begin, size_t(run.end - run.begin), buffer, bytes_);
}

bool PlyRunReader::Next(void* record, size_t recordSize) {
    if (unreadable_ || mismatched_ || changed_) return false;
    if (record_ >= end_) {
        // Binary records walked one by one by the plan filled the run's bytes exactly.
        if (!plan_.serial && reader_.fileType != PlyAscii && at_ != bytes_.size()) changed_ = true;
        return false;
    }
    const PlyElementDesc& element = *reader_.current;
    if (plan_.serial) {
        ply_get_element(reader_, record, recordSize);
    } else if (reader_.fileType == PlyAscii) {
        std::string_view line;
        for (;;) {
            if (!NextBodyLine(bytes_, at_, line)) {
                changed_ = true;  // the plan counted more lines than the bytes hold now
                return false;
            }
            if (!HoldsWords(line)) continue;
            if (skip_ > 0) {
                --skip_;
                continue;
            }
            break;
        }
        line_.assign(line);
        SplitWords(line_, words_);
        WordSource source(reader_, element, words_, begin_ + uint64_t(line.data() - bytes_.data()));
        DecodeRecord(reader_, element, source, record, recordSize, &storage_);
    } else {
        const unsigned char* start = reinterpret_cast<const unsigned char*>(bytes_.data()) + at_;
        const unsigned char* end = reinterpret_cast<const unsigned char*>(bytes_.data()) + bytes_.size();
        ByteSource source(reader_, start, end, after_, reader_.fileType == PlyBinaryBigEndian);
        if (plan_.assumedRecordBytes < 0) {
            // The plan read this record from these bytes already: one it cannot read now is another.
            try {
                DecodeRecord(reader_, element, source, record, recordSize, &storage_);
            } catch (const ImportException&) {
                changed_ = true;
                return false;
            }
        } else {
            // A record of another size breaks the assumption; the element is then planned exactly.
            try {
                DecodeRecord(reader_, element, source, record, recordSize, &storage_);
            } catch (const ImportException&) {
                mismatched_ = true;
            }
            if (mismatched_ || source.At() - start != plan_.assumedRecordBytes) {
                mismatched_ = true;
                return false;
            }
        }
        at_ += size_t(source.At() - start);
    }
    ++record_;
    return true;
}

}  // namespace Pallix::Bake
