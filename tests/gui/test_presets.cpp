#include "gui/guitest.h"

#include <QFile>
#include <QFileInfo>

using namespace Pallix::Bake;
using namespace Pallix::Bake::BakeModel;
using KelvorTest::GuiStoreTest;
using KelvorTest::OpenCurrentPreset;

namespace {

QStringList Names(const Preset& model) {
    QStringList names;
    model.PresetNames(names);
    return names;
}

QStringList NodeNames(const Preset::NodeList& nodes) {
    QStringList names;
    for (const auto& node : nodes) names << node->Name();
    return names;
}

}  // namespace

TEST_F(GuiStoreTest, AFirstNamedPresetLandsInItsOwnSection) {
    SettingsStore store;
    EXPECT_EQ(QFileInfo(store.settings.fileName()).absoluteFilePath(), QFileInfo(SettingsFile()).absoluteFilePath());
    Preset model(&store);
    EXPECT_EQ(Names(model), QStringList{""});
    EXPECT_EQ(model.CurrentPresetName(), "");
    EXPECT_EQ(Ini("General", "preset"), QString());
    // Construction writes nothing: the stored rows belong to the preset that loads next.
    EXPECT_EQ(StoredKeys(), QStringList());
    OpenCurrentPreset(model);
    EXPECT_EQ(Ini("General", "numbakes"), "1");
    EXPECT_EQ(Ini("General", "traceMeshes"), "1");
    EXPECT_EQ(Ini("General", "map0_maptype"), "Normal Map");
    EXPECT_EQ(Ini("General", "trace0_enabled"), "1");

    ASSERT_TRUE(model.AddPreset("hero"));
    Node& map = *model.MapNodes()[0];
    map.Set(model.Attrs().maptype, 1);
    map.SetFloat(model.Attrs().distance, 0.1f);

    EXPECT_EQ(Ini("General", "presets"), "\",hero\"");
    EXPECT_EQ(Ini("General", "preset"), "hero");
    EXPECT_EQ(Ini("preset_hero", "map0_maptype"), "AO Map");
    EXPECT_EQ(Ini("preset_hero", "map0_distance"), "0.1");
    EXPECT_EQ(Ini("preset_hero", "numbakes"), "1");
    EXPECT_EQ(Ini("preset_hero", "traceMeshes"), "1");
    // The unnamed preset is untouched and stays in the list.
    EXPECT_EQ(Ini("General", "map0_maptype"), "Normal Map");
    EXPECT_EQ(Names(model), (QStringList{"", "hero"}));
    EXPECT_EQ(model.CurrentPresetName(), "hero");
    EXPECT_EQ(store.currentPreset, "hero");
}

TEST_F(GuiStoreTest, RestartWithoutANamedPresetBringsItsRowsBack) {
    {
        SettingsStore store;
        Preset model(&store);
        OpenCurrentPreset(model);
        for (int i = 0; i < 4; ++i) model.AddMapNode()->Set(model.Attrs().maptype, i + 5);
        model.AddTraceNode()->SetString(model.Attrs().path, "/h/second.obj");
        model.Target().SetString(model.Attrs().path, "/l/low.fbx");
        model.Envelope().SetBool(model.Attrs().enabled, true);
        model.Envelope().SetString(model.Attrs().path, "/l/cage.fbx");
        model.Output().Set(model.Attrs().width, 6);
        model.Output().SetFloat(model.Attrs().rounding, 2.5f);
        EXPECT_EQ(Ini("General", "numbakes"), "5");
    }
    SettingsStore store;
    Preset model(&store);
    OpenCurrentPreset(model);
    ASSERT_EQ(NodeNames(model.MapNodes()), (QStringList{"map0", "map1", "map2", "map3", "map4"}));
    EXPECT_EQ(model.MapNodes()[4]->ValueText(model.Attrs().maptype), "Hard Edges");
    ASSERT_EQ(NodeNames(model.TraceNodes()), (QStringList{"trace0", "trace1"}));
    EXPECT_EQ(model.TraceNodes()[1]->Path(), "/h/second.obj");
    EXPECT_EQ(model.Target().Path(), "/l/low.fbx");
    EXPECT_EQ(model.Envelope().Path(), "/l/cage.fbx");
    EXPECT_EQ(model.Envelope().ValueText(model.Attrs().enabled), "true");
    EXPECT_EQ(model.Output().ValueText(model.Attrs().width), "4096");
    EXPECT_EQ(model.Output().ValueText(model.Attrs().rounding), "2.5");
    EXPECT_EQ(Ini("General", "numbakes"), "5");
    EXPECT_EQ(Ini("General", "traceMeshes"), "2");
}

