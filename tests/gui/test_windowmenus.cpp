#include "gui/guitest.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiWindowTest;

namespace {

QList<QAction*> WindowActions(QWidget& window) {
    return window.findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly);
}

QAction& ActionNamed(QWidget& window, const QString& text) {
    for (QAction* action : WindowActions(window))
        if (action->text() == text) return *action;
    throw std::runtime_error("no action " + text.toStdString());
}

// Every menu entry as its path, "&Options/&Caching/&No Caching"; "-" for a separator.
QStringList MenuEntries(const QList<QAction*>& actions, const QString& prefix = QString()) {
    QStringList entries;
    for (QAction* action : actions) {
        const QString path = prefix + (action->isSeparator() ? "-" : action->text());
        if (action->menu())
            entries << MenuEntries(action->menu()->actions(), path + "/");
        else
            entries << path;
    }
    return entries;
}

QStringList Checked(QWidget& window) {
    QStringList checked;
    for (QAction* action : WindowActions(window))
        if (action->isChecked()) checked << action->text();
    return checked;
}

}  // namespace

TEST_F(GuiWindowTest, MenusHoldTheirActionsAndWebPagesGoToTheOpener) {
    auto window = MakeWindow();
    EXPECT_EQ(MenuEntries(window->menuBar()->actions()),
              (QStringList{"&Workflow/Maya/&Install Shelf", "&Workflow/Maya/Install Shelf &Manual",
                           "&Options/&Caching/&No Caching", "&Options/&Caching/&Memory Caching",
                           "&Options/&Name Matching/O&ff", "&Options/&Name Matching/O&n", "&Batch/&Start Batch",
                           "&Batch/-", "&Batch/", "&Help/&About Kelvor", "&Help/&Website", "&Help/&Tutorials",
                           "&Help/&Support", "&Help/&Legal Acknowledgments", "&Help/&EULA"}));
    // Outside every menu, yet there.
    EXPECT_EQ(WindowActions(*window).size(), 19);
    EXPECT_TRUE(ActionNamed(*window, "&File Caching").isCheckable());
    for (const char* text : {"&Website", "&Tutorials", "&Support", "High to low bake"})
        ActionNamed(*window, text).trigger();
    EXPECT_EQ(opened, (QStringList{"https://kelvor.example/", "https://kelvor.example/tutorials",
                                   "https://kelvor.example/support", "https://kelvor.example/tutorials"}));
}

TEST_F(GuiWindowTest, GlobalOptionsAreRestoredExactlyWithoutWritingAndStoredByTheirActions) {
    {
        auto window = MakeWindow();
        EXPECT_EQ(Checked(*window), (QStringList{"&No Caching", "&Off", "&UDIM", "O&ff"}));
        EXPECT_FALSE(FileBytes().contains("global"));
    }
    store->settings.setValue("globalCaching", "file");
    store->settings.setValue("globalUDIM", "full");
    store->settings.setValue("globalTileNaming", "mudbox");
    store->settings.setValue("globalNameMatching", "on");
    auto window = MakeWindow();
    EXPECT_EQ(Checked(*window), (QStringList{"&File Caching", "&Manual", "&Mudbox Tiling", "O&n"}));

    ActionNamed(*window, "&Memory Caching").trigger();
    ActionNamed(*window, "O&ff").trigger();
    window->setUDIMAuto();
    window->setTileNamingUDIM();
    EXPECT_EQ(Checked(*window), (QStringList{"&Memory Caching", "&Auto", "&UDIM", "O&ff"}));
    EXPECT_EQ(Ini("General", "globalCaching"), "memory");
    EXPECT_EQ(Ini("General", "globalUDIM"), "auto");
    EXPECT_EQ(Ini("General", "globalTileNaming"), "udim");
    EXPECT_EQ(Ini("General", "globalNameMatching"), "off");

    store->settings.setValue("globalCaching", "Memory");
    window = MakeWindow();
    EXPECT_TRUE(ActionNamed(*window, "&No Caching").isChecked());
}

TEST_F(GuiWindowTest, TheBatchMenuListsThePresetsWithTheirTicks) {
    store->settings.setValue("presets", "a,b");
    store->settings.setValue("preset", "a");
    store->settings.setValue("preset_b_batch_on", 1);
    auto window = MakeWindow();
    QMenu* batch = window->menuBar()->actions()[2]->menu();
    EXPECT_EQ(MenuEntries(batch->actions()), (QStringList{"&Start Batch", "-", "a", "b"}));
    EXPECT_FALSE(batch->actions()[2]->isChecked());
    EXPECT_TRUE(batch->actions()[3]->isChecked());

    KelvorTest::InputAnswer answer("hero");
    window->addPresetHandler();
    ASSERT_EQ(MenuEntries(batch->actions()), (QStringList{"&Start Batch", "-", "a", "b", "hero"}));
    batch->actions()[4]->trigger();
    EXPECT_EQ(Ini("General", "preset_hero_batch_on"), "1");
    batch->actions()[4]->trigger();
    EXPECT_EQ(Ini("General", "preset_hero_batch_on"), "0");
}
