#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "io/chunkedinput.h"

namespace KelvorTest {

// An input whose bytes change as they are read, as a file does while another program rewrites
// it: the k-th reading of any part (counted from 0 over the whole input) sees the version that
// versionOf(k) names. Versions are cut or padded with spaces to the length of the first.
class ChangingSource : public Pallix::Bake::InputSource {
public:
    ChangingSource(std::vector<std::string> versions, std::function<size_t(uint64_t)> versionOf)
        : versions_(std::move(versions)), versionOf_(std::move(versionOf)) {
        for (std::string& version : versions_) version.resize(versions_[0].size(), ' ');
    }

    uint64_t Size() const override { return versions_[0].size(); }
    bool Read(uint64_t offset, size_t count, char* out) const override {
        const std::string& version = versions_[versionOf_(reads_++) % versions_.size()];
        std::memcpy(out, version.data() + offset, count);
        return true;
    }
    uint64_t Reads() const { return reads_; }

private:
    std::vector<std::string> versions_;
    std::function<size_t(uint64_t)> versionOf_;
    mutable std::atomic<uint64_t> reads_{0};
};

// The bytes turned round by `shift`: the same length, with lines and records cut elsewhere.
inline std::string Rotated(const std::string& bytes, size_t shift) {
    if (bytes.empty()) return bytes;
    shift %= bytes.size();
    return bytes.substr(shift) + bytes.substr(0, shift);
}

}  // namespace KelvorTest
