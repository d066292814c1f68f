#include "MainWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>

#include <array>
#include <cmath>
#include <vector>

#include "enterpushbutton.h"
#include "fieldnumber.h"

namespace Pallix::Bake {

using Kind = BakeModel::Attribute::Kind;

namespace {

QWidget* MakeSettingRow(const QString& name, const QString& label, QWidget* widget) {
    if (label.isEmpty()) return widget;
    auto* frame = new QFrame;
    frame->setObjectName(name + "_frame");
    QSizePolicy policy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    frame->setSizePolicy(policy);
    auto* layout = new QHBoxLayout(frame);
    auto* text = new QLabel(label);
    text->setObjectName(name + "_label");
    text->setProperty("settingname", true);
    layout->addWidget(text, 0, Qt::AlignRight);
    layout->addWidget(widget);
    return frame;
}

// Why text cannot be the attribute's value: it holds no number, or one outside the attribute's
// range. Empty when it can.
QString FieldProblem(const BakeModel::Attribute& attribute, const QString& text) {
    QString problem;
    if (attribute.kind == Kind::Float)
        ReadFloatField(text, attribute.floatMinimum, attribute.floatMaximum, &problem);
    else if (attribute.kind == Kind::Int)
        ReadIntField(text, attribute.intMinimum, attribute.intMaximum, &problem);
    return problem;
}

// What a field of the attribute takes, as its tool tip asks for it.
QString FieldHint(const BakeModel::Attribute& attribute) {
    if (attribute.kind == Kind::Int)
        return "a whole number from " + RangeText(attribute.intMinimum, attribute.intMaximum) + ", such as 7";
    const QString range = RangeText(attribute.floatMinimum, attribute.floatMaximum);
    return (std::isinf(attribute.floatMaximum) ? "a number of " : "a number from ") + range +
           ", such as 0.5 or 0,5";
}

// Whether a map of the type index shows, and bakes with, the setting of key; "normals" and
// "radius" are never shown.
bool MapTypeShows(int type, const QString& key) {
    static const std::array<std::vector<const char*>, 10> shown = {{
        {"tangents", "supersampling", "blur", "yup"},
        {"quality", "distance", "spread"},
        {"supersampling", "blur", "layers"},
        {"supersampling", "blur", "normalized"},
        {"supersampling", "blur"},
        {"supersampling", "blur"},
        {"quality", "distance", "spread"},
        {"supersampling", "blur", "normalized", "axis"},
        {"supersampling", "blur"},
        {"supersampling", "blur"},
    }};
    if (type < 0 || type > 9) return false;
    for (const char* shownKey : shown[size_t(type)])
        if (key == shownKey) return true;
    return false;
}

// How a refusal names the row of a map node: "map row 2 (AO Map)".
QString MapRowName(const BakeModel::Node& map, const BakeModel::Attributes& a) {
    return "map row " + QString::number(map.Index() + 1) + " (" + map.ValueText(a.maptype) + ")";
}

// A row is taken out of the window at once, so that the name lookups find only its successor,
// but deleted later: it may hold the button whose click is being handled.
void DiscardRow(QWidget* row) {
    row->hide();
    row->setParent(nullptr);
    row->deleteLater();
}

}  // namespace

QString JoinName(const QString& a, const QString& b) { return a + "_" + b; }

QWidget* MainWindow::MakeComboRow(const QString& name, const QString& label, const QStringList& items, int index) {
    auto* box = new QComboBox;
    box->setObjectName(name);
    box->setProperty("settingbox", true);
    box->addItems(items);
    box->setCurrentIndex(index);
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::CallbackSetNodeAttributeI);
    return MakeSettingRow(name, label, box);
}

QWidget* MainWindow::MakeCheckRow(const QString& name, const QString& label, bool checked) {
    auto* box = new QCheckBox;
    box->setObjectName(name);
    box->setChecked(checked);
    connect(box, &QCheckBox::stateChanged, this, &MainWindow::CallbackSetNodeAttributeI);
    return MakeSettingRow(name, label, box);
}

QWidget* MainWindow::MakeLineEdit(const QString& name, const char* property, const QString& text) {
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setProperty(property, true);
    edit->setText(text);
    connect(edit, &QLineEdit::textChanged, this, &MainWindow::CallbackSetNodeAttributeS);
    return edit;
}

