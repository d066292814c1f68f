#include "gui/guitest.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "aboutdialog.h"
#include "eulawindow.h"
#include "legalwindow.h"
#include "mayashelf.h"

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
    // Outside every menu, yet there; Start Batch is the window's, so that a run can disable it.
    EXPECT_EQ(WindowActions(*window).size(), 20);
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

TEST_F(GuiWindowTest, ACurrentPresetMissingFromTheListCanBeTickedAtOnce) {
    store->settings.setValue("presets", "a");
    store->settings.setValue("preset", "hero");
    auto window = MakeWindow();
    QMenu* batch = window->menuBar()->actions()[2]->menu();
    ASSERT_EQ(MenuEntries(batch->actions()), (QStringList{"&Start Batch", "-", "a", "hero"}));
    batch->actions()[3]->trigger();
    EXPECT_EQ(Ini("General", "preset_hero_batch_on"), "1");
}

TEST_F(GuiWindowTest, HelpEntriesOpenTheirDialogsModalOnTheirOwn) {
    auto window = MakeWindow();
    window->show();
    const QByteArray storeBefore = FileBytes();
    for (const char* entry : {"&About Kelvor", "&Legal Acknowledgments", "&EULA"}) {
        SCOPED_TRACE(entry);
        ActionNamed(*window, entry).trigger();
        QWidgetList opened = KelvorTest::VisibleWindows();
        opened.removeOne(window.get());
        ASSERT_EQ(opened.size(), 1);
        QPointer<QWidget> dialog = opened[0];
        const QString text = entry;
        if (text == "&About Kelvor") {
            EXPECT_NE(qobject_cast<AboutDialog*>(dialog), nullptr);
        } else if (text == "&Legal Acknowledgments") {
            EXPECT_NE(qobject_cast<LegalWindow*>(dialog), nullptr);
        } else {
            ASSERT_NE(qobject_cast<EULAWindow*>(dialog), nullptr);
            EXPECT_TRUE(dialog->findChildren<QPushButton*>().isEmpty());
        }
        EXPECT_TRUE(dialog->isModal());
        EXPECT_EQ(dialog->parentWidget(), nullptr);
        dialog->close();
        EXPECT_TRUE(KelvorTest::WaitFor([&] { return dialog.isNull(); })) << "a closed dialog stays";
    }
    EXPECT_EQ(FileBytes(), storeBefore);
}

TEST_F(GuiWindowTest, MayaInstallAsksPerVersionFolderAndWritesOnlyWhereTheAnswerIsYes) {
    QTemporaryDir maya;
    for (const char* version : {"2016", "2017-x64"})
        ASSERT_TRUE(QDir().mkpath(maya.path() + "/" + version + "/prefs/shelves"));
    KelvorTest::ScopedEnvironment mayaVariable("MAYA_APP_DIR", maya.path());
    auto window = MakeWindow();

    QStringList questions, reports;
    QList<QMessageBox::Icon> icons;
    KelvorTest::WindowResponder<QMessageBox> answer([&](QMessageBox* box) {
        EXPECT_EQ(box->parentWidget(), window.get());
        if (!box->button(QMessageBox::Yes)) {
            reports << box->windowTitle() + ": " + box->text();
            icons << box->icon();
            box->accept();
            return;
        }
        questions << box->windowTitle() + ": " + box->text();
        box->button(questions.size() == 1 ? QMessageBox::No : QMessageBox::Yes)->click();
    });
    ActionNamed(*window, "&Install Shelf").trigger();
    EXPECT_EQ(questions, (QStringList{"Maya Shelf Install: Do you want to install shelf for Maya 2016",
                                      "Maya Shelf Install: Do you want to install shelf for Maya 2017"}));
    EXPECT_FALSE(QFileInfo::exists(maya.path() + "/2016/prefs/shelves/shelf_Kelvor.mel"));
    const QString shelf = maya.path() + "/2017-x64/prefs/shelves/shelf_Kelvor.mel";
    EXPECT_EQ(KelvorTest::ReadFile(shelf), ShelfFileText(ShelfProgramPath()).toUtf8());
    // The window says where the shelf went, and which folder failed.
    EXPECT_EQ(reports, QStringList{"Maya Shelf Install: The shelf was written to:\n" + shelf});
    EXPECT_EQ(icons, QList<QMessageBox::Icon>{QMessageBox::Information});

    ASSERT_TRUE(QFile::remove(shelf));
    ASSERT_TRUE(QDir().mkpath(shelf));
    ActionNamed(*window, "&Install Shelf").trigger();
    ASSERT_EQ(reports.size(), 2);
    EXPECT_TRUE(reports[1].contains("\n\nThe shelf could not be written to:\n" + maya.path() + "/2017-x64/prefs/shelves ("))
        << reports[1].toStdString();
    EXPECT_EQ(icons[1], QMessageBox::Warning);
}

TEST_F(GuiWindowTest, ManualShelfInstallWritesIntoTheChosenFolderAndNothingWhenCancelled) {
    QTemporaryDir chosen;
    auto window = MakeWindow();
    QStringList reports;
    KelvorTest::WindowResponder<QMessageBox> report([&](QMessageBox* box) {
        reports << box->text();
        box->accept();
    });
    bool choose = false;
    KelvorTest::WindowResponder<QFileDialog> pick([&](QFileDialog* files) {
        EXPECT_EQ(files->windowTitle(), "Select your shelf directory");
        EXPECT_TRUE(files->testOption(QFileDialog::ShowDirsOnly));
        if (choose) {
            files->setDirectory(chosen.path());
            files->selectFile(chosen.path());
            static_cast<QDialog*>(files)->accept();
        } else {
            files->reject();
        }
    });
    ActionNamed(*window, "Install Shelf &Manual").trigger();
    EXPECT_EQ(pick.Handled(), 1);
    EXPECT_TRUE(QDir(chosen.path()).isEmpty());
    EXPECT_EQ(reports, QStringList());

    choose = true;
    ActionNamed(*window, "Install Shelf &Manual").trigger();
    EXPECT_EQ(pick.Handled(), 2);
    EXPECT_EQ(KelvorTest::ReadFile(chosen.path() + "/shelf_Kelvor.mel"), ShelfFileText(ShelfProgramPath()).toUtf8());
    EXPECT_EQ(reports, QStringList{"The shelf was written to:\n" + chosen.path() + "/shelf_Kelvor.mel"});
}

TEST_F(GuiWindowTest, ABatchEntryShowsItsPresetsNameAsItIsAndWithinTheScreen) {
    const QString longName = QString("Longname").repeated(38).left(300);
    store->settings.setValue("presets", "R&D," + longName);
    store->settings.setValue("preset", "R&D");
    auto window = MakeWindow();
    QMenu* batch = window->menuBar()->actions()[2]->menu();
    ASSERT_EQ(batch->actions().size(), 4);
    QAction* ampersand = batch->actions()[2];
    QAction* shortened = batch->actions()[3];
    // "&&" shows one "&" rather than making the next letter a shortcut.
    EXPECT_EQ(ampersand->text(), "R&&D");
    ampersand->trigger();
    EXPECT_EQ(store->settings.value("preset_R&D_batch_on").toInt(), 1);

    EXPECT_LT(batch->fontMetrics().horizontalAdvance(shortened->text()), batch->screen()->availableGeometry().width());
    EXPECT_EQ(shortened->toolTip().remove(QChar(0x200B)), longName);
    shortened->trigger();
    EXPECT_EQ(Ini("General", "preset_" + longName + "_batch_on"), "1");
}
