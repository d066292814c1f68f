#include "io/fbx/fbxscene.h"

#include <algorithm>
#include <charconv>

#include "io/polygontriangulation.h"

namespace Pallix::Bake {

const FbxPropertyTable::Property* FbxPropertyTable::Find(std::string_view name) const {
    const auto it = std::lower_bound(properties.begin(), properties.end(), name,
                                     [](const Property& property, std::string_view key) { return property.name < key; });
    return it != properties.end() && it->name == name ? &*it : nullptr;
}

void FbxPropertyTable::Assign(std::vector<Property> list) {
    std::stable_sort(list.begin(), list.end(), [](const Property& a, const Property& b) { return a.name < b.name; });
    properties.clear();
    properties.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        if (i + 1 == list.size() || list[i + 1].name != list[i].name) properties.push_back(std::move(list[i]));
}

const double* FbxLayerElement::Resolve(int64_t at) const {
    switch (reference) {
        case FbxReferenceMode::Direct: return DirectAt(at);
        case FbxReferenceMode::IndexToDirect: return DirectAt(IndexAt(at));
        default: return nullptr;
    }
}

std::string FbxValueText(const FbxValue& value) {
    if (value.IsText()) return std::string(value.AsText());
    char buffer[64];
    std::to_chars_result result;
    if (const auto* i = std::get_if<int64_t>(&value.data))
        result = std::to_chars(buffer, buffer + sizeof buffer, *i);
    else if (const auto* d = std::get_if<double>(&value.data))
        result = std::to_chars(buffer, buffer + sizeof buffer, *d);
    else
        return {};
    return std::string(buffer, result.ptr);
}

bool FbxNode::FindPropertyText(std::string_view propertyName, std::string& text) const {
    const FbxPropertyTable::Property* property = properties.Find(propertyName);
    if (!property && templateProperties) property = templateProperties->Find(propertyName);
    if (!property) return false;
    text = property->values.empty() ? std::string() : FbxValueText(property->values[0]);
    return true;
}

void FbxScene::Triangulate() {
    uint64_t budget = EarClippingBudget;
    for (auto& mesh : meshes) mesh->Triangulate(budget);
}

}  // namespace Pallix::Bake