QWidget* MainWindow::MakeRangeRow(const QString& name, const QString& label, const QString& text) {
    return MakeSettingRow(name, label, MakeLineEdit(name, "settingrange", text));
}

QWidget* MainWindow::MakeIntRow(const QString& name, const QString& label, const QString& text) {
    return MakeSettingRow(name, label, MakeLineEdit(name, "settingint", text));
}

QWidget* MainWindow::MakeTextRow(const QString& name, const QString& label, const QString& text) {
    return MakeSettingRow(name, label, MakeLineEdit(name, "settingtext", text));
}

QWidget* MainWindow::BuildAttributeRow(BakeModel::Node& node, const BakeModel::Attribute& attribute) {
    const QString name = JoinName(node.Name(), attribute.key);
    const BakeModel::Node::Value value = node.ValueOrDefault(attribute);
    switch (attribute.kind) {
    case Kind::Bool: return MakeCheckRow(name, attribute.label, value.boolValue);
    case Kind::Float:
    case Kind::Int: {
        QWidget* row = attribute.kind == Kind::Float ? MakeRangeRow(name, attribute.label, value.Text())
                                                     : MakeIntRow(name, attribute.label, value.Text());
        auto* edit = qobject_cast<QLineEdit*>(row);
        if (!edit) edit = row->findChild<QLineEdit*>(name);
        // A stored value outside the range is shown as it is, marked.
        MarkField(edit, attribute, FieldProblem(attribute, edit->text()));
        return row;
    }
    case Kind::Enumeration: return MakeComboRow(name, attribute.label, attribute.items, value.intValue);
    case Kind::String: return MakeTextRow(name, attribute.label, node.ValueText(attribute));
    }
    return nullptr;
}

QWidget* MainWindow::MakePathButton(const QString& node, void (MainWindow::*slot)()) {
    auto* button = new EnterPushButton("...");
    button->setObjectName(JoinName(node, "pathbutton"));
    button->setProperty("pathbutton", true);
    connect(button, &QPushButton::clicked, this, slot);
    return button;
}

QWidget* MainWindow::MakeRemoveButton(const QString& key, void (MainWindow::*slot)()) {
    auto* button = new EnterPushButton(tr("-"));
    button->setObjectName(JoinName(key, "removebutton"));
    button->setProperty("removebutton", true);
    connect(button, &QPushButton::clicked, this, slot);
    return button;
}

QWidget* MainWindow::MakeAddButton(const QString& key, void (MainWindow::*slot)()) {
    auto* button = new EnterPushButton(tr("+"));
    button->setObjectName(JoinName(key, "addbutton"));
    button->setProperty("addbutton", true);
    connect(button, &QPushButton::clicked, this, slot);
    return button;
}

QWidget* MainWindow::BuildHighPolyRow(BakeModel::Node& node) {
    const BakeModel::Attributes& a = model.Attrs();
    auto* row = new QWidget(stack);
    row->setObjectName(JoinName(node.Name(), "widget"));
    auto* layout = new QHBoxLayout(row);
    layout->addWidget(BuildAttributeRow(node, a.enabled), 0, Qt::AlignRight);
    layout->addWidget(BuildAttributeRow(node, a.path));
    layout->addWidget(MakePathButton(node.Name(), &MainWindow::chooseHighRes));
    layout->addWidget(MakeRemoveButton(node.Name(), &MainWindow::removeTraceMesh), 0, Qt::AlignRight);
    return row;
}

QWidget* MainWindow::BuildEnvelopeRow() {
    const BakeModel::Attributes& a = model.Attrs();
    BakeModel::Node& node = model.Envelope();
    auto* row = new QFrame(stack);
    row->setObjectName("envelopeFrame");
    auto* layout = new QHBoxLayout(row);
    layout->addWidget(BuildAttributeRow(node, a.enabled), 0, Qt::AlignRight);
    layout->addWidget(BuildAttributeRow(node, a.path));
    layout->addWidget(MakePathButton(node.Name(), &MainWindow::chooseEnvelope));
    return row;
}

QWidget* MainWindow::BuildLowPolyRow() {
    BakeModel::Node& node = model.Target();
    auto* row = new QFrame(stack);
    row->setObjectName("lowpolyrowframe");
    auto* layout = new QHBoxLayout(row);
    layout->addWidget(BuildAttributeRow(node, model.Attrs().path));
    layout->addWidget(MakePathButton(node.Name(), &MainWindow::chooseLowRes));
    return row;
}

