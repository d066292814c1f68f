#pragma once

// A minimal binary FBX 7.4 emitter for the benchmarks' generated files: nested records with
// scalar and string properties and zlib-compressed arrays.
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

namespace KelvorBench {

class FbxBinaryWriter {
public:
    // Starts a new file, dropping whatever was written before.
    void Start() {
        out.assign("Kaydara FBX Binary  ");
        out.push_back('\0');
        out.push_back('\x1a');
        out.push_back('\0');
        Put(uint32_t(7400));
    }
    // Closes the top-level list of records and hands over the file's bytes.
    std::string Finish() {
        out.append(13, '\0');
        return std::move(out);
    }

    void Record(const char* name, const std::function<void()>& properties,
                const std::function<void()>& children = nullptr) {
        const size_t start = out.size();
        out.append(12, '\0');
        out.push_back(char(std::strlen(name)));
        out += name;
        const size_t propertiesStart = out.size();
        count = 0;
        if (properties) properties();
        const uint32_t propertyCount = count;
        const uint32_t propertyBytes = uint32_t(out.size() - propertiesStart);
        if (children) {
            children();
            out.append(13, '\0');
        }
        const uint32_t header[3] = {uint32_t(out.size()), propertyCount, propertyBytes};
        std::memcpy(&out[start], header, sizeof header);
    }
    void Int(int32_t v) { out.push_back('I'), Put(v), ++count; }
    void Long(int64_t v) { out.push_back('L'), Put(v), ++count; }
    void Double(double v) { out.push_back('D'), Put(v), ++count; }
    void String(const std::string& s) { out.push_back('S'), Put(uint32_t(s.size())), out += s, ++count; }
    template <typename T>
    void Array(char type, const std::vector<T>& values) {
        uLongf packed = compressBound(uLong(values.size() * sizeof(T)));
        std::string buffer(packed, '\0');
        compress2(reinterpret_cast<Bytef*>(buffer.data()), &packed, reinterpret_cast<const Bytef*>(values.data()),
                  uLong(values.size() * sizeof(T)), 1);
        out.push_back(type);
        Put(uint32_t(values.size()));
        Put(uint32_t(1));
        Put(uint32_t(packed));
        out.append(buffer.data(), packed);
        ++count;
    }
    void DoubleArray(const std::vector<double>& v) { Array('d', v); }
    void IntArray(const std::vector<int32_t>& v) { Array('i', v); }

private:
    template <typename T>
    void Put(T v) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        out.append(bytes, sizeof(T));
    }

    std::string out;
    uint32_t count = 0;
};

}  // namespace KelvorBench
