#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include <zlib.h>

#include "io/fbx/fbxdocument.h"

namespace Pallix::Bake {

static_assert(std::endian::native == std::endian::little, "the binary reader loads little-endian values directly");

namespace {

constexpr char BinaryMagic[] = "Kaydara FBX Binary  ";  // followed by 0x00 0x1A 0x00 and the version
constexpr size_t HeaderSize = 27;
// Deflate cannot expand data by more than about 1032:1; a larger claim is a lie, refused before
// anything is allocated for it.
constexpr uint64_t MaxInflateRatio = 1032;

std::string At(size_t offset) { return " at offset " + std::to_string(offset); }

// Reads the record tree of a binary file. Every length is checked against the bytes that are
// really there before it is used, so a corrupt file fails with a message and never reads outside
// the buffer or allocates more than the file can hold.
class FbxBinaryParser {
public:
    explicit FbxBinaryParser(std::string_view bytes) : data(bytes) {}

    FbxDocument Parse(size_t recordLimit) {
        FbxDocument document;
        if (data.size() < HeaderSize || std::memcmp(data.data(), BinaryMagic, 20) != 0 || data[20] != 0)
            throw FbxFormatError("not a binary FBX file");
        document.version = int(Load<uint32_t>(23));
        wide = document.version >= 7500;
        pos = HeaderSize;
        while (document.root.children.size() < recordLimit) {
            FbxElement element;
            if (!ReadRecord(element, data.size(), 0)) break;
            document.root.children.push_back(std::move(element));
        }
        return document;
    }

private:
    template <typename T>
    T Load(size_t at) const {
        T value;
        std::memcpy(&value, data.data() + at, sizeof(T));
        return value;
    }

    // Reads one record that must end at or before limit; false for the null record that closes a list.
    bool ReadRecord(FbxElement& out, size_t limit, int depth) {
        const size_t headerSize = wide ? 25 : 13;
        const size_t start = pos;
        if (limit - pos < headerSize) throw FbxFormatError("truncated record header" + At(start));
        uint64_t endOffset, propertyCount, propertyBytes;
        if (wide) {
            endOffset = Load<uint64_t>(pos);
            propertyCount = Load<uint64_t>(pos + 8);
            propertyBytes = Load<uint64_t>(pos + 16);
        } else {
            endOffset = Load<uint32_t>(pos);
            propertyCount = Load<uint32_t>(pos + 4);
            propertyBytes = Load<uint32_t>(pos + 8);
        }
        const size_t nameLength = uint8_t(data[pos + headerSize - 1]);
        pos += headerSize;
        if (endOffset == 0 && propertyCount == 0 && propertyBytes == 0 && nameLength == 0) return false;

        if (endOffset > limit || endOffset < pos + nameLength)
            throw FbxFormatError("record end offset " + std::to_string(endOffset) + " outside its parent" + At(start));
        if (depth >= FbxMaxNesting) throw FbxFormatError("records nested too deeply" + At(start));
        out.name.assign(data.data() + pos, nameLength);
        pos += nameLength;
        if (propertyBytes > endOffset - pos)
            throw FbxFormatError("property list of record '" + out.name + "' runs past the record" + At(start));
        // Every property takes at least two bytes, which bounds the count before reserving for it.
        if (propertyCount > propertyBytes / 2)
            throw FbxFormatError("record '" + out.name + "' claims more properties than bytes" + At(start));
        const size_t propertyEnd = pos + size_t(propertyBytes);
        out.values.reserve(size_t(propertyCount));
        for (uint64_t i = 0; i < propertyCount; ++i) out.values.push_back(ReadProperty(propertyEnd));
        if (pos != propertyEnd)
            throw FbxFormatError("property list of record '" + out.name + "' has the wrong length" + At(start));

        while (pos < endOffset) {
            FbxElement child;
            if (!ReadRecord(child, size_t(endOffset), depth + 1)) {
                if (pos != endOffset) throw FbxFormatError("null record inside record '" + out.name + "'" + At(pos));
                break;
            }
            out.children.push_back(std::move(child));
        }
        return true;
    }

    void Need(size_t count, size_t limit, const char* what) const {
        if (limit - pos < count) throw FbxFormatError(std::string("truncated ") + what + At(pos));
    }

