#include "platform/fbx/fbxdocument.h"

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

template <typename T>
void AppendReals(const std::vector<T>& in, std::vector<double>& out) {
    out.resize(in.size());
    for (size_t i = 0; i < in.size(); ++i) out[i] = double(in[i]);
}

template <typename T>
bool AppendInt32s(const std::vector<T>& in, std::vector<int32_t>& out) {
    out.resize(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const T v = in[i];
        if constexpr (std::is_floating_point_v<T>) {
            if (!(v >= -2147483648.0 && v <= 2147483647.0) || std::trunc(v) != v) return false;
        } else if constexpr (sizeof(T) > 4) {
            if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
        }
        out[i] = int32_t(v);
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
    return std::visit(
        [](const auto& v) -> size_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double> || std::is_same_v<T, std::string>)
                return 0;
            else
                return v.size();
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
    out.clear();
    if (element.values.size() == 1 && element.values[0].IsArray()) {
        auto& data = element.values[0].data;
        // Large arrays are taken over rather than copied; the element is not read again.
        if (auto* d = std::get_if<std::vector<double>>(&data)) {
            out.swap(*d);
            return true;
        }
        return std::visit(
            [&out](const auto& v) -> bool {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double> ||
                              std::is_same_v<T, std::string>)
                    return false;
                else {
                    AppendReals(v, out);
                    return true;
                }
            },
            data);
    }
    out.reserve(element.values.size());
    for (const FbxValue& v : element.values) {
        if (!v.IsNumber()) return false;
        out.push_back(v.AsReal());
    }
    return true;
}

bool ElementInt32s(FbxElement& element, std::vector<int32_t>& out) {
    out.clear();
    if (element.values.size() == 1 && element.values[0].IsArray()) {
        auto& data = element.values[0].data;
        if (auto* i = std::get_if<std::vector<int32_t>>(&data)) {
            out.swap(*i);
            return true;
        }
        return std::visit(
            [&out](const auto& v) -> bool {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double> ||
                              std::is_same_v<T, std::string>)
                    return false;
                else
                    return AppendInt32s(v, out);
            },
            data);
    }
    out.reserve(element.values.size());
    for (const FbxValue& v : element.values) {
        if (const auto* i = std::get_if<int64_t>(&v.data)) {
            if (*i < std::numeric_limits<int32_t>::min() || *i > std::numeric_limits<int32_t>::max()) return false;
            out.push_back(int32_t(*i));
        } else if (const auto* d = std::get_if<double>(&v.data)) {
            if (!(*d >= -2147483648.0 && *d <= 2147483647.0) || std::trunc(*d) != *d) return false;
            out.push_back(int32_t(*d));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace Pallix::Bake
