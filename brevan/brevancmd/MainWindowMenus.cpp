#include "MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include "elidedcombobox.h"

namespace Pallix::Bake {

QAction* MainWindow::MakeAction(const QString& text, const QString& statusTip, void (MainWindow::*slot)(),
                                QActionGroup* group) {
    auto* action = new QAction(text, this);
    action->setStatusTip(statusTip);
    if (group) {
        action->setCheckable(true);
        group->addAction(action);
    }
    connect(action, &QAction::triggered, this, slot);
    return action;
}

void MainWindow::CreateActions() {
    websiteAct = MakeAction(tr("&Website"), tr("Go to kelvor.example"), &MainWindow::openWebsite);
    tutorialsAct = MakeAction(tr("&Tutorials"), tr("Helpful tutorials on workflow"), &MainWindow::openTutorials);
    supportAct = MakeAction(tr("&Support"), tr("Contact us for customer service"), &MainWindow::openSupport);
    legalAct = MakeAction(tr("&Legal Acknowledgments"), tr("Required notices about the software"),
                          &MainWindow::showLegal);
    eulaAct = MakeAction(tr("&EULA"), tr("Details regarding the user license agreement"), &MainWindow::showEULA);
    mayaInstallAct =
        MakeAction(tr("&Install Shelf"), tr("Generates a shelf you can import into Maya"), &MainWindow::mayaInstall);
    mayaInstallCustomAct = MakeAction(tr("Install Shelf &Manual"), tr("Choose the location to put the Kelvor shelf"),
                                      &MainWindow::mayaInstallCustom);
    aboutAct = MakeAction("&About Kelvor", tr("Information about kelvor"), &MainWindow::showAbout);
    aboutAct->setMenuRole(QAction::AboutRole);

    cachingGroup = new QActionGroup(this);
    cachingNoneAct = MakeAction(tr("&No Caching"), tr("High poly is reloaded every bake"), &MainWindow::setCachingNone,
                                cachingGroup);
    cachingFileAct = MakeAction(tr("&File Caching"), tr("High poly is converted to fast loading format"),
                                &MainWindow::setCachingFile, cachingGroup);
    cachingMemoryAct = MakeAction(tr("&Memory Caching"), tr("High poly is kept in memory between bakes"),
                                  &MainWindow::setCachingMemory, cachingGroup);

    udimGroup = new QActionGroup(this);
    udimOffAct = MakeAction(tr("&Off"), tr("Normal non-UDIM bake"), &MainWindow::setUDIMOff, udimGroup);
    udimAutoAct =
        MakeAction(tr("&Auto"), tr("UDIM enabled, automatic bounds detection"), &MainWindow::setUDIMAuto, udimGroup);
    udimFullAct = MakeAction(tr("&Manual"), tr("Specify the range of tiles"), &MainWindow::setUDIMFull, udimGroup);

    tileNamingGroup = new QActionGroup(this);
    tileNamingUdimAct = MakeAction(tr("&UDIM"), tr("Use UDIM Naming convention"), &MainWindow::setTileNamingUDIM,
                                   tileNamingGroup);
    tileNamingMudboxAct = MakeAction(tr("&Mudbox Tiling"), tr("Use Mudbox tile naming"),
                                     &MainWindow::setTileNamingMudbox, tileNamingGroup);

    nameMatchingGroup = new QActionGroup(this);
    nameMatchingOffAct = MakeAction(tr("O&ff"), tr("Normal bake using all high poly geometry"),
                                    &MainWindow::setNameMatchingOff, nameMatchingGroup);
    nameMatchingOnAct = MakeAction(tr("O&n"), tr("Will match high poly objects to low poly ones that contain the same name"),
                                   &MainWindow::setNameMatchingOn, nameMatchingGroup);

    // Kept by the window, not the menu, so that rebuilding the menu keeps it disabled during a run.
    startBatchAct = MakeAction(tr("&Start Batch"), QString(), &MainWindow::actionBakeBatch);

    tutorialUrlAct = MakeAction("High to low bake", QString(), &MainWindow::openTutorialURL);
    tutorialUrlAct->setProperty("URL", QString(kTutorialsPage));

    // Read without the create flag: a fresh store stays empty until the user picks an option.
    const QString caching = settings->GetStringOrCreate("globalCaching", "none", false);
    if (caching == "file")
        cachingFileAct->setChecked(true);
    else if (caching == "memory")
        cachingMemoryAct->setChecked(true);
    else
        cachingNoneAct->setChecked(true);

    const QString udim = settings->GetStringOrCreate("globalUDIM", "off", false);
    if (udim == "auto")
        udimAutoAct->setChecked(true);
    else if (udim == "full")
        udimFullAct->setChecked(true);
    else
        udimOffAct->setChecked(true);

    if (settings->GetStringOrCreate("globalTileNaming", "udim", false) == "udim")
        tileNamingUdimAct->setChecked(true);
    else
        tileNamingMudboxAct->setChecked(true);

    if (settings->GetStringOrCreate("globalNameMatching", "off", false) == "on")
        nameMatchingOnAct->setChecked(true);
    else
        nameMatchingOffAct->setChecked(true);
}

void MainWindow::CreateMenus() {
    QMenu* workflow = menuBar()->addMenu(tr("&Workflow"));
    QMenu* maya = workflow->addMenu("Maya");
    maya->addAction(mayaInstallAct);
    maya->addAction(mayaInstallCustomAct);

    QMenu* options = menuBar()->addMenu("&Options");
    QMenu* caching = options->addMenu("&Caching");
    caching->addAction(cachingNoneAct);
    caching->addAction(cachingMemoryAct);
    QMenu* naming = options->addMenu("&Name Matching");
    naming->addAction(nameMatchingOffAct);
    naming->addAction(nameMatchingOnAct);

    batchMenu = menuBar()->addMenu("&Batch");
    // Another window may have added or removed presets since the menu was last filled.
    connect(batchMenu, &QMenu::aboutToShow, this, &MainWindow::RebuildBatchMenu);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    for (QAction* action : {aboutAct, websiteAct, tutorialsAct, supportAct, legalAct, eulaAct}) help->addAction(action);

    RebuildBatchMenu();
}

void MainWindow::RebuildBatchMenu() {
    batchMenu->clear();
    batchMenu->addAction(startBatchAct);
    batchMenu->addSeparator();
    QStringList names;
    model.PresetNames(names);
    // A long name is shortened, so that the menu fits the screen, and a "&" is shown as itself
    // rather than as a shortcut; the action keeps the name itself for its setting.
    batchMenu->setToolTipsVisible(true);
    for (const QString& name : names) {
        QString shown = ShortenedName(name, batchMenu->font());
        QAction* tick = batchMenu->addAction(shown.replace('&', "&&"));
        tick->setData(name);
        tick->setToolTip(BreakableText(name));
        tick->setCheckable(true);
        tick->setChecked(settings->settings.value("preset_" + name + "_batch_on", 0).toInt() != 0);
        connect(tick, &QAction::triggered, this, &MainWindow::actionToggleBack);
    }
}

void MainWindow::actionToggleBack() {
    auto* tick = qobject_cast<QAction*>(sender());
    if (!tick) return;
    const QString name = tick->data().toString();
    // Removed in another window since the menu opened: a tick stored now would tick the preset
    // again when one of that name is added.
    if (!PresetListed(name)) {
        // Loading another preset, or refilling the preset list, rebuilds this menu and deletes
        // the action that sent this: both wait until its handling is over.
        if (name == model.PresetName()) {
            QTimer::singleShot(0, this, [this] { CurrentPresetListed(); });
        } else {
            SayPresetRemoved(name, "It is left out of the batch.");
            QTimer::singleShot(0, this, &MainWindow::RefillPresetCombo);
        }
        return;
    }
    settings->settings.setValue("preset_" + name + "_batch_on", tick->isChecked() ? 1 : 0);
    settings->settings.sync();
    CheckStore();
}

void MainWindow::SetGlobalOption(QAction* action, const char* key, const char* value) {
    action->setChecked(true);
    settings->settings.setValue(key, value);
    settings->settings.sync();
    CheckStore();
}

void MainWindow::setCachingNone() { SetGlobalOption(cachingNoneAct, "globalCaching", "none"); }
void MainWindow::setCachingFile() { SetGlobalOption(cachingFileAct, "globalCaching", "file"); }
void MainWindow::setCachingMemory() { SetGlobalOption(cachingMemoryAct, "globalCaching", "memory"); }
void MainWindow::setUDIMOff() { SetGlobalOption(udimOffAct, "globalUDIM", "off"); }
void MainWindow::setUDIMAuto() { SetGlobalOption(udimAutoAct, "globalUDIM", "auto"); }
void MainWindow::setUDIMFull() { SetGlobalOption(udimFullAct, "globalUDIM", "full"); }
void MainWindow::setTileNamingUDIM() { SetGlobalOption(tileNamingUdimAct, "globalTileNaming", "udim"); }
void MainWindow::setTileNamingMudbox() { SetGlobalOption(tileNamingMudboxAct, "globalTileNaming", "mudbox"); }
void MainWindow::setNameMatchingOff() { SetGlobalOption(nameMatchingOffAct, "globalNameMatching", "off"); }
void MainWindow::setNameMatchingOn() { SetGlobalOption(nameMatchingOnAct, "globalNameMatching", "on"); }

}  // namespace Pallix::Bake
