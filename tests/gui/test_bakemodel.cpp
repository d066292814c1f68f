#include "gui/guitest.h"

#include <vector>

using namespace Pallix::Bake;
using namespace Pallix::Bake::BakeModel;
using KelvorTest::GuiStoreTest;
using Kind = Attribute::Kind;

namespace {

struct Expected {
    const char* key;
    const char* label;
    Kind kind;
    QStringList items;
    const char* stored;  // the default as the settings file holds it
};

const QStringList kSizes = {"64", "128", "256", "512", "1024", "2048", "4096", "8192", "16384"};

// In the search order of FindAttribute.
const std::vector<Expected> kAttributes = {
    {"maptype", "", Kind::Enumeration,
     {"Normal Map", "AO Map", "Material ID", "Displacement", "Vertex Colors", "Curvature", "Thickness",
      "World Position", "Hard Edges", "Alpha Mask"},
     "Normal Map"},
    {"tangents", "Tangents", Kind::Enumeration,
     {"FBX Tangents", "Maya Viewport 2.0", "MiKK", "Unreal 4.7+", "DOTA 2 (Source)", "Unity 5.3+"}, "FBX Tangents"},
    {"normals", "Normals", Kind::Enumeration, {"Compute All", "Import Normals", "Import All"}, "Import Normals"},
    {"supersampling", "Sampling", Kind::Enumeration, {"1x1", "2x2", "4x4", "8x8"}, "1x1"},
    {"blur", "Blur", Kind::Enumeration,
     {"None", "1 pixel", "2 pixel", "3 pixel", "4 pixel", "5 pixel", "6 pixel", "7 pixel", "8 pixel"}, "None"},
    {"yup", "Y Up", Kind::Enumeration, {"+", "-"}, "+"},
    {"quality", "Quality", Kind::Enumeration, {"Low", "Med", "High", "Ultra"}, "Low"},
    {"axis", "Axis", Kind::Enumeration, {"All", "X", "Y", "Z"}, "All"},
    {"spread", "spread", Kind::Float, {}, "160"},
    {"distance", "Distance", Kind::Float, {}, "0"},
    {"radius", "Radius", Kind::Float, {}, "1"},
    {"normalized", "Normalized", Kind::Bool, {}, "0"},
    {"layers", "Layers", Kind::Bool, {}, "0"},
    {"width", "Width", Kind::Enumeration, kSizes, "1024"},
    {"height", "Height", Kind::Enumeration, kSizes, "1024"},
    {"format", "Format", Kind::Enumeration, {"tiff 16-bit", "tiff 8-bit", "png 16-bit", "png 8-bit", "exr"},
     "tiff 16-bit"},
    {"searchdistance", "Search Distance", Kind::Float, {}, "0"},
    {"searchmethod", "Search Method", Kind::Enumeration, {"Furthest", "Closest"}, "Furthest"},
    {"dilation", "Dilation", Kind::Int, {}, "0"},
    {"direction", "Direction", Kind::Enumeration, {"Geometry Normals", "Surface Normals", "Rounded Normals"},
     "Geometry Normals"},
    {"rounding", "Rounding", Kind::Float, {}, "1"},
    {"path", "", Kind::String, {}, ""},
    {"enabled", "", Kind::Bool, {}, "1"},
    {"tilingmethod", "UV Tiling", Kind::Enumeration, {"None", "Automatic", "Manual"}, "None"},
    {"tilingnaming", "Naming", Kind::Enumeration, {"UDIM", "Mudbox"}, "UDIM"},
    {"tilingminu", "U Min", Kind::Int, {}, "0"},
    {"tilingmaxu", "Max", Kind::Int, {}, "0"},
    {"tilingminv", "V Min", Kind::Int, {}, "0"},
    {"tilingmaxv", "Max", Kind::Int, {}, "0"},
};

}  // namespace