QWidget* MainWindow::BuildMapRow(BakeModel::Node& node) {
    const BakeModel::Attributes& a = model.Attrs();
    auto* row = new QWidget(stack);
    row->setObjectName(JoinName(node.Name(), "frame"));
    auto* layout = new QHBoxLayout(row);
    for (const BakeModel::Attribute* attribute :
         {&a.enabled, &a.maptype, &a.tangents, &a.normals, &a.supersampling, &a.blur, &a.yup, &a.quality, &a.spread,
          &a.distance, &a.radius, &a.layers, &a.normalized, &a.axis}) {
        QWidget* widget = BuildAttributeRow(node, *attribute);
        layout->addWidget(widget);
        // Both run after the generic callback, which they rely on to have stored the new index.
        if (attribute == &a.maptype || attribute == &a.tangents) {
            auto* box = widget->findChild<QComboBox*>(JoinName(node.Name(), attribute->key));
            if (!box) box = qobject_cast<QComboBox*>(widget);
            if (attribute == &a.maptype)
                connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::CallbackSetMapType);
            else
                connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this,
                        &MainWindow::CallbackSetTangentType);
        }
    }
    layout->addItem(new QSpacerItem(1, 1, QSizePolicy::Expanding, QSizePolicy::Expanding));
    layout->addWidget(MakeRemoveButton(node.Name(), &MainWindow::removeBakeMap));
    UpdateMapTypeVisibility(row, &node);
    return row;
}

QVBoxLayout* MainWindow::RegionLayout(const QString& key) {
    auto* region = findChild<QFrame*>(JoinName(key, "region"));
    return region ? qobject_cast<QVBoxLayout*>(region->layout()) : nullptr;
}

void MainWindow::RebuildRows(const QString& regionKey, const BakeModel::Preset::NodeList& nodes,
                             QWidget* (MainWindow::*buildRow)(BakeModel::Node&)) {
    QVBoxLayout* layout = RegionLayout(regionKey);
    if (!layout) return;
    // The region's title and its "+" row stay; the rows between them are rebuilt.
    while (layout->count() > 2) {
        QLayoutItem* item = layout->takeAt(1);
        if (QWidget* row = item->widget()) DiscardRow(row);
        delete item;
    }
    int position = 1;
    for (const auto& node : nodes) layout->insertWidget(position++, (this->*buildRow)(*node));
}

void MainWindow::RebuildHighPolyRows() { RebuildRows("trace", model.TraceNodes(), &MainWindow::BuildHighPolyRow); }

void MainWindow::RebuildMapRows() { RebuildRows("maps", model.MapNodes(), &MainWindow::BuildMapRow); }

void MainWindow::UpdateOutputFields() {
    for (const char* key : {"width", "height", "searchdistance", "direction", "rounding", "dilation", "path",
                            "format", "searchmethod", "tilingmethod", "tilingnaming", "tilingminu", "tilingmaxu",
                            "tilingminv", "tilingmaxv"})
        UpdateAttributeField(model.Output(), key);
}

void MainWindow::UpdateAttributeField(const BakeModel::Node& node, const BakeModel::Attribute& attribute) {
    const QString name = JoinName(node.Name(), attribute.key);
    switch (attribute.kind) {
    case Kind::Bool:
        if (auto* box = findChild<QCheckBox*>(name)) box->setChecked(node.ValueOrDefault(attribute).boolValue);
        break;
    case Kind::Float:
    case Kind::Int:
    case Kind::String:
        if (auto* edit = findChild<QLineEdit*>(name)) {
            edit->setText(node.ValueText(attribute));
            // While the window fills its fields their callbacks return at once; what the model
            // holds is a number, but a stored one may lie outside the range.
            MarkField(edit, attribute, FieldProblem(attribute, edit->text()));
        }
        break;
    case Kind::Enumeration:
        if (auto* box = findChild<QComboBox*>(name))
            box->setCurrentIndex(node.ValueOrDefault(attribute).intValue);
        else
            qDebug() << "Could not find combobox:" << name;
        break;
    }
}

void MainWindow::UpdateAttributeField(const BakeModel::Node& node, const QString& key) {
    if (const BakeModel::Attribute* attribute = model.FindAttribute(key)) UpdateAttributeField(node, *attribute);
}