TEST_F(GuiStoreTest, RestartWithANamedPresetBringsItsMapsAndMeshesBack) {
    {
        SettingsStore store;
        Preset model(&store);
        OpenCurrentPreset(model);
        model.MapNodes()[0]->Set(model.Attrs().quality, 3);
        ASSERT_TRUE(model.AddPreset("hero"));
        model.AddMapNode()->Set(model.Attrs().maptype, 2);
        model.AddTraceNode()->SetString(model.Attrs().path, "/h/b.ply");
        model.AddTraceNode()->SetBool(model.Attrs().enabled, false);
        model.Output().Set(model.Attrs().format, 4);
    }
    SettingsStore store;
    Preset model(&store);
    // The unscoped start-up writes reach neither the preset's section nor its counts.
    EXPECT_EQ(Ini("preset_hero", "numbakes"), "2");
    EXPECT_EQ(Ini("preset_hero", "traceMeshes"), "3");
    OpenCurrentPreset(model);
    EXPECT_EQ(model.PresetName(), "hero");
    ASSERT_EQ(NodeNames(model.MapNodes()), (QStringList{"map0", "map1"}));
    ASSERT_EQ(NodeNames(model.TraceNodes()), (QStringList{"trace0", "trace1", "trace2"}));
    const Attributes& a = model.Attrs();
    EXPECT_EQ(model.MapNodes()[0]->ValueText(a.quality), "Ultra");
    EXPECT_EQ(model.MapNodes()[1]->ValueText(a.maptype), "Material ID");
    EXPECT_EQ(model.TraceNodes()[1]->Path(), "/h/b.ply");
    EXPECT_EQ(model.TraceNodes()[2]->ValueText(a.enabled), "false");
    EXPECT_EQ(model.Output().ValueText(a.format), "exr");
    EXPECT_TRUE(TakeDebugLines().isEmpty());
}

TEST_F(GuiStoreTest, RemovingANodeRenumbersTheRestAndLeavesStaleKeys) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("hero"));
    const Attributes& a = model.Attrs();
    model.AddMapNode()->Set(a.maptype, 1);
    model.AddMapNode()->Set(a.maptype, 5);

    model.RemoveMapNode(model.MapNodes()[1].get());
    ASSERT_EQ(NodeNames(model.MapNodes()), (QStringList{"map0", "map1"}));
    EXPECT_EQ(model.MapNodes()[1]->Index(), 1);
    EXPECT_EQ(model.MapNodes()[1]->ValueText(a.maptype), "Curvature");
    EXPECT_EQ(Ini("preset_hero", "map1_maptype"), "Curvature");
    EXPECT_EQ(Ini("preset_hero", "numbakes"), "2");
    EXPECT_EQ(Ini("preset_hero", "map2_maptype"), "Curvature");

    model.LoadPreset("hero");
    ASSERT_EQ(NodeNames(model.MapNodes()), (QStringList{"map0", "map1"}));
    EXPECT_EQ(model.MapNodes()[1]->ValueText(a.maptype), "Curvature");

    // Trace nodes follow the same rule under their own count.
    model.AddTraceNode()->SetString(a.path, "/h/b.obj");
    model.RemoveTraceNode(model.TraceNodes()[0].get());
    ASSERT_EQ(NodeNames(model.TraceNodes()), QStringList{"trace0"});
    EXPECT_EQ(Ini("preset_hero", "trace0_path"), "/h/b.obj");
    EXPECT_EQ(Ini("preset_hero", "traceMeshes"), "1");

    // A node of the other list is not this list's to remove.
    model.RemoveMapNode(model.TraceNodes()[0].get());
    EXPECT_EQ(model.MapNodes().size(), 2u);
    EXPECT_EQ(model.TraceNodes().size(), 1u);
}

