#include "gui/guitest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiWindowTest;

namespace {

// The labels of the settings rows a map row shows, left to right.
QStringList ShownRows(QWidget& window, const QString& node) {
    QStringList shown;
    QLayout* layout = window.findChild<QWidget*>(node + "_frame")->layout();
    for (int i = 0; i < layout->count(); ++i) {
        QWidget* item = layout->itemAt(i)->widget();
        if (!item || item->isHidden()) continue;
        if (auto* label = item->findChild<QLabel*>()) shown << label->text();
    }
    return shown;
}

}  // namespace

TEST_F(GuiWindowTest, AMapRowShowsOnlyTheRowsOfItsType) {
    auto window = MakeWindow();
    auto& type = Find<QComboBox>(*window, "map0_maptype");
    const std::vector<QStringList> expected = {
        {"Tangents", "Sampling", "Blur", "Y Up"}, {"Quality", "spread", "Distance"},
        {"Sampling", "Blur", "Layers"},           {"Sampling", "Blur", "Normalized"},
        {"Sampling", "Blur"},                     {"Sampling", "Blur"},
        {"Quality", "spread", "Distance"},        {"Sampling", "Blur", "Normalized", "Axis"},
        {"Sampling", "Blur"},                     {"Sampling", "Blur"},
    };
    EXPECT_EQ(ShownRows(*window, "map0"), expected[0]);
    for (int index = 9; index >= 0; --index) {
        type.setCurrentIndex(index);
        EXPECT_EQ(ShownRows(*window, "map0"), expected[size_t(index)]) << index;
    }
    type.setCurrentText("AO Map");
    EXPECT_EQ(ShownRows(*window, "map0"), expected[1]);
    EXPECT_TRUE(TakeDebugLines().contains("Set Node ( \"map0\" ) attribute ( \"maptype\" )"));
    EXPECT_EQ(Ini("General", "map0_maptype"), "AO Map");
}

TEST_F(GuiWindowTest, ThicknessSetsTheDistanceToOneInTheModelTheStoreAndTheField) {
    auto window = MakeWindow();
    auto& type = Find<QComboBox>(*window, "map0_maptype");
    auto& distance = Find<QLineEdit>(*window, "map0_distance");
    distance.setText("0.25");
    type.setCurrentText("AO Map");
    EXPECT_EQ(Ini("General", "map0_distance"), "0.25");

    type.setCurrentText("Thickness");
    EXPECT_EQ(window->Model().MapNodes()[0]->ValueOrDefault(window->Model().Attrs().distance).floatValue, 1.0f);
    EXPECT_EQ(Ini("General", "map0_distance"), "1");
    EXPECT_EQ(distance.text(), "1");
}

TEST_F(GuiWindowTest, LoadingAPresetWritesNoFieldBack) {
    {
        BakeModel::Preset model(store.get());
        ASSERT_TRUE(model.AddPreset("a"));
        model.Output().Set(model.Attrs().width, 2);
        model.Target().SetString(model.Attrs().path, "/a/low.fbx");
        store->SetInt("processorsBox", 0);
    }
    // A preset holding only some of its keys, as one written by hand: each missing value shows
    // its default and stays missing.
    QSettings& raw = store->settings;
    raw.setValue("presets", ",a,b");
    raw.setValue("preset_b/numbakes", 2);
    raw.setValue("preset_b/traceMeshes", 1);
    raw.setValue("preset_b/map0_maptype", "Thickness");
    raw.setValue("preset_b/map1_maptype", "AO Map");
    raw.setValue("preset_b/trace0_path", "/b/high.obj");
    ReopenStore();
    auto window = MakeWindow();
    const QByteArray before = FileBytes();
    Find<QComboBox>(*window, "presetCombo").setCurrentText("b");
    EXPECT_EQ(FileBytes(), QByteArray(before).replace("preset=a", "preset=b"));

    EXPECT_EQ(Find<QComboBox>(*window, "output_width").currentText(), "1024");
    EXPECT_EQ(Find<QLineEdit>(*window, "target_path").text(), "");
    EXPECT_EQ(Find<QLineEdit>(*window, "trace0_path").text(), "/b/high.obj");
    EXPECT_EQ(Find<QLineEdit>(*window, "map0_distance").text(), "0");
    EXPECT_EQ(ShownRows(*window, "map1"), (QStringList{"Quality", "spread", "Distance"}));

    Find<QComboBox>(*window, "presetCombo").setCurrentText("a");
    EXPECT_EQ(Find<QComboBox>(*window, "output_width").currentText(), "256");
    EXPECT_EQ(Find<QLineEdit>(*window, "target_path").text(), "/a/low.fbx");
}

TEST_F(GuiWindowTest, TheAutoCloseBoxIsStoredGloballyAsItsCheckState) {
    auto window = MakeWindow();
    window->LoadPresetIntoWindow("hero");
    auto& box = Find<QCheckBox>(*window, "autocloserender_checkbox");
    EXPECT_TRUE(box.isChecked());
    box.setChecked(false);
    EXPECT_EQ(Ini("General", "autocloserender_checkbox"), "0");
    box.setChecked(true);
    EXPECT_EQ(Ini("General", "autocloserender_checkbox"), "2");
}