BakeModel::Node* MainWindow::NodeForSender(QObject* from) {
    if (!from) return nullptr;
    return model.GetNode(from->objectName().split('_', Qt::KeepEmptyParts, Qt::CaseSensitive).value(0));
}

void MainWindow::CallbackSetNodeAttributeI(int value) {
    if (updating || !CurrentPresetListed()) return;
    auto* widget = qobject_cast<QWidget*>(sender());
    const QString name = widget ? widget->objectName() : QString();
    const QStringList parts = name.split('_', Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() < 2) {
        qDebug() << "Malformed widget name:" << parts.value(0);
        return;
    }
    qDebug() << "Set Node (" << parts[0] << ") attribute (" << parts[1] << ")";
    BakeModel::Node* node = model.GetNode(parts[0]);
    const BakeModel::Attribute* attribute = model.FindAttribute(parts[1]);
    if (!node || !attribute) {
        qDebug() << "Can't find node or attribute for:" << name;
        return;
    }
    switch (attribute->kind) {
    case Kind::Bool: node->SetBool(*attribute, value != 0); break;
    case Kind::Float: node->SetFloat(*attribute, float(value)); break;
    case Kind::Enumeration:
    case Kind::Int: node->Set(*attribute, value); break;
    case Kind::String: node->SetString(*attribute, QString::number(value)); break;
    }
    CheckStore();
}

void MainWindow::CallbackSetNodeAttributeS(const QString& text) {
    if (updating || !CurrentPresetListed()) return;
    auto* widget = qobject_cast<QWidget*>(sender());
    const QString name = widget ? widget->objectName() : QString();
    const QStringList parts = name.split('_', Qt::KeepEmptyParts, Qt::CaseSensitive);
    BakeModel::Node* node = model.GetNode(parts.value(0));
    const BakeModel::Attribute* attribute = parts.size() < 2 ? nullptr : model.FindAttribute(parts[1]);
    if (!node || !attribute) {
        qDebug() << "Can't find node or attribute for:" << name;
        return;
    }
    // Text that holds no number, or one outside the attribute's range, is neither stored nor
    // baked: the field says so, and the model and the store keep the last valid number.
    QString problem;
    switch (attribute->kind) {
    case Kind::Bool: node->SetBool(*attribute, text.toInt(nullptr, 10) != 0); break;
    case Kind::Float:
        if (const std::optional<float> number =
                ReadFloatField(text, attribute->floatMinimum, attribute->floatMaximum, &problem))
            node->SetFloat(*attribute, *number);
        MarkField(widget, *attribute, problem);
        break;
    case Kind::Enumeration: node->SetEnumerationText(*attribute, text); break;
    case Kind::Int:
        if (const std::optional<int> number = ReadIntField(text, attribute->intMinimum, attribute->intMaximum, &problem))
            node->Set(*attribute, *number);
        MarkField(widget, *attribute, problem);
        break;
    case Kind::String: node->SetString(*attribute, text); break;
    }
    CheckStore();
}

void MainWindow::MarkField(QWidget* field, const BakeModel::Attribute& attribute, const QString& problem) {
    const bool invalid = !problem.isEmpty();
    // Two lines, since a tool tip does not wrap: the long one beside a field at the window's
    // right would run off a screen not much wider than the window.
    field->setToolTip(invalid ? problem.left(1).toUpper() + problem.mid(1) + ": type " + FieldHint(attribute) +
                                    ".\nUntil then this field is not stored and this preset cannot be baked."
                              : QString());
    if (field->property("invalid").toBool() == invalid) return;
    field->setProperty("invalid", invalid);
    // The style sheet's red border follows the property only once the field is polished again.
    field->style()->unpolish(field);
    field->style()->polish(field);
}

QStringList MainWindow::InvalidFields() const {
    QStringList fields;
    auto collect = [&](const BakeModel::Node& node, const QString& where) {
        for (const BakeModel::Node::Value& value : node.Values()) {
            const BakeModel::Attribute& attribute = *value.attribute;
            if (attribute.kind != Kind::Float && attribute.kind != Kind::Int) continue;
            auto* edit = findChild<QLineEdit*>(JoinName(node.Name(), attribute.key));
            if (!edit || !edit->property("invalid").toBool()) continue;
            // A map type that does not use the field hides it, and its bake takes nothing from it.
            if (edit->parentWidget() && edit->parentWidget()->isHidden()) continue;
            fields << where + ", " + attribute.label + ": " + FieldProblem(attribute, edit->text());
        }
    };
    for (const auto& map : model.MapNodes()) collect(*map, MapRowName(*map, model.Attrs()));
    collect(model.Output(), "output settings");
    return fields;
}