TEST_F(GuiStoreTest, APresetWithoutMapsOrMeshesGetsOneDefaultOfEach) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("hero"));
    model.RemoveMapNode(model.MapNodes()[0].get());
    EXPECT_TRUE(model.MapNodes().empty());
    EXPECT_EQ(Ini("preset_hero", "numbakes"), "0");
    store.SetInt("traceMeshes", -3);

    model.LoadPreset("hero");
    EXPECT_EQ(NodeNames(model.MapNodes()), QStringList{"map0"});
    EXPECT_EQ(NodeNames(model.TraceNodes()), QStringList{"trace0"});
    EXPECT_EQ(Ini("preset_hero", "numbakes"), "1");
    EXPECT_EQ(Ini("preset_hero", "traceMeshes"), "1");

    // A damaged count loads as many rows as a preset can hold, not a billion.
    store.SetInt("numbakes", 1000000000);
    model.LoadPreset("hero");
    EXPECT_EQ(model.MapNodes().size(), size_t(Preset::kMaxNodes));
}

TEST_F(GuiStoreTest, RemovingAPresetLoadsTheFirstRemainingName) {
    SettingsStore store;
    Preset model(&store);

    // The only name cannot go.
    QByteArray before = FileBytes();
    model.RemovePreset();
    EXPECT_EQ(FileBytes(), before);

    ASSERT_TRUE(model.AddPreset("a"));
    ASSERT_TRUE(model.AddPreset("b"));
    model.MapNodes()[0]->Set(model.Attrs().blur, 3);
    ASSERT_TRUE(model.AddPreset("c"));
    model.LoadPreset("b");
    EXPECT_EQ(Ini("preset_b", "map0_blur"), "3 pixel");
    model.RemovePreset();
    EXPECT_EQ(Ini("General", "presets"), "\",a,c\"");
    EXPECT_EQ(Ini("preset_b", "map0_blur"), QString());
    EXPECT_EQ(Ini("preset_b", "numbakes"), QString());
    EXPECT_EQ(model.PresetName(), "");
    EXPECT_EQ(model.CurrentPresetName(), "");
    EXPECT_EQ(store.currentPreset, "");
    EXPECT_EQ(Ini("preset_c", "map0_blur"), "3 pixel");

    // The current preset listed first: the next name takes its place.
    model.RemovePreset();
    EXPECT_EQ(Ini("General", "presets"), "\"a,c\"");
    EXPECT_EQ(model.PresetName(), "a");
    EXPECT_EQ(Ini("General", "preset"), "a");
}

TEST_F(GuiStoreTest, RemovingAPresetListedOnlyUnderItsOwnNameChangesNothing) {
    SettingsStore store;
    Preset model(&store);
    store.settings.setValue("presets", "hero,hero");
    model.LoadPreset("hero");
    model.MapNodes()[0]->Set(model.Attrs().maptype, 3);

    const QByteArray before = FileBytes();
    model.RemovePreset();
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(model.PresetName(), "hero");
    EXPECT_EQ(model.MapNodes()[0]->ValueText(model.Attrs().maptype), "Displacement");
}

TEST_F(GuiStoreTest, APresetNameWithACommaOrAGroupSeparatorIsRefused) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("a"));
    ASSERT_TRUE(model.AddPreset("hero"));
    const QByteArray before = FileBytes();
    // "hero/" would write over hero's keys, "a/b" its batch tick into a's group.
    for (const char* name : {"hero,v2", "hero/", "a/b", "a\\b"}) {
        EXPECT_FALSE(model.AddPreset(name)) << name;
        EXPECT_FALSE(model.ListPreset(name)) << name;
        EXPECT_EQ(FileBytes(), before) << name;
    }
    EXPECT_EQ(model.PresetName(), "hero");
    EXPECT_EQ(Names(model), (QStringList{"", "a", "hero"}));
}

TEST_F(GuiStoreTest, APresetListWrittenWithoutQuotesReadsAsItsNames) {
    WriteSettingsFile("[General]\npresets=a,b,hero\n\n[preset_hero]\ntarget_path=/l/a,b.obj\n");
    SettingsStore store;
    Preset model(&store);
    EXPECT_EQ(Names(model), (QStringList{"a", "b", "hero"}));
    model.LoadPreset("hero");
    EXPECT_EQ(model.Target().Path(), "/l/a,b.obj");
}

