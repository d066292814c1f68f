#include "gui/guitest.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace Pallix::Bake;
using KelvorTest::Find;

namespace {

// Closes every box, noting "title: text | informative text".
struct Boxes : KelvorTest::DialogResponder {
    Boxes()
        : DialogResponder([this](QWidget* dialog) {
              if (auto* box = qobject_cast<QMessageBox*>(dialog))
                  shown << box->windowTitle() + ": " + box->text() + " | " + box->informativeText();
              dialog->close();
          }) {}
    QStringList shown;
};

QStringList ComboItems(QWidget& window) {
    QStringList items;
    auto& box = Find<QComboBox>(window, "presetCombo");
    for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
    return items;
}

QMenu& BatchMenu(MainWindow& window) { return *window.menuBar()->actions()[2]->menu(); }

QAction& BatchEntry(MainWindow& window, const QString& name) {
    for (QAction* action : BatchMenu(window).actions())
        if (action->data().toString() == name) return *action;
    throw std::runtime_error("no batch entry " + name.toStdString());
}

QStringList BatchEntries(MainWindow& window) {
    QStringList entries;
    for (QAction* action : BatchMenu(window).actions())
        if (action->isCheckable()) entries << action->data().toString();
    return entries;
}

void Click(QWidget& window, const QString& button) { QTest::mouseClick(&Find<QPushButton>(window, button), Qt::LeftButton); }

}  // namespace

// Windows A and B are two programs on one settings file. B is opened through a link, so that it
// holds a copy of the file's contents of its own, as a second process does: the settings library
// shares one copy per path within a process.
class TwoWindows : public KelvorTest::GuiWindowTest {
protected:
    // Both windows list "base" and "p"; B shows p, or base when onRemoved is false, with its
    // Batch menu filled while p was listed. Then A removes p.
    void Open(bool onRemoved) {
        b.reset();
        a.reset();
        storeB.reset();
        WriteSettingsFile("[General]\npresets=base\npreset=base\n\n[preset_base]\nnumbakes=1\ntraceMeshes=1\n"
                          "map0_maptype=Thickness\nmap0_distance=0.5\n");
        ReopenStore();
        a = MakeWindow();
        {
            KelvorTest::InputAnswer answer("p");
            a->addPresetHandler();
        }
        const QString link = folder.path() + "/link";
        if (!QFile::exists(link)) {
            ASSERT_TRUE(QFile::link(folder.path(), link));
        }
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, link);
        storeB = std::make_unique<SettingsStore>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
        b = std::make_unique<MainWindow>(&events.reporter, storeB.get());
        b->LoadPresetIntoWindow(onRemoved ? "p" : "base");
        ASSERT_EQ(ComboItems(*b), (QStringList{"base", "p"}));
        Click(*a, "preset_removebutton");
        ASSERT_EQ(a->Model().PresetName(), "base");
        removed = FileBytes();
        ASSERT_FALSE(removed.contains("[preset_p]"));
    }

    // B shows base, listed alone, and has stored nothing since A removed p.
    void ExpectBackOnBase(bool listRefilled = true) {
        EXPECT_EQ(b->Model().PresetName(), "base");
        if (listRefilled) {
            EXPECT_EQ(ComboItems(*b), QStringList{"base"});
        }
        EXPECT_EQ(Find<QComboBox>(*b, "presetCombo").currentText(), "base");
        EXPECT_EQ(Find<QLineEdit>(*b, "map0_distance").text(), "0.5");
        EXPECT_EQ(FileBytes(), removed);
        EXPECT_FALSE(b->Baking());
    }

    void TearDown() override {
        b.reset();
        a.reset();
        storeB.reset();
        GuiWindowTest::TearDown();
    }

    std::unique_ptr<SettingsStore> storeB;
    std::unique_ptr<MainWindow> a, b;
    QByteArray removed;
};

