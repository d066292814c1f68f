#include "gui/guitest.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiWindowTest;
using KelvorTest::InputAnswer;

namespace {

// Object names of the rows between a region's title and its "+" button.
QStringList Rows(QWidget& window, const QString& region) {
    QStringList rows;
    QLayout* layout = window.findChild<QFrame*>(region + "_region")->layout();
    for (int i = 1; i + 1 < layout->count(); ++i) rows << layout->itemAt(i)->widget()->objectName();
    return rows;
}

QStringList PresetItems(QWidget& window) {
    QStringList items;
    auto* box = window.findChild<QComboBox*>("presetCombo");
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

// As a user does it: the button that removes a row is inside the row.
void Click(QWidget& window, const QString& button) { QTest::mouseClick(&Find<QPushButton>(window, button), Qt::LeftButton); }

}  // namespace

TEST_F(GuiWindowTest, MapRowsComeAndGoButTheLastStays) {
    auto window = MakeWindow();
    Click(*window, "map0_removebutton");
    EXPECT_EQ(Rows(*window, "maps"), QStringList{"map0_frame"});

    Click(*window, "maps_addbutton");
    Click(*window, "maps_addbutton");
    EXPECT_EQ(Rows(*window, "maps"), (QStringList{"map0_frame", "map1_frame", "map2_frame"}));
    Find<QComboBox>(*window, "map2_maptype").setCurrentText("Curvature");
    Click(*window, "map1_removebutton");
    EXPECT_EQ(Rows(*window, "maps"), (QStringList{"map0_frame", "map1_frame"}));
    EXPECT_EQ(Find<QComboBox>(*window, "map1_maptype").currentText(), "Curvature");
    EXPECT_EQ(Ini("General", "numbakes"), "2");
    // The rebuilt row is wired like the first.
    Find<QComboBox>(*window, "map1_maptype").setCurrentText("AO Map");
    EXPECT_EQ(Ini("General", "map1_maptype"), "AO Map");

    Click(*window, "trace_addbutton");
    Find<QLineEdit>(*window, "trace1_path").setText("/h/second.obj");
    Click(*window, "trace0_removebutton");
    EXPECT_EQ(Rows(*window, "trace"), QStringList{"trace0_widget"});
    EXPECT_EQ(Find<QLineEdit>(*window, "trace0_path").text(), "/h/second.obj");
}

TEST_F(GuiWindowTest, PresetsAreAddedRefusedAndRemoved) {
    auto window = MakeWindow();
    {
        InputAnswer answer("hero");
        Click(*window, "preset_addbutton");
        EXPECT_TRUE(answer.messages.isEmpty());
    }
    EXPECT_EQ(PresetItems(*window), (QStringList{"", "hero"}));
    EXPECT_EQ(Find<QComboBox>(*window, "presetCombo").currentText(), "hero");

    // A "/" or "\" would put the name's keys inside another preset's group: "hero/" into hero's.
    const QByteArray stored = FileBytes();
    for (const auto& [name, message] :
         {std::pair{"hero", "The preset already exists"}, std::pair{"a,b", "Preset names cannot contain ','"},
          std::pair{"hero/", "Preset names cannot contain '/'"}, std::pair{"a\\b", "Preset names cannot contain '\\'"}}) {
        InputAnswer answer(name);
        Click(*window, "preset_addbutton");
        EXPECT_EQ(answer.messages, QStringList{message});
        EXPECT_EQ(PresetItems(*window), (QStringList{"", "hero"}));
        EXPECT_EQ(FileBytes(), stored) << name;
    }

    // Removing the current preset opens the first that remains, named or not; the last one stays.
    {
        InputAnswer answer("villain");
        Click(*window, "preset_addbutton");
    }
    Find<QComboBox>(*window, "presetCombo").setCurrentText("");
    Click(*window, "preset_removebutton");
    EXPECT_EQ(PresetItems(*window), (QStringList{"hero", "villain"}));
    EXPECT_EQ(window->Model().PresetName(), "hero");
    EXPECT_EQ(Find<QComboBox>(*window, "presetCombo").currentText(), "hero");
    EXPECT_EQ(Ini("General", "preset"), "hero");
    Click(*window, "preset_removebutton");
    Click(*window, "preset_removebutton");
    EXPECT_EQ(PresetItems(*window), QStringList{"villain"});
    EXPECT_EQ(window->Model().PresetName(), "villain");
}

TEST_F(GuiWindowTest, TheOutputChooserKeepsTheBasePath) {
    for (const auto& [chosen, stored] : {std::pair{"/tmp/out/head_tnm.tiff", "/tmp/out/head"},
                                         std::pair{"/tmp/out/head_onm.tif", "/tmp/out/head"},
                                         std::pair{"/tmp/out/head.png", "/tmp/out/head"},
                                         std::pair{"/home/u/my.maps/head", "/home/u/my.maps/head"},
                                         std::pair{"C:\\out.d\\head", "C:\\out.d\\head"}})
        EXPECT_EQ(OutputBasePath(chosen), stored) << chosen;

    const QString maps = folder.path() + "/my.maps";
    ASSERT_TRUE(QDir().mkpath(maps));
    auto window = MakeWindow();
    KelvorTest::DialogResponder pick([&](QWidget* dialog) {
        auto* files = qobject_cast<QFileDialog*>(dialog);
        EXPECT_EQ(files->windowTitle(), "Select Output Directory");
        files->selectFile(maps + "/head_tnm.tiff");
        static_cast<QDialog*>(files)->accept();
    });
    Click(*window, "output_button");
    EXPECT_EQ(pick.Handled(), 1);
    EXPECT_EQ(Find<QLineEdit>(*window, "output_path").text(), maps + "/head");
    EXPECT_EQ(window->Model().Output().Path(), maps + "/head");
    EXPECT_EQ(window->LastFolder(), maps);
    // The next chooser starts where the last file was picked unless its own path has a folder.
    EXPECT_EQ(window->StartFolderFor(""), maps);
    EXPECT_EQ(window->StartFolderFor("/no/such/folder/low.fbx"), maps);
    EXPECT_EQ(window->StartFolderFor(folder.path() + "/low.fbx"), folder.path());
}

TEST_F(GuiWindowTest, OpenOutputFolderHandsTheFolderOfTheOutputPathToTheOpener) {
    auto window = MakeWindow();
    Find<QLineEdit>(*window, "output_path").setText("/tmp/bakes/hero_tnm.tiff");
    testing::internal::CaptureStdout();
    emit Find<QPushButton>(*window, "openFolderButton").pressed();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "opening /tmp/bakes/\n");
    EXPECT_EQ(opened, QStringList{"file:///tmp/bakes/"});
}

TEST_F(GuiWindowTest, APresetAddedAgainAfterItsRemovalStartsUntickedAndSpacesAreNoName) {
    auto window = MakeWindow();
    QMenu* batch = window->menuBar()->actions()[2]->menu();
    {
        InputAnswer answer("hero");
        Click(*window, "preset_addbutton");
    }
    batch->actions().last()->trigger();
    EXPECT_EQ(Ini("General", "preset_hero_batch_on"), "1");
    Click(*window, "preset_removebutton");
    EXPECT_EQ(Ini("General", "preset_hero_batch_on"), QString());
    {
        InputAnswer answer("hero");
        Click(*window, "preset_addbutton");
    }
    ASSERT_EQ(batch->actions().last()->text(), "hero");
    EXPECT_FALSE(batch->actions().last()->isChecked());

    // Refused without a word, as an empty name is.
    const QByteArray stored = FileBytes();
    InputAnswer answer("   ");
    Click(*window, "preset_addbutton");
    EXPECT_EQ(answer.messages, QStringList());
    EXPECT_EQ(PresetItems(*window), (QStringList{"", "hero"}));
    EXPECT_EQ(FileBytes(), stored);
}
