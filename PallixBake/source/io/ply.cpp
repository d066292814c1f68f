#include "io/ply.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

#include "io/objtokenizer.h"
#include "io/sceneimporter.h"

namespace Pallix::Bake {

namespace {

constexpr size_t ChunkSize = size_t(1) << 20;

struct TypeName {
    const char* sized;
    const char* cStyle;
    int size;
};
constexpr TypeName TypeNames[9] = {
    {"invalid", "", 0}, {"int8", "char", 1},     {"int16", "short", 2}, {"int32", "int", 4},     {"uint8", "uchar", 1},
    {"uint16", "ushort", 2}, {"uint32", "uint", 4}, {"float32", "float", 4}, {"float64", "double", 8},
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
    return v;
}

PlyValue FromDouble(double value) {
    PlyValue v;
    v.doubleValue = value;
    v.intValue = IntFromDouble(value);
    v.unsignedValue = UnsignedFromDouble(value);
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

// Buffered bytes of a stream or of a block of memory.
class PlyReader::Input {
public:
    Input(const char* data, size_t size) : begin_(data), end_(data + size), remaining_(0) {}
    explicit Input(std::FILE* file) : file_(file), buffer_(ChunkSize) {
        begin_ = end_ = buffer_.data();
        struct stat info {};
        const long position = std::ftell(file);
        if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && position >= 0 && info.st_size >= position)
            remaining_ = uint64_t(info.st_size - position);
        else
            remaining_ = UINT64_MAX;  // not a regular file: its size is unknown
    }

    uint64_t Remaining() const {
        const uint64_t buffered = uint64_t(end_ - begin_);
        return remaining_ == UINT64_MAX ? UINT64_MAX : buffered + remaining_;
    }

    // The next line without its line end (LF or CR LF); false at the end of the input.
    bool ReadLine(std::string& line) {
        line.clear();
        for (;;) {
            const void* newline = std::memchr(begin_, '\n', size_t(end_ - begin_));
            if (newline) {
                const char* stop = static_cast<const char*>(newline);
                line.append(begin_, stop);
                begin_ = stop + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            line.append(begin_, end_);
            begin_ = end_;
            if (!Refill()) {
                const bool any = !line.empty();
                if (any && line.back() == '\r') line.pop_back();
                return any;
            }
        }
    }

    bool Read(void* target, size_t count) {
        char* out = static_cast<char*>(target);
        while (count > 0) {
            if (begin_ == end_ && !Refill()) return false;
            const size_t n = std::min(count, size_t(end_ - begin_));
            std::memcpy(out, begin_, n);
            begin_ += n;
            out += n;
            count -= n;
        }
        return true;
    }

    bool Skip(uint64_t count) {
        while (count > 0) {
            if (begin_ == end_ && !Refill()) return false;
            const size_t n = size_t(std::min<uint64_t>(count, uint64_t(end_ - begin_)));
            begin_ += n;
            count -= n;
        }
        return true;
    }

private:
    bool Refill() {
        if (!file_) return false;
        const size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        begin_ = buffer_.data();
        end_ = begin_ + got;
        if (remaining_ != UINT64_MAX) remaining_ -= std::min<uint64_t>(remaining_, got);
        return got > 0;
    }

    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    uint64_t remaining_;  // bytes of the file beyond the buffer
};

int PlyTypeFromName(std::string_view name) {
    for (int type = PlyInt8; type <= PlyFloat64; ++type)
        if (name == TypeNames[type].sized) return type;
    for (int type = PlyInt8; type <= PlyFloat64; ++type)
        if (name == TypeNames[type].cStyle) return type;
    return PlyInvalid;
}

int PlyTypeSize(int type) { return type >= PlyInt8 && type <= PlyFloat64 ? TypeNames[type].size : 0; }

PlyReader::PlyReader(std::unique_ptr<Input> input, std::string name) : input_(std::move(input)), name_(std::move(name)) {}

PlyReader::~PlyReader() = default;

void PlyReader::Fail(const std::string& problem) const {
    throw ImportException("Invalid PLY file '" + name_ + "': " + problem);
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
            if (!ObjTokenizer::ParseInt(countWord, count) || count < 0 || count > INT_MAX)
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

std::unique_ptr<PlyReader> ply_open_header(std::FILE* file, const char* name) {
    return ReadHeader(std::make_unique<PlyReader>(std::make_unique<PlyReader::Input>(file), name ? name : ""));
}

std::unique_ptr<PlyReader> ply_open_header(const char* data, size_t size, const char* name) {
    return ReadHeader(std::make_unique<PlyReader>(std::make_unique<PlyReader::Input>(data ? data : "", data ? size : 0),
                                                  name ? name : ""));
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
    switch (type) {
        case PlyInt8:
        case PlyInt16:
        case PlyInt32:
        case PlyUint8:
        case PlyUint16:
        case PlyUint32: {
            int64_t value = 0;
            if (!ObjTokenizer::ParseInt(word, value)) throw std::invalid_argument("not an integer");
            return FromInteger(value);
        }
        case PlyFloat32:
        case PlyFloat64: {
            double value = 0.0;
            if (!ObjTokenizer::ParseDouble(word, value)) throw std::invalid_argument("not a number");
            return FromDouble(value);
        }
        default:
            throw std::domain_error("bad type = " + std::to_string(type));
    }
}

PlyValue get_binary_item(PlyReader& reader, int type) {
    const int size = PlyTypeSize(type);
    if (size == 0) reader.Fail("a property has an unknown value type");
    unsigned char bytes[8];
    if (!reader.input_->Read(bytes, size_t(size))) reader.Fail("the file ends inside a record");
    if (reader.fileType == PlyBinaryBigEndian) std::reverse(bytes, bytes + size);
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
    PlyElementDesc* element = reader.current;
    if (!element) reader.Fail("no element is selected");
    unsigned char* const out = static_cast<unsigned char*>(record);
    const size_t propertyCount = element->properties.size();
    if (reader.lists_.size() < propertyCount) reader.lists_.resize(propertyCount);
    if (reader.strings_.size() < propertyCount) reader.strings_.resize(propertyCount);
    // A requested field must lie inside the caller's record.
    auto place = [&](int offset, int type) -> unsigned char* {
        const size_t size = type == -1 ? sizeof(void*) : size_t(PlyTypeSize(type));
        if (offset < 0 || size == 0 || size_t(offset) + size > recordSize)
            throw std::out_of_range("PLY request outside the caller's record");
        return out + offset;
    };

    const bool ascii = reader.fileType == PlyAscii;
    size_t word = 0;
    if (ascii) {
        // One line per record; blank lines carry no record.
        do {
            if (!reader.input_->ReadLine(reader.line_)) reader.Fail("the file ends before the last " + element->name + " record");
            SplitWords(reader.line_, reader.words_);
        } while (reader.words_.empty() && propertyCount > 0);
    }
    auto next = [&](int type) -> PlyValue {
        if (!ascii) return get_binary_item(reader, type);
        if (word >= reader.words_.size()) reader.Fail("a " + element->name + " record has too few values");
        const std::string_view text = reader.words_[word++];
        try {
            return get_ascii_item(text, type);
        } catch (const std::invalid_argument&) {
            reader.Fail("'" + std::string(text) + "' in a " + element->name + " record is not a number");
        } catch (const std::domain_error&) {
            reader.Fail("a property of element '" + element->name + "' has an unknown value type");
        }
    };

    for (size_t i = 0; i < propertyCount; ++i) {
        const PlyPropertyDesc& property = element->properties[i];
        const bool stored = element->stored[i] != 0;
        if (property.kind == PlyScalar) {
            const PlyValue value = next(property.externalType);
            if (stored) store_item(place(property.offset, property.internalType), property.internalType, value);
        } else if (property.kind == PlyList) {
            const PlyValue countValue = next(property.countExternalType);
            const int64_t count = countValue.intValue;
            const int itemSize = PlyTypeSize(property.externalType);
            if (count < 0) reader.Fail("a list in element '" + element->name + "' has a negative length");
            if (itemSize == 0) reader.Fail("a property of element '" + element->name + "' has an unknown value type");
            // The items must be there before anything is allocated for them.
            const uint64_t available = ascii ? uint64_t(reader.words_.size() - word) : reader.Remaining() / uint64_t(itemSize);
            if (uint64_t(count) > available) reader.Fail("a list in element '" + element->name + "' runs past the end of its record");
            if (!stored) {
                if (ascii) word += size_t(count);
                else if (!reader.input_->Skip(uint64_t(count) * uint64_t(itemSize))) reader.Fail("the file ends inside a record");
                continue;
            }
            store_item(place(property.countOffset, property.countInternalType), property.countInternalType, countValue);
            const int internalSize = PlyTypeSize(property.internalType);
            if (internalSize == 0) throw std::domain_error("store_item: bad type = " + std::to_string(property.internalType));
            std::vector<uint64_t>& list = reader.lists_[i];
            list.resize((size_t(count) * size_t(internalSize) + 7) / 8);
            unsigned char* items = reinterpret_cast<unsigned char*>(list.data());
            for (int64_t k = 0; k < count; ++k) store_item(items + k * internalSize, property.internalType, next(property.externalType));
            void* pointer = count > 0 ? items : nullptr;
            std::memcpy(place(property.offset, -1), &pointer, sizeof(void*));
        } else {
            std::string& text = reader.strings_[i];
            if (ascii) {
                if (word >= reader.words_.size()) reader.Fail("a " + element->name + " record has too few values");
                text.assign(reader.words_[word++]);
            } else {
                const int32_t length = get_binary_item(reader, PlyInt32).intValue;
                if (length < 0 || uint64_t(length) > reader.Remaining()) reader.Fail("a string runs past the end of the file");
                text.resize(size_t(length));
                if (!reader.input_->Read(text.data(), size_t(length))) reader.Fail("the file ends inside a record");
            }
            if (stored) {
                const char* pointer = text.c_str();
                std::memcpy(place(property.offset, -1), &pointer, sizeof(void*));
            }
        }
    }
}

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
    }
    for (int i = 0; i < element->count; ++i) {
        // Nothing is stored, so no record is needed.
        ply_get_element(reader, nullptr, 0);
    }
}

}  // namespace Pallix::Bake
