#include "io/fbx/fbxdocument.h"

#include <cmath>
#include <limits>

namespace Pallix::Bake {

namespace {

int64_t SaturatingInteger(double v) {
    if (!(v == v)) return 0;
    if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return int64_t(v);
}

// The decoded array alternatives of FbxValue::Storage: all but the number, text and packed ones.
template <typename T>
constexpr bool IsArrayStorage = !std::is_same_v<T, int64_t> && !std::is_same_v<T, double> &&
                                !std::is_same_v<T, std::string> && !std::is_same_v<T, FbxPackedArray>;

struct ToReal {
    template <typename T>
    bool operator()(T v, double& out) const {
        out = double(v);
        return true;
    }
};

// Refuses a number that is not whole or not in the 32-bit range.
struct ToInt32 {
    template <typename T>
    bool operator()(T v, int32_t& out) const {
        if constexpr (std::is_floating_point_v<T>) {
            if (!(v >= -2147483648.0 && v <= 2147483647.0) || std::trunc(v) != v) return false;
        } else if constexpr (sizeof(T) > 4) {
            if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
        }
        out = int32_t(v);
        return true;
    }
};

// The numbers of an element, each passed through convert; false at the first entry that is not
// a number or that convert refuses, whose position goes to bad.
template <typename Out, typename Convert>
bool ElementNumbers(FbxElement& element, std::vector<Out>& out, Convert convert, size_t& bad) {
    out.clear();
    bad = 0;
    if (element.values.size() == 1 && element.values[0].IsArray()) {
        auto& data = element.values[0].data;
        if (const auto* packed = std::get_if<FbxPackedArray>(&data)) {
            const FbxPackedArray stored = *packed;
            data = UnpackArray(stored);
        }
        // An array of the wanted type is taken over rather than copied; the element is not read again.
        if (auto* same = std::get_if<std::vector<Out>>(&data)) {
            out.swap(*same);
            return true;
        }
        return std::visit(
            [&](const auto& v) -> bool {
                if constexpr (IsArrayStorage<std::decay_t<decltype(v)>>) {
                    out.resize(v.size());
                    for (size_t i = 0; i < v.size(); ++i)
                        if (!convert(v[i], out[i])) {
                            bad = i;
                            return false;
                        }
                    return true;
                } else {
                    return false;
                }
            },
            data);
    }
    out.reserve(element.values.size());
    for (const FbxValue& value : element.values) {
        bad = out.size();
        Out number;
        if (const auto* i = std::get_if<int64_t>(&value.data)) {
            if (!convert(*i, number)) return false;
        } else if (const auto* d = std::get_if<double>(&value.data)) {
            if (!convert(*d, number)) return false;
        } else {
            return false;
        }
        out.push_back(number);
    }
    return true;
}

}  // namespace

int64_t FbxValue::AsInteger() const {
    if (const auto* i = std::get_if<int64_t>(&data)) return *i;
    if (const auto* d = std::get_if<double>(&data)) return SaturatingInteger(*d);
    return 0;
}

double FbxValue::AsReal() const {
    if (const auto* i = std::get_if<int64_t>(&data)) return double(*i);
    if (const auto* d = std::get_if<double>(&data)) return *d;
    return 0.0;
}

std::string_view FbxValue::AsText() const {
    if (const auto* s = std::get_if<std::string>(&data)) return *s;
    return {};
}

size_t FbxValue::ArraySize() const {
    if (const auto* packed = std::get_if<FbxPackedArray>(&data)) return packed->count;
    return std::visit(
        [](const auto& v) -> size_t {
            if constexpr (IsArrayStorage<std::decay_t<decltype(v)>>)
                return v.size();
            else
                return 0;
        },
        data);
}

const FbxElement* FbxElement::Find(std::string_view childName) const {
    for (const FbxElement& child : children)
        if (child.name == childName) return &child;
    return nullptr;
}

FbxElement* FbxElement::Find(std::string_view childName) {
    for (FbxElement& child : children)
        if (child.name == childName) return &child;
    return nullptr;
}

bool ElementReals(FbxElement& element, std::vector<double>& out) {
    size_t bad = 0;
    return ElementNumbers(element, out, ToReal(), bad);
}

bool ElementInt32s(FbxElement& element, std::vector<int32_t>& out, size_t& bad) {
    return ElementNumbers(element, out, ToInt32(), bad);
}

}  // namespace Pallix::Bake
