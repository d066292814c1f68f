#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

#include "settingsstore.h"

// The interactive program's bake settings: attribute definitions, the nodes that hold their
// values, and the presets under which every change is written through to the settings store.
namespace Pallix::Bake::BakeModel {

class Attribute;
class Preset;

// A named group of values, one per attribute of the node's set, stored under name + "_" + key.
class Node {
public:
    struct Value {
        bool boolValue = false;
        float floatValue = 0.0f;
        int intValue = 0;  // int, or the item index of an enumeration
        QString textValue;
        const Attribute* attribute = nullptr;

        // "true"/"false", the float with the digits that read back as the same float, the item
        // text, the decimal, the text.
        QString Text() const;
    };

    Node(Preset* model, const QString& name, int index);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const QString& Name() const { return name; }
    int Index() const { return index; }
    const std::vector<Value>& Values() const { return values; }

    // Back to the defaults of "path" and "enabled" only.
    void Reset();

    // The node's value for the attribute, or null when the node holds none.
    const Value* FindValue(const Attribute& attribute) const;
    // The node's value, or the attribute's default when the node holds none.
    Value ValueOrDefault(const Attribute& attribute) const;
    // The text of the node's value; empty when the node holds none.
    QString ValueText(const Attribute& attribute) const;
    QString Path() const;

    // Each setter stores the value and writes it to the store at once; an attribute the node
    // does not hold is logged and changes nothing.
    void SetBool(const Attribute& attribute, bool value);
    // An enumeration takes an item index and is written as its item text.
    void Set(const Attribute& attribute, int value);
    void SetFloat(const Attribute& attribute, float value);
    void SetString(const Attribute& attribute, const QString& text);
    // Stores the index the text resolves to, but writes the text itself.
    void SetEnumerationText(const Attribute& attribute, const QString& text);

    // Reads or writes every value under the current preset's keys.
    void Load();
    void Save() const;

private:
    friend class Preset;

    void AppendDefault(const Attribute& attribute);
    Value* Find(const Attribute& attribute);
    QString StoreKey(const Attribute& attribute) const;
    void WriteThrough(const Value& value) const;
    void LogMissing(const Attribute& attribute) const;

    Preset* model;
    QString name;
    int index;
    std::vector<Value> values;
};

// The definition of one setting; fixed after construction.
class Attribute {
public:
    enum class Kind : int { Bool = 0, Float = 1, Enumeration = 2, Int = 3, String = 4 };

    Attribute(const QString& key, const QString& label, bool defaultValue);
    Attribute(const QString& key, const QString& label, float minimum, float maximum, float defaultValue);
    Attribute(const QString& key, const QString& label, const QStringList& items, int defaultIndex);
    // Minimum and default are 0.
    Attribute(const QString& key, const QString& label, int maximum);
    Attribute(const QString& key, const QString& label, const QString& defaultValue);
    // A text literal would otherwise convert to bool and pick the bool constructor.
    Attribute(const QString& key, const QString& label, const char* defaultValue) = delete;
    Attribute(const Attribute&) = delete;
    Attribute& operator=(const Attribute&) = delete;

    Node::Value DefaultValue() const;
    // The item text at index; empty outside the item list.
    QString ItemText(int index) const;
    // The item equal to text; else its decimal value when that lies in 1 .. count - 1; else
    // the default index. Only an exact match goes without a debug line.
    int EnumerationIndexOf(const QString& text) const;

    const QString key;
    const QString label;
    const Kind kind;
    const float floatMinimum = 0.0f;
    const float floatMaximum = 0.0f;
    const float floatDefault = 0.0f;
    const int intMinimum = 0;
    const int intMaximum = 0;
    const int intDefault = 0;
    const bool boolDefault = false;
    const QStringList items;
    const QString stringDefault;
};

// The 29 attributes, declared in their construction order.
struct Attributes {
    Attributes();

