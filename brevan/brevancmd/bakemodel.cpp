#include "bakemodel.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>
#include <limits>
#include <utility>

#include "fieldnumber.h"

namespace Pallix::Bake::BakeModel {

namespace {

using Kind = Attribute::Kind;

const float kInfinity = std::numeric_limits<float>::infinity();
const int kIntMax = std::numeric_limits<int>::max();

const QStringList kSizes = {"64", "128", "256", "512", "1024", "2048", "4096", "8192", "16384"};

// The settings library removes a key together with the group of the same name, and the tick of
// preset x is named as the group of a preset named "x_batch_on": with such a group present the
// tick is set to 0, which reads as unticked, instead.
void ClearBatchTick(QSettings& settings, const QString& name) {
    const QString key = "preset_" + name + "_batch_on";
    settings.beginGroup(key);
    const bool headsGroup = !settings.allKeys().isEmpty();
    settings.endGroup();
    if (!headsGroup)
        settings.remove(key);
    else if (settings.contains(key))
        settings.setValue(key, 0);
}

}  // namespace

Attribute::Attribute(const QString& key, const QString& label, bool defaultValue)
    : key(key), label(label), kind(Kind::Bool), boolDefault(defaultValue) {}

Attribute::Attribute(const QString& key, const QString& label, float minimum, float maximum, float defaultValue)
    : key(key), label(label), kind(Kind::Float), floatMinimum(minimum), floatMaximum(maximum),
      floatDefault(defaultValue) {}

Attribute::Attribute(const QString& key, const QString& label, const QStringList& items, int defaultIndex)
    : key(key), label(label), kind(Kind::Enumeration), intDefault(defaultIndex), items(items) {}

Attribute::Attribute(const QString& key, const QString& label, int maximum)
    : key(key), label(label), kind(Kind::Int), intMaximum(maximum) {}

Attribute::Attribute(const QString& key, const QString& label, const QString& defaultValue)
    : key(key), label(label), kind(Kind::String), stringDefault(defaultValue) {}

Node::Value Attribute::DefaultValue() const {
    Node::Value value;
    value.attribute = this;
    switch (kind) {
    case Kind::Bool: value.boolValue = boolDefault; break;
    case Kind::Float: value.floatValue = floatDefault; break;
    case Kind::Enumeration:
    case Kind::Int: value.intValue = intDefault; break;
    case Kind::String: value.textValue = stringDefault; break;
    }
    return value;
}

QString Attribute::ItemText(int index) const { return items.value(index); }

int Attribute::EnumerationIndexOf(const QString& text) const {
    const int found = items.indexOf(text);
    if (found >= 0) return found;
    qDebug() << "Could not find enumeration:" << text;
    // A stored index is still understood; "0" cannot be told from a text that is not a number.
    const int number = text.toInt(nullptr, 10);
    if (number >= 1 && number <= items.size() - 1) return number;
    return intDefault;
}

Attributes::Attributes()
    : maptype("maptype", "",
              {"Normal Map", "AO Map", "Material ID", "Displacement", "Vertex Colors", "Curvature", "Thickness",
               "World Position", "Hard Edges", "Alpha Mask"},
              0),
      tangents("tangents", "Tangents",
               {"FBX Tangents", "Maya Viewport 2.0", "MiKK", "Unreal 4.7+", "DOTA 2 (Source)", "Unity 5.3+"}, 0),
      normals("normals", "Normals", {"Compute All", "Import Normals", "Import All"}, 1),
      supersampling("supersampling", "Sampling", {"1x1", "2x2", "4x4", "8x8"}, 0),
      blur("blur", "Blur",
           {"None", "1 pixel", "2 pixel", "3 pixel", "4 pixel", "5 pixel", "6 pixel", "7 pixel", "8 pixel"}, 0),
      yup("yup", "Y Up", {"+", "-"}, 0),
      quality("quality", "Quality", {"Low", "Med", "High", "Ultra"}, 0),
      spread("spread", "spread", 0.0f, 360.0f, 160.0f),
      distance("distance", "Distance", 0.0f, kInfinity, 0.0f),
      radius("radius", "Radius", 0.0f, kInfinity, 1.0f),
      layers("layers", "Layers", false),
      width("width", "Width", kSizes, 4),
      height("height", "Height", kSizes, 4),
      format("format", "Format", {"tiff 16-bit", "tiff 8-bit", "png 16-bit", "png 8-bit", "exr"}, 0),
      axis("axis", "Axis", {"All", "X", "Y", "Z"}, 0),
      searchdistance("searchdistance", "Search Distance", 0.0f, kInfinity, 0.0f),
      searchmethod("searchmethod", "Search Method", {"Furthest", "Closest"}, 0),
      dilation("dilation", "Dilation", kIntMax),
      direction("direction", "Direction", {"Geometry Normals", "Surface Normals", "Rounded Normals"}, 0),
      rounding("rounding", "Rounding", 0.0f, kInfinity, 1.0f),
      path("path", "", QString()),
      enabled("enabled", "", true),
      normalized("normalized", "Normalized", false),
      tilingmethod("tilingmethod", "UV Tiling", {"None", "Automatic", "Manual"}, 0),
      tilingnaming("tilingnaming", "Naming", {"UDIM", "Mudbox"}, 0),
      tilingminu("tilingminu", "U Min", kIntMax),
      tilingmaxu("tilingmaxu", "Max", kIntMax),
      tilingminv("tilingminv", "V Min", kIntMax),
      tilingmaxv("tilingmaxv", "Max", kIntMax) {}

QString Node::Value::Text() const {
    if (!attribute) return QString();
    switch (attribute->kind) {
    case Kind::Bool: return boolValue ? "true" : "false";
    case Kind::Float: return StoredFloatText(floatValue);
    case Kind::Enumeration: return attribute->ItemText(intValue);
    case Kind::Int: return QString::number(intValue);
    case Kind::String: return textValue;
    }
    return QString();
}

Node::Node(Preset* model, const QString& name, int index) : model(model), name(name), index(index) {}

void Node::Reset() {
    values.clear();
    AppendDefault(model->Attrs().path);
    AppendDefault(model->Attrs().enabled);
}

void Node::AppendDefault(const Attribute& attribute) { values.push_back(attribute.DefaultValue()); }

const Node::Value* Node::FindValue(const Attribute& attribute) const {
    for (const Value& value : values)
        if (value.attribute == &attribute) return &value;
    return nullptr;
}

Node::Value* Node::Find(const Attribute& attribute) {
    return const_cast<Value*>(std::as_const(*this).FindValue(attribute));
}

Node::Value Node::ValueOrDefault(const Attribute& attribute) const {
    const Value* value = FindValue(attribute);
    return value ? *value : attribute.DefaultValue();
}

QString Node::ValueText(const Attribute& attribute) const {
    const Value* value = FindValue(attribute);
    return value ? value->Text() : QString();
}

QString Node::Path() const { return ValueText(model->Attrs().path); }

QString Node::StoreKey(const Attribute& attribute) const { return name + "_" + attribute.key; }

void Node::WriteThrough(const Value& value) const {
    SettingsStore& store = model->Store();
    const QString key = StoreKey(*value.attribute);
    switch (value.attribute->kind) {
    case Kind::Bool: store.SetInt(key, value.boolValue ? 1 : 0); break;
    case Kind::Int: store.SetInt(key, value.intValue); break;
    case Kind::Float:
    case Kind::Enumeration:
    case Kind::String: store.SetString(key, value.Text()); break;
    }
}

void Node::LogMissing(const Attribute& attribute) const {
    qDebug() << "Error on node " << name << ": missing attribute (" << attribute.key << ")";
}

void Node::SetBool(const Attribute& attribute, bool v) {
    Value* value = Find(attribute);
    if (!value) return LogMissing(attribute);
    value->boolValue = v;
    WriteThrough(*value);
}

void Node::Set(const Attribute& attribute, int v) {
    Value* value = Find(attribute);
    if (!value) return LogMissing(attribute);
    // A cleared combo box reports -1; an enumeration keeps an item index.
    if (attribute.kind == Kind::Enumeration && (v < 0 || v >= attribute.items.size())) {
        qDebug() << "Error on node " << name << ": no item" << v << "in (" << attribute.key << ")";
        return;
    }
    value->intValue = v;
    WriteThrough(*value);
}

void Node::SetFloat(const Attribute& attribute, float v) {
    Value* value = Find(attribute);
    if (!value) return LogMissing(attribute);
    value->floatValue = v;
    WriteThrough(*value);
}

void Node::SetString(const Attribute& attribute, const QString& text) {
    Value* value = Find(attribute);
    if (!value) return LogMissing(attribute);
    value->textValue = text;
    WriteThrough(*value);
}

void Node::SetEnumerationText(const Attribute& attribute, const QString& text) {
    Value* value = Find(attribute);
    if (!value) return LogMissing(attribute);
    value->intValue = attribute.EnumerationIndexOf(text);
    model->Store().SetString(StoreKey(attribute), text);
}

void Node::Load() {
    const SettingsStore& store = model->Store();
    for (Value& value : values) {
        const Attribute& attribute = *value.attribute;
        const QString key = StoreKey(attribute);
        switch (attribute.kind) {
        case Kind::Bool: value.boolValue = store.GetInt(key, attribute.boolDefault ? 1 : 0) != 0; break;
        case Kind::Float:
            // Text that holds no number reads as 0, as it always has; a decimal comma reads as the window takes it.
            value.floatValue =
                ReadFloatField(store.GetStringOr(key, StoredFloatText(attribute.floatDefault))).value_or(0.0f);
            break;
        case Kind::Enumeration:
            value.intValue =
                attribute.EnumerationIndexOf(store.GetStringOr(key, attribute.ItemText(attribute.intDefault)));
            break;
        case Kind::Int: value.intValue = store.GetInt(key, attribute.intDefault); break;
        case Kind::String: value.textValue = store.GetStringOr(key, attribute.stringDefault); break;
        }
    }
}

void Node::Save() const {
    for (const Value& value : values) WriteThrough(value);
}

Preset::Preset(SettingsStore* store)
    : store(store),
      attributeList{&attributes.maptype,        &attributes.tangents,     &attributes.normals,
                    &attributes.supersampling,  &attributes.blur,         &attributes.yup,
                    &attributes.quality,        &attributes.axis,         &attributes.spread,
                    &attributes.distance,       &attributes.radius,       &attributes.normalized,
                    &attributes.layers,         &attributes.width,        &attributes.height,
                    &attributes.format,         &attributes.searchdistance, &attributes.searchmethod,
                    &attributes.dilation,       &attributes.direction,    &attributes.rounding,
                    &attributes.path,           &attributes.enabled,      &attributes.tilingmethod,
                    &attributes.tilingnaming,   &attributes.tilingminu,   &attributes.tilingmaxu,
                    &attributes.tilingminv,     &attributes.tilingmaxv},
      envelope(this, "envelope", 0),
      target(this, "target", 0),
      output(this, "output", 0) {
    envelope.Reset();
    target.Reset();
    output.Reset();
    Reset();
    // Nothing is written yet: the store's current rows belong to whatever preset loads next.
    CreateMapNode();
    CreateTraceNode();
}

Preset::~Preset() = default;

const Attribute* Preset::FindAttribute(const QString& key) const {
    for (const Attribute* attribute : attributeList)
        if (attribute->key == key) return attribute;
    return nullptr;
}

Node* Preset::GetNode(const QString& name) {
    for (Node* fixed : {&output, &envelope, &target})
        if (fixed->name == name) return fixed;
    for (const NodeList* list : {&mapNodes, &traceNodes})
        for (const std::unique_ptr<Node>& node : *list)
            if (node->name == name) return node.get();
    qDebug() << "Can't find node:" << name;
    return nullptr;
}

Node* Preset::CreateMapNode() {
    const int n = int(mapNodes.size());
    auto node = std::make_unique<Node>(this, "map" + QString::number(n), n);
    node->Reset();
    for (const Attribute* attribute :
         {&attributes.maptype, &attributes.supersampling, &attributes.tangents, &attributes.normals,
          &attributes.quality, &attributes.axis, &attributes.blur, &attributes.distance, &attributes.radius,
          &attributes.normalized, &attributes.spread, &attributes.layers, &attributes.yup})
        node->AppendDefault(*attribute);
    mapNodes.push_back(std::move(node));
    return mapNodes.back().get();
}

Node* Preset::CreateTraceNode() {
    const int n = int(traceNodes.size());
    auto node = std::make_unique<Node>(this, "trace" + QString::number(n), n);
    node->Reset();
    traceNodes.push_back(std::move(node));
    return traceNodes.back().get();
}

Node* Preset::AddMapNode() {
    Node* node = CreateMapNode();
    node->Save();
    store->SetInt("numbakes", int(mapNodes.size()));
    return node;
}

Node* Preset::AddTraceNode() {
    Node* node = CreateTraceNode();
    node->Save();
    store->SetInt("traceMeshes", int(traceNodes.size()));
    return node;
}

void Preset::RemoveNode(NodeList& list, Node* node, const QString& prefix, const QString& countKey) {
    const auto found = std::find_if(list.begin(), list.end(), [node](const auto& n) { return n.get() == node; });
    if (found == list.end()) return;
    auto removed = std::move(*found);
    for (auto i = list.erase(found); i != list.end(); ++i) {
        Node& moved = **i;
        moved.index = int(i - list.begin());
        moved.name = prefix + QString::number(moved.index);
        moved.Save();
    }
    store->SetInt(countKey, int(list.size()));
}

void Preset::RemoveMapNode(Node* node) { RemoveNode(mapNodes, node, "map", "numbakes"); }

void Preset::RemoveTraceNode(Node* node) { RemoveNode(traceNodes, node, "trace", "traceMeshes"); }

void Preset::Reset() {
    presetName.clear();
    envelope.Reset();
    target.Reset();
    output.Reset();
    mapNodes.clear();
    traceNodes.clear();
    envelope.Find(attributes.enabled)->boolValue = false;
    for (const Attribute* attribute :
         {&attributes.width, &attributes.height, &attributes.format, &attributes.searchdistance,
          &attributes.searchmethod, &attributes.dilation, &attributes.direction, &attributes.rounding,
          &attributes.tilingmethod, &attributes.tilingnaming, &attributes.tilingminu, &attributes.tilingmaxu,
          &attributes.tilingminv, &attributes.tilingmaxv})
        output.AppendDefault(*attribute);
}

void Preset::LoadPreset(const QString& name) {
    // The caller may pass PresetName() itself, which the reset clears.
    const QString chosen = name;
    Reset();
    presetName = chosen;
    SetCurrentPreset();
    // A damaged count must not build rows without end at every start.
    const int traceCount = std::min(store->GetInt("traceMeshes", 0), kMaxNodes);
    const int mapCount = std::min(store->GetInt("numbakes", 0), kMaxNodes);
    envelope.Load();
    output.Load();
    target.Load();
    if (traceCount >= 1) {
        for (int i = 0; i < traceCount; ++i) CreateTraceNode()->Load();
    } else {
        AddTraceNode();
    }
    if (mapCount >= 1) {
        for (int i = 0; i < mapCount; ++i) CreateMapNode()->Load();
    } else {
        AddMapNode();
    }
}

void Preset::SetCurrentPreset() {
    store->currentPreset = presetName;
    store->settings.setValue("preset", presetName);
    store->settings.sync();
}

QString Preset::CurrentPresetName() const { return store->GetStringOrCreate("preset", QString(), false); }

void Preset::Save() {
    SetCurrentPreset();
    store->SetInt("numbakes", int(mapNodes.size()));
    store->SetInt("traceMeshes", int(traceNodes.size()));
    for (const auto& node : traceNodes) node->Save();
    for (const auto& node : mapNodes) node->Save();
    output.Save();
    envelope.Save();
    target.Save();
}

int Preset::PresetNames(QStringList& out) const {
    // Another window on the same store may have changed the list since this one last read the
    // file; the settings library reads it again only when it has changed.
    store->settings.sync();
    out = store->GetString("presets").split(",", Qt::KeepEmptyParts, Qt::CaseSensitive);
    return int(out.size());
}

QChar Preset::ForbiddenCharacter(const QString& name) {
    for (const QChar c : name)
        if (c == u',' || c == u'/' || c == u'\\') return c;
    return QChar();
}

bool Preset::AppendToList(const QString& name) {
    QStringList names;
    PresetNames(names);
    // Another window may have listed it meanwhile.
    if (names.contains(name)) return false;
    names.append(name);
    store->settings.setValue("presets", names.join(","));
    store->settings.sync();
    return true;
}

bool Preset::AddPreset(const QString& name) {
    // A name of spaces only would look like the unnamed preset in the list.
    if (name.trimmed().isEmpty() || !ForbiddenCharacter(name).isNull()) return false;
    presetName = name;
    // A tick left by an earlier removal that did not clear it must not tick the new preset.
    if (AppendToList(name)) ClearBatchTick(store->settings, name);
    Save();
    return true;
}

bool Preset::ListPreset(const QString& name) {
    if (!ForbiddenCharacter(name).isNull()) return false;
    AppendToList(name);
    LoadPreset(name);
    return true;
}

void Preset::RemovePreset() {
    QStringList names;
    if (PresetNames(names) == 1) return;
    names.removeAll(presetName);
    // With every entry naming the current preset there would be nothing left to load.
    if (names.isEmpty()) return;
    store->settings.setValue("presets", names.join(","));
    store->settings.sync();
    RemoveStoredValues();
    LoadPreset(names.first());
}

void Preset::RemoveStoredValues() {
    QSettings& settings = store->settings;
    if (!presetName.isEmpty()) {
        // Key by key: the group removed by its name would take the global key of that name with
        // it, which is the batch tick of the preset named as the group less its "_batch_on".
        settings.beginGroup("preset_" + presetName);
        for (const QString& key : settings.childKeys()) settings.remove(key);
        settings.endGroup();
    } else {
        // The unnamed preset keeps its nodes and counts unscoped, among the global keys.
        static const QRegularExpression own(
            "^((envelope|target|output|map\\d+|trace\\d+)_[a-z]+|numbakes|traceMeshes|processorsBox|bakecount)$");
        for (const QString& key : settings.childKeys())
            if (own.match(key).hasMatch()) settings.remove(key);
    }
    // A new preset of the same name must not come back ticked for the batch.
    ClearBatchTick(settings, presetName);
    settings.sync();
}

}  // namespace Pallix::Bake::BakeModel