    FbxValue ReadProperty(size_t limit) {
        Need(1, limit, "property");
        const char type = data[pos++];
        switch (type) {
            case 'Y': Need(2, limit, "16-bit integer"); pos += 2; return FbxValue(int64_t(Load<int16_t>(pos - 2)));
            case 'C': Need(1, limit, "boolean"); pos += 1; return FbxValue(int64_t(uint8_t(data[pos - 1]) != 0));
            case 'I': Need(4, limit, "32-bit integer"); pos += 4; return FbxValue(int64_t(Load<int32_t>(pos - 4)));
            case 'L': Need(8, limit, "64-bit integer"); pos += 8; return FbxValue(Load<int64_t>(pos - 8));
            case 'F': Need(4, limit, "float"); pos += 4; return FbxValue(double(Load<float>(pos - 4)));
            case 'D': Need(8, limit, "double"); pos += 8; return FbxValue(Load<double>(pos - 8));
            case 'S':
            case 'R': {
                Need(4, limit, "string length");
                const uint32_t length = Load<uint32_t>(pos);
                pos += 4;
                Need(length, limit, "string");
                std::string text(data.data() + pos, length);
                pos += length;
                return FbxValue(std::move(text));
            }
            case 'i':
            case 'f': return FbxValue(ReadArray(type, 4, limit));
            case 'l':
            case 'd': return FbxValue(ReadArray(type, 8, limit));
            case 'b':
            case 'c': return FbxValue(ReadArray(type, 1, limit));
            default:
                throw FbxFormatError("unknown property type " + std::to_string(int(uint8_t(type))) + At(pos - 1));
        }
    }

    // Checks an array's header against the bytes that are there and leaves the array packed.
    FbxPackedArray ReadArray(char type, size_t entryBytes, size_t limit) {
        const size_t start = pos;
        Need(12, limit, "array header");
        const uint32_t count = Load<uint32_t>(pos);
        const uint32_t encoding = Load<uint32_t>(pos + 4);
        const uint32_t storedBytes = Load<uint32_t>(pos + 8);
        pos += 12;
        Need(storedBytes, limit, "array data");
        const uint64_t rawBytes = uint64_t(count) * entryBytes;
        if (encoding == 0) {
            if (rawBytes != storedBytes)
                throw FbxFormatError("array of " + std::to_string(count) + " entries stored in " +
                                     std::to_string(storedBytes) + " bytes" + At(start));
        } else if (encoding == 1) {
            if (rawBytes > uint64_t(storedBytes) * MaxInflateRatio + 64)
                throw FbxFormatError("compressed array of " + std::to_string(count) + " entries in only " +
                                     std::to_string(storedBytes) + " bytes" + At(start));
        } else {
            throw FbxFormatError("unknown array encoding " + std::to_string(encoding) + At(start));
        }
        const FbxPackedArray packed{data.substr(pos, storedBytes), start, count, type, encoding == 1};
        pos += storedBytes;
        return packed;
    }

    std::string_view data;
    size_t pos = 0;
    bool wide = false;
};

template <typename T>
std::vector<T> Unpack(const FbxPackedArray& packed) {
    std::vector<T> values;
    if (!packed.compressed) {
        values.resize(packed.count);
        if (packed.count) std::memcpy(values.data(), packed.bytes.data(), packed.bytes.size());
        return values;
    }
    // The count is trusted only as far as the stream really goes: the array starts at what the
    // stream most likely gives and grows with what it does give, so a stream that ends early or
    // is damaged costs no more memory than the data it held.
    const uint64_t claimedBytes = uint64_t(packed.count) * sizeof(T);
    values.resize(size_t(std::min<uint64_t>(packed.count, (uint64_t(packed.bytes.size()) * 16 + 4095) / sizeof(T))));
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) throw FbxFormatError("cannot start decompression");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.bytes.data()));
    stream.avail_in = uInt(packed.bytes.size());
    // zlib counts output in 32-bit chunks; a spare byte lets a stream that should end there
    // show whether it really ends.
    unsigned char spare = 0;
    size_t written = 0;
    int result = Z_OK;
    for (;;) {
        if (written == values.size() * sizeof(T) && values.size() < packed.count)
            values.resize(size_t(std::min<uint64_t>(packed.count, uint64_t(values.size()) * 4)));
        const size_t room = values.size() * sizeof(T) - written;
        const size_t chunk = std::min<size_t>(room, size_t(1) << 30);
        stream.next_out = chunk ? reinterpret_cast<unsigned char*>(values.data()) + written : &spare;
        stream.avail_out = chunk ? uInt(chunk) : 1;
        result = inflate(&stream, Z_FINISH);
        const size_t made = (chunk ? chunk : 1) - stream.avail_out;
        if (!chunk && made) {
            result = Z_DATA_ERROR;  // more data than the array declares
            break;
        }
        written += made;
        if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR) || made == 0) break;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || written != claimedBytes)
        throw FbxFormatError("corrupt compressed array" + At(packed.offset));
    return values;
}

}  // namespace

FbxDocument FbxDocument::ParseBinary(std::string_view bytes, size_t recordLimit) {
    return FbxBinaryParser(bytes).Parse(recordLimit);
}

FbxValue::Storage UnpackArray(const FbxPackedArray& packed) {
    switch (packed.type) {
        case 'i': return Unpack<int32_t>(packed);
        case 'l': return Unpack<int64_t>(packed);
        case 'f': return Unpack<float>(packed);
        case 'd': return Unpack<double>(packed);
        case 'b': return Unpack<uint8_t>(packed);
        default: return Unpack<int8_t>(packed);
    }
}

}  // namespace Pallix::Bake