    const Attribute maptype;
    const Attribute tangents;
    const Attribute normals;
    const Attribute supersampling;
    const Attribute blur;
    const Attribute yup;
    const Attribute quality;
    const Attribute spread;
    const Attribute distance;
    const Attribute radius;
    const Attribute layers;
    const Attribute width;
    const Attribute height;
    const Attribute format;
    const Attribute axis;
    const Attribute searchdistance;
    const Attribute searchmethod;
    const Attribute dilation;
    const Attribute direction;
    const Attribute rounding;
    const Attribute path;
    const Attribute enabled;
    const Attribute normalized;
    const Attribute tilingmethod;
    const Attribute tilingnaming;
    const Attribute tilingminu;
    const Attribute tilingmaxu;
    const Attribute tilingminv;
    const Attribute tilingmaxv;
};

// The model: the fixed nodes, the map and trace nodes of the current preset, and the presets.
class Preset {
public:
    using NodeList = std::vector<std::unique_ptr<Node>>;
    // The most map or mesh rows a preset loads, whatever count its group holds.
    static constexpr int kMaxNodes = 256;

    // Starts with map0 and trace0 at their defaults; nothing is written.
    explicit Preset(SettingsStore* store);
    ~Preset();
    Preset(const Preset&) = delete;
    Preset& operator=(const Preset&) = delete;

    SettingsStore& Store() const { return *store; }
    const Attributes& Attrs() const { return attributes; }
    // Search order of FindAttribute.
    const std::array<const Attribute*, 29>& AttributeList() const { return attributeList; }
    const Attribute* FindAttribute(const QString& key) const;

    Node& Envelope() { return envelope; }
    Node& Target() { return target; }
    Node& Output() { return output; }
    const Node& Envelope() const { return envelope; }
    const Node& Target() const { return target; }
    const Node& Output() const { return output; }
    const NodeList& MapNodes() const { return mapNodes; }
    const NodeList& TraceNodes() const { return traceNodes; }
    // The fixed nodes, then map and trace nodes; null (and a debug line) when none has the name.
    Node* GetNode(const QString& name);

    // Append a node at its defaults without writing anything.
    Node* CreateMapNode();
    Node* CreateTraceNode();
    // Append a node, save it and write the new count.
    Node* AddMapNode();
    Node* AddTraceNode();
    // Later nodes move down, are renamed after their new position and saved; the keys of the
    // old last position stay in the store, the count keeps them from being read.
    void RemoveMapNode(Node* node);
    void RemoveTraceNode(Node* node);

    // Unnamed, no map or trace nodes; the store's current preset is left alone.
    void Reset();
    // A preset without map or trace nodes gets one default node of each, saved.
    void LoadPreset(const QString& name);
    // Writes every node under the model's preset name, which becomes current.
    void Save();
    void SetCurrentPreset();
    // The global "preset", empty when missing; nothing is written.
    QString CurrentPresetName() const;
    const QString& PresetName() const { return presetName; }
    // The names of "presets" split on ",", empty names kept; a missing list gives one empty name.
    // Read afresh from the file when another program has changed it.
    int PresetNames(QStringList& out) const;
    // The first character a preset name cannot hold, or a null character. "," would split the
    // name in the list; "/" and "\" would put its keys inside another preset's settings group.
    static QChar ForbiddenCharacter(const QString& name);
    // A new preset holding the current values, made current. A name with a forbidden character
    // or nothing but spaces is refused (false, nothing written).
    bool AddPreset(const QString& name);
    // Lists a preset that the list lacks, such as a current preset whose name the list lost, and
    // loads what its group holds. A name with a forbidden character is refused (false).
    bool ListPreset(const QString& name);
    // Drops the current preset with everything it stored and loads the first remaining name;
    // does nothing when no other name would remain.
    void RemovePreset();

private:
    // The current preset's values, counts and batch tick.
    void RemoveStoredValues();
    // False when the list holds the name already.
    bool AppendToList(const QString& name);
    void RemoveNode(NodeList& list, Node* node, const QString& prefix, const QString& countKey);

    SettingsStore* store;
    QString presetName;
    NodeList traceNodes;
    NodeList mapNodes;
    const Attributes attributes;
    const std::array<const Attribute*, 29> attributeList;
    Node envelope;
    Node target;
    Node output;
};

}  // namespace Pallix::Bake::BakeModel