TEST_F(TwoWindows, AChangeToAPresetRemovedInTheOtherWindowIsRefusedWithABox) {
    const QString box = "Preset removed: The preset 'p' was removed in another window | Nothing was stored under "
                        "its name. The window now shows the preset 'base'.";
    const std::vector<std::pair<const char*, std::function<void(MainWindow&)>>> changes = {
        {"a typed number", [](MainWindow& w) { Find<QLineEdit>(w, "output_dilation").setText("5"); }},
        {"a typed path", [](MainWindow& w) { Find<QLineEdit>(w, "target_path").setText("/l/low.obj"); }},
        // The map type's own slot, which runs next, must not set the distance of base's Thickness map.
        {"a map type", [](MainWindow& w) { Find<QComboBox>(w, "map0_maptype").setCurrentText("AO Map"); }},
        {"a map row added", [](MainWindow& w) { Click(w, "maps_addbutton"); }},
        {"a mesh row added", [](MainWindow& w) { Click(w, "trace_addbutton"); }},
        {"a processor choice",
         [](MainWindow& w) {
             auto& processors = Find<QComboBox>(w, "processorsBox");
             processors.setCurrentIndex(processors.currentIndex() == 0 ? 1 : 0);
         }},
        {"BAKE IT", [](MainWindow& w) { w.bake(); }},
        {"the preset removed again", [](MainWindow& w) { Click(w, "preset_removebutton"); }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        if (std::string(what) == "a processor choice" && ProcessorCount() < 2) continue;
        Open(true);
        Boxes boxes;
        change(*b);
        EXPECT_EQ(boxes.shown, QStringList{box});
        ExpectBackOnBase();
    }

    // A tick of p from a Batch menu filled before the removal: the box comes once the menu's own
    // handling is over, as loading base rebuilds the menu.
    Open(true);
    Boxes boxes;
    BatchEntry(*b, "p").trigger();
    ASSERT_TRUE(KelvorTest::WaitFor([&] { return !boxes.shown.isEmpty(); }));
    EXPECT_EQ(boxes.shown, QStringList{box});
    ExpectBackOnBase();
    EXPECT_EQ(Ini("General", "preset_p_batch_on"), QString());
}

TEST_F(TwoWindows, APresetRemovedInTheOtherWindowCannotBePickedTickedOrBaked) {
    Open(false);
    {
        Boxes boxes;
        Find<QComboBox>(*b, "presetCombo").setCurrentText("p");
        EXPECT_EQ(boxes.shown, QStringList{"Preset removed: The preset 'p' was removed in another window | The "
                                           "window now shows the preset 'base'."});
        ExpectBackOnBase();
    }

    Open(false);
    {
        Boxes boxes;
        BatchEntry(*b, "p").trigger();
        EXPECT_EQ(boxes.shown, QStringList{"Preset removed: The preset 'p' was removed in another window | It is "
                                           "left out of the batch."});
        EXPECT_EQ(Ini("General", "preset_p_batch_on"), QString());
        ASSERT_TRUE(KelvorTest::WaitFor([&] { return ComboItems(*b) == QStringList{"base"}; }));
        ExpectBackOnBase();
    }

    // The menu shows the stored list as it is when it opens; with p gone nothing is ticked.
    Open(false);
    BatchEntry(*b, "p").setChecked(true);
    BatchMenu(*b).popup(QPoint(0, 0));
    EXPECT_EQ(BatchEntries(*b), QStringList{"base"});
    BatchMenu(*b).hide();
    {
        Boxes boxes;
        b->actionBakeBatch();
        EXPECT_EQ(boxes.shown, QStringList{"Nothing to bake: No preset is ticked in the Batch menu: tick the presets to "
                                           "bake there, then choose Start Batch again. | "});
        EXPECT_TRUE(b->Jobs().empty());
        ExpectBackOnBase(false);
    }

    // After a restart p is gone, and added again it starts unticked.
    b.reset();
    a.reset();
    storeB.reset();
    ReopenStore();
    auto window = MakeWindow();
    EXPECT_EQ(ComboItems(*window), QStringList{"base"});
    KelvorTest::InputAnswer answer("p");
    window->addPresetHandler();
    EXPECT_FALSE(BatchEntry(*window, "p").isChecked());
}