TEST_F(GuiStoreTest, AStaleEnumerationTextLoadsByFallbackAndIsRewrittenOnlyWhenSet) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("hero"));
    store.SetString("map0_quality", "Extreme");
    store.SetString("map0_blur", "2");
    TakeDebugLines();

    model.LoadPreset("hero");
    Node& map = *model.MapNodes()[0];
    EXPECT_EQ(map.ValueText(model.Attrs().quality), "Low");
    EXPECT_EQ(map.ValueText(model.Attrs().blur), "2 pixel");
    const QStringList lines = TakeDebugLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains("Extreme"));
    EXPECT_EQ(Ini("preset_hero", "map0_quality"), "Extreme");
    EXPECT_EQ(Ini("preset_hero", "map0_blur"), "2");

    map.Set(model.Attrs().quality, 2);
    EXPECT_EQ(Ini("preset_hero", "map0_quality"), "High");
    EXPECT_EQ(Ini("preset_hero", "map0_blur"), "2");
}

TEST_F(GuiStoreTest, TwoWindowsOnOneStoreKeepThePresetsEachAddsOrLeaves) {
    // Window B starts first, on the store's own path.
    SettingsStore storeB;
    Preset b(&storeB);
    ASSERT_TRUE(b.AddPreset("base"));
    // Window A is another program on the same file. Opened through a link, it gets its own copy
    // of the file's contents, as a second process would: the settings library shares one per path.
    ASSERT_TRUE(QFile::link(folder.path(), folder.path() + "/link"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path() + "/link");
    SettingsStore storeA;
    Preset a(&storeA);
    OpenCurrentPreset(a);
    ASSERT_TRUE(a.AddPreset("fromA"));
    a.MapNodes()[0]->Set(a.Attrs().maptype, 5);

    ASSERT_TRUE(b.AddPreset("fromB"));
    EXPECT_EQ(Ini("General", "presets"), "\",base,fromA,fromB\"");
    EXPECT_EQ(Names(b), (QStringList{"", "base", "fromA", "fromB"}));

    // B leaves its own preset; what A added meanwhile stays.
    ASSERT_TRUE(a.AddPreset("laterA"));
    b.RemovePreset();
    EXPECT_EQ(Ini("General", "presets"), "\",base,fromA,laterA\"");

    // A restart finds every preset with what it holds.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    SettingsStore restarted;
    Preset model(&restarted);
    EXPECT_EQ(Names(model), (QStringList{"", "base", "fromA", "laterA"}));
    model.LoadPreset("fromA");
    EXPECT_EQ(model.MapNodes()[0]->ValueText(model.Attrs().maptype), "Curvature");
}

TEST_F(GuiStoreTest, RemovingAPresetRemovesEverythingItStored) {
    SettingsStore store;
    Preset model(&store);
    OpenCurrentPreset(model);
    ASSERT_TRUE(model.AddPreset("hero"));
    store.SetInt("processorsBox", 2);
    store.SetInt("bakecount", 4);
    store.settings.setValue("preset_hero_batch_on", 1);
    store.settings.setValue("preset_other_batch_on", 1);
    model.RemovePreset();
    for (const QString& key : StoredKeys()) EXPECT_FALSE(key.startsWith("preset_hero")) << key.toStdString();
    EXPECT_EQ(Ini("General", "preset_other_batch_on"), "1");

    // The unnamed preset keeps its values among the global keys, which stay.
    store.settings.setValue("logid", "7");
    store.settings.setValue("globalCaching", "memory");
    ASSERT_TRUE(model.AddPreset("hero"));
    model.LoadPreset("");
    store.SetInt("bakecount", 1);
    model.RemovePreset();
    EXPECT_EQ(model.PresetName(), "hero");
    QStringList global;
    for (const QString& key : StoredKeys())
        if (!key.startsWith("preset_hero/")) global << key;
    EXPECT_EQ(global, (QStringList{"globalCaching", "logid", "preset", "preset_other_batch_on", "presets"}));
    EXPECT_EQ(Ini("General", "presets"), "hero");
}

TEST_F(GuiStoreTest, ANameOfSpacesOnlyIsRefused) {
    SettingsStore store;
    Preset model(&store);
    OpenCurrentPreset(model);
    const QByteArray before = FileBytes();
    for (const char* name : {"", " ", "  \t "}) EXPECT_FALSE(model.AddPreset(name)) << '"' << name << '"';
    EXPECT_EQ(FileBytes(), before);
    EXPECT_TRUE(model.AddPreset(" hero "));
}

// The batch tick of preset x is the global key "preset_x_batch_on", named as the group of a preset
// called "x_batch_on": removing either preset leaves the other whole, ticked or not.
TEST_F(GuiStoreTest, RemovingAPresetLeavesThePresetNamedAfterItsBatchTickWhole) {
    for (const bool ticked : {false, true}) {
        for (const QString& prefix : {QString("x"), QString()}) {
            const QString tick = "preset_" + prefix + "_batch_on", other = prefix + "_batch_on";
            SCOPED_TRACE((prefix + (ticked ? " ticked" : " unticked")).toStdString());
            WriteSettingsFile(QByteArray());
            {
                SettingsStore store;
                Preset model(&store);
                const Attributes& a = model.Attrs();
                OpenCurrentPreset(model);
                if (!prefix.isEmpty()) {
                    ASSERT_TRUE(model.AddPreset(prefix));
                }
                ASSERT_TRUE(model.AddPreset(other));
                model.TraceNodes()[0]->SetString(a.path, "/h/high.obj");
                model.Output().Set(a.dilation, 7);
                model.Output().Set(a.width, 6);
                if (ticked) store.settings.setValue(tick, 1);
                model.LoadPreset(prefix);
                model.RemovePreset();
                EXPECT_EQ(model.PresetName(), prefix.isEmpty() ? other : QString(""));
                // Cleared, as a key that heads a group can be: set to 0 where it was set.
                EXPECT_EQ(store.settings.value(tick, 0).toInt(), 0);
                EXPECT_EQ(store.settings.contains(tick), ticked);
            }
            // A restart finds the other preset as it was.
            SettingsStore store;
            Preset model(&store);
            ASSERT_TRUE(Names(model).contains(other));
            EXPECT_FALSE(Names(model).contains(prefix));
            model.LoadPreset(other);
            EXPECT_EQ(model.TraceNodes()[0]->Path(), "/h/high.obj");
            EXPECT_EQ(model.Output().ValueText(model.Attrs().dilation), "7");
            EXPECT_EQ(model.Output().ValueText(model.Attrs().width), "4096");
        }
    }
}

TEST_F(GuiStoreTest, RemovingThePresetNamedAfterABatchTickKeepsTheTick) {
    SettingsStore store;
    Preset model(&store);
    ASSERT_TRUE(model.AddPreset("x"));
    store.settings.setValue("preset_x_batch_on", 1);
    ASSERT_TRUE(model.AddPreset("x_batch_on"));
    model.Output().Set(model.Attrs().dilation, 7);
    model.RemovePreset();
    EXPECT_EQ(Ini("General", "preset_x_batch_on"), "1");
    EXPECT_EQ(Ini("preset_x_batch_on", "output_dilation"), QString());
    EXPECT_EQ(Names(model), (QStringList{"", "x"}));
}

TEST_F(GuiStoreTest, APresetAddedUnderANameWithAStaleTickStartsUnticked) {
    SettingsStore store;
    Preset model(&store);
    OpenCurrentPreset(model);
    // Left by a removal that did not clear it, or by hand.
    store.settings.setValue("preset_hero_batch_on", 1);
    ASSERT_TRUE(model.AddPreset("hero"));
    EXPECT_FALSE(store.settings.contains("preset_hero_batch_on"));
    // A name another window has listed meanwhile is that window's preset, tick and all.
    store.settings.setValue("presets", ",hero,late");
    store.settings.setValue("preset_late_batch_on", 1);
    ASSERT_TRUE(model.AddPreset("late"));
    EXPECT_EQ(Ini("General", "preset_late_batch_on"), "1");
}