TEST_F(GuiStoreTest, AttributesAreStoredByKeyWithTheirItemTextsAndDefaults) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("hero"));
    Node& output = model.Output();
    Node& map = *model.MapNodes()[0];

    ASSERT_EQ(model.AttributeList().size(), kAttributes.size());
    for (size_t i = 0; i < kAttributes.size(); ++i) {
        const Expected& want = kAttributes[i];
        SCOPED_TRACE(want.key);
        const Attribute* attribute = model.FindAttribute(want.key);
        ASSERT_NE(attribute, nullptr);
        EXPECT_EQ(model.AttributeList()[i], attribute);
        EXPECT_EQ(attribute->label, want.label);
        EXPECT_EQ(attribute->kind, want.kind);
        EXPECT_EQ(attribute->items, want.items);

        Node& holder = map.FindValue(*attribute) ? map : output;
        ASSERT_NE(holder.FindValue(*attribute), nullptr);
        const QString key = holder.Name() + "_" + want.key;
        EXPECT_EQ(Ini("preset_hero", key), want.stored);
        // Enumerations are stored by item text, byte for byte.
        for (int item = 0; item < attribute->items.size(); ++item) {
            holder.Set(*attribute, item);
            EXPECT_EQ(Ini("preset_hero", key), want.items[item]);
        }
    }
    EXPECT_EQ(model.FindAttribute("Width"), nullptr);
    EXPECT_TRUE(TakeDebugLines().isEmpty());
}

TEST_F(GuiStoreTest, EnumerationTextsFallBackToTheNumberOrTheDefault) {
    SettingsStore store;
    Preset model(&store);
    const Attribute& width = model.Attrs().width;
    TakeDebugLines();

    EXPECT_EQ(width.EnumerationIndexOf("1024"), 4);
    EXPECT_TRUE(TakeDebugLines().isEmpty());
    EXPECT_EQ(model.Attrs().maptype.EnumerationIndexOf("Hard Edges"), 8);
    EXPECT_TRUE(TakeDebugLines().isEmpty());

    for (const auto& [text, index] :
         std::vector<std::pair<QString, int>>{{"3", 3}, {"0", 4}, {"abc", 4}, {"9", 4}, {"-1", 4}, {"hard edges", 4}}) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(width.EnumerationIndexOf(text), index);
        const QStringList lines = TakeDebugLines();
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].startsWith("Could not find enumeration:"));
        EXPECT_TRUE(lines[0].contains(text));
    }
}

TEST_F(GuiStoreTest, NodesHoldTheirSetsInOrderAndGiveTheirValuesAsText) {
    SettingsStore store;
    Preset model(&store);
    const auto texts = [](const Node& node) {
        std::vector<std::pair<QString, QString>> out;
        for (const Node::Value& value : node.Values()) out.emplace_back(value.attribute->key, value.Text());
        return out;
    };
    const std::vector<std::pair<QString, QString>> newMap = {
        {"path", ""},           {"enabled", "true"},       {"maptype", "Normal Map"},
        {"supersampling", "1x1"}, {"tangents", "FBX Tangents"}, {"normals", "Import Normals"},
        {"quality", "Low"},     {"axis", "All"},            {"blur", "None"},
        {"distance", "0"},      {"radius", "1"},            {"normalized", "false"},
        {"spread", "160"},      {"layers", "false"},        {"yup", "+"}};
    EXPECT_EQ(texts(*model.AddMapNode()), newMap);
    EXPECT_EQ(texts(*model.TraceNodes()[0]),
              (std::vector<std::pair<QString, QString>>{{"path", ""}, {"enabled", "true"}}));
    // The envelope starts disabled; the output node carries the job settings.
    EXPECT_EQ(model.Envelope().ValueText(model.Attrs().enabled), "false");
    QStringList outputKeys;
    for (const Node::Value& value : model.Output().Values()) outputKeys << value.attribute->key;
    EXPECT_EQ(outputKeys.join(" "), "path enabled width height format searchdistance searchmethod dilation "
                                    "direction rounding tilingmethod tilingnaming tilingminu tilingmaxu "
                                    "tilingminv tilingmaxv");

    Node& map = *model.MapNodes()[0];
    map.SetFloat(model.Attrs().distance, 0.1f);
    EXPECT_EQ(map.ValueText(model.Attrs().distance), "0.1");
    EXPECT_EQ(map.ValueText(model.Attrs().spread), "160");
    // As many digits as read back as the same float.
    map.SetFloat(model.Attrs().distance, 1.0f / 3.0f);
    EXPECT_EQ(map.ValueText(model.Attrs().distance), "0.33333334");
    EXPECT_EQ(map.ValueText(model.Attrs().dilation), QString());
    EXPECT_EQ(map.ValueOrDefault(model.Attrs().dilation).intValue, 0);
    EXPECT_EQ(model.Output().ValueOrDefault(model.Attrs().width).intValue, 4);
}