QStringList MainWindow::InvalidValues(const BakeModel::Preset& preset) const {
    QStringList values;
    const BakeModel::Attributes& a = preset.Attrs();
    auto collect = [&](const BakeModel::Node& node, const QString& where, int mapType) {
        for (const BakeModel::Node::Value& value : node.Values()) {
            const BakeModel::Attribute& attribute = *value.attribute;
            if (attribute.kind != Kind::Float && attribute.kind != Kind::Int) continue;
            if (mapType >= 0 && !MapTypeShows(mapType, attribute.key)) continue;
            // The text of a value reads back as the value itself.
            const QString problem = FieldProblem(attribute, value.Text());
            if (!problem.isEmpty()) values << where + ", " + attribute.label + ": " + problem;
        }
    };
    for (const auto& map : preset.MapNodes())
        collect(*map, MapRowName(*map, a), map->ValueOrDefault(a.maptype).intValue);
    collect(preset.Output(), "output settings", -1);
    return values;
}

void MainWindow::CallbackSaveUICheckboxSetting(int state) {
    if (updating) return;
    auto* box = qobject_cast<QCheckBox*>(sender());
    if (!box) return;
    qDebug() << "Callback sender:" << box->objectName();
    settings->settings.setValue(box->objectName(), state);
    settings->settings.sync();
    CheckStore();
}

void MainWindow::CallbackSaveUIComboSetting(int index) {
    if (!CurrentPresetListed()) return;
    if (QObject* box = sender()) settings->SetInt(box->objectName(), index);
    CheckStore();
}

void MainWindow::CallbackSetMapType(int) {
    auto* box = qobject_cast<QComboBox*>(sender());
    // The generic callback that ran first may have found the preset removed and loaded another:
    // the box's row is then gone, and its map number names a map of that other preset.
    if (box && !isAncestorOf(box)) return;
    QWidget* row = box ? box->parentWidget() : nullptr;
    if (!row) {
        qDebug() << "Error: Could not find layout for ";
        return;
    }
    BakeModel::Node* node = NodeForSender(box);
    if (!node) {
        qDebug() << "Error: Could not find node for " << box->objectName();
        return;
    }
    const BakeModel::Attributes& a = model.Attrs();
    const BakeModel::Node::Value* type = node->FindValue(a.maptype);
    if (type && type->intValue == 6) node->SetFloat(a.distance, 1.0f);
    UpdateAttributeField(*node, a.distance);
    UpdateMapTypeVisibility(row, node);
    CheckStore();
}

void MainWindow::CallbackSetTangentType(int) {
    auto* box = qobject_cast<QComboBox*>(sender());
    QWidget* frame = box ? box->parentWidget() : nullptr;
    QWidget* row = frame ? frame->parentWidget() : nullptr;
    if (!row) {
        qDebug() << "Error: Could not find layout for ";
        return;
    }
    BakeModel::Node* node = NodeForSender(box);
    if (!node) {
        qDebug() << "Error: Could not find node for " << box->objectName();
        return;
    }
    UpdateMapTypeVisibility(row, node);
}

void MainWindow::UpdateMapTypeVisibility(QWidget* mapRow, BakeModel::Node* node) {
    static const std::array<const char*, 12> keys = {"supersampling", "quality", "distance", "radius",
                                                     "axis",          "spread",  "yup",      "layers",
                                                     "normalized",    "tangents", "normals", "blur"};
    if (!mapRow || !node) return;
    auto frameOf = [&](const char* key) -> QWidget* {
        auto* widget = mapRow->findChild<QWidget*>(JoinName(node->Name(), key));
        return widget ? widget->parentWidget() : nullptr;
    };
    const int index = node->ValueOrDefault(model.Attrs().maptype).intValue;
    for (const char* key : keys)
        if (QWidget* frame = frameOf(key)) frame->setVisible(MapTypeShows(index, key));
}

}  // namespace Pallix::Bake