TEST_F(GuiStoreTest, SettersWriteThroughUnderTheNodeKey) {
    SettingsStore store;
    Preset model(&store);
    const Attributes& a = model.Attrs();
    Node& map = *model.MapNodes()[0];
    Node& output = model.Output();

    map.SetBool(a.layers, true);
    map.Set(a.maptype, 6);
    map.SetFloat(a.spread, 42.5f);
    map.SetString(a.path, "/meshes/a b.fbx");
    output.Set(a.dilation, 16);
    output.SetEnumerationText(a.width, "2048");
    EXPECT_EQ(Ini("General", "map0_layers"), "1");
    EXPECT_EQ(Ini("General", "map0_maptype"), "Thickness");
    EXPECT_EQ(Ini("General", "map0_spread"), "42.5");
    EXPECT_EQ(Ini("General", "map0_path"), "/meshes/a b.fbx");
    EXPECT_EQ(Ini("General", "output_dilation"), "16");
    EXPECT_EQ(Ini("General", "output_width"), "2048");
    EXPECT_EQ(output.ValueOrDefault(a.width).intValue, 5);
    EXPECT_EQ(map.Path(), "/meshes/a b.fbx");

    // A text that is no item keeps the fallback index but is stored as typed.
    output.SetEnumerationText(a.height, "3");
    EXPECT_EQ(output.ValueText(a.height), "512");
    EXPECT_EQ(Ini("General", "output_height"), "3");
    TakeDebugLines();

    // Attributes outside the node's set, and indexes outside the items, change nothing.
    const QByteArray before = FileBytes();
    output.Set(a.maptype, 1);
    model.TraceNodes()[0]->SetFloat(a.spread, 1.0f);
    map.Set(a.maptype, -1);
    map.Set(a.maptype, 10);
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(map.ValueText(a.maptype), "Thickness");
    const QStringList lines = TakeDebugLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], R"(Error on node  "output" : missing attribute ( "maptype" ))");
    EXPECT_TRUE(lines[1].contains("\"trace0\"") && lines[1].contains("\"spread\""));
}

TEST_F(GuiStoreTest, GetNodeSearchesFixedThenMapThenTraceNodes) {
    SettingsStore store;
    Preset model(&store);
    model.AddMapNode();
    model.AddTraceNode();
    TakeDebugLines();

    EXPECT_EQ(model.GetNode("output"), &model.Output());
    EXPECT_EQ(model.GetNode("envelope"), &model.Envelope());
    EXPECT_EQ(model.GetNode("target"), &model.Target());
    EXPECT_EQ(model.GetNode("map1"), model.MapNodes()[1].get());
    EXPECT_EQ(model.GetNode("trace1"), model.TraceNodes()[1].get());
    EXPECT_TRUE(TakeDebugLines().isEmpty());

    EXPECT_EQ(model.GetNode("map3"), nullptr);
    EXPECT_EQ(model.GetNode("Output"), nullptr);
    EXPECT_EQ(TakeDebugLines(), (QStringList{R"(Can't find node: "map3")", R"(Can't find node: "Output")"}));
}
