#include "MainWindow.h"

#include <QAction>
#include <QComboBox>
#include <QInputDialog>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>

#include "aboutdialog.h"
#include "elidedcombobox.h"
#include "eulawindow.h"
#include "legalwindow.h"
#include "mayashelf.h"

namespace Pallix::Bake {

namespace {

// show() returns at once; the dialog still blocks input to the other windows while it is open.
void ShowModal(QDialog* dialog) {
    dialog->setModal(true);
    dialog->show();
}

void ShowNotice(const QString& text) {
    QMessageBox box;
    box.setText(text);
    box.exec();
}

}  // namespace

void MainWindow::LoadPresetIntoWindow(const QString& name) {
    QStringList names;
    model.PresetNames(names);
    if (names.contains(name)) {
        model.LoadPreset(name);
    } else if (!model.ListPreset(name)) {
        // A name the preset list cannot hold: open the first listed preset instead.
        model.LoadPreset(names.value(0));
    }

    updating = true;
    RebuildHighPolyRows();
    RebuildMapRows();
    const BakeModel::Attributes& a = model.Attrs();
    UpdateAttributeField(model.Target(), a.path);
    UpdateAttributeField(model.Envelope(), a.enabled);
    UpdateAttributeField(model.Envelope(), a.path);
    UpdateOutputFields();
    RefillPresetCombo();
    ReadProcessorChoice();
    updating = false;
}

bool MainWindow::PresetListed(const QString& name) const {
    QStringList names;
    model.PresetNames(names);
    return names.contains(name);
}

QString MainWindow::QuotedPreset(const QString& name) const {
    return name.isEmpty() ? QString("the unnamed preset") : "the preset '" + ShortenedName(name, font()) + "'";
}

void MainWindow::SayPresetRemoved(const QString& name, const QString& consequence) {
    QString text = QuotedPreset(name) + " was removed in another window";
    text[0] = text[0].toUpper();
    QMessageBox box(QMessageBox::Warning, "Preset removed", text, QMessageBox::Ok, this);
    box.setInformativeText(consequence);
    box.exec();
}

bool MainWindow::CurrentPresetListed() {
    QStringList names;
    model.PresetNames(names);
    const QString name = model.PresetName();
    if (names.contains(name)) return true;
    // Writing on would bring back a group that no list names and that a restart drops.
    const QString next = names.value(0);
    SayPresetRemoved(name, "Nothing was stored under its name. The window now shows " + QuotedPreset(next) + ".");
    LoadPresetIntoWindow(next);
    return false;
}

void MainWindow::RefillPresetCombo() {
    const QSignalBlocker blocker(presetCombo);
    QStringList names;
    model.PresetNames(names);
    presetCombo->clear();
    presetCombo->addItems(names);
    presetCombo->setCurrentText(model.PresetName());
    // The box shows a long name shortened; its tool tips show it whole.
    for (int i = 0; i < names.size(); ++i) presetCombo->setItemData(i, BreakableText(names[i]), Qt::ToolTipRole);
    presetCombo->setToolTip(BreakableText(model.PresetName()));
    // The batch menu offers exactly the presets the combo box lists.
    RebuildBatchMenu();
}

void MainWindow::ReadProcessorChoice() {
    auto* box = findChild<QComboBox*>("processorsBox");
    if (!box) return;
    const QSignalBlocker blocker(box);
    box->setCurrentIndex(ProcessorIndex(settings->GetInt("processorsBox", box->count() - 1), box->count()));
}

void MainWindow::StoreProcessorChoice() {
    if (auto* box = findChild<QComboBox*>("processorsBox")) settings->SetInt("processorsBox", box->currentIndex());
}

void MainWindow::addBakeMap() {
    if (!CurrentPresetListed()) return;
    BakeModel::Node* node = model.AddMapNode();
    if (QVBoxLayout* layout = RegionLayout("maps"))
        layout->insertWidget(int(model.MapNodes().size()), BuildMapRow(*node));
    CheckStore();
}

void MainWindow::removeBakeMap() {
    if (model.MapNodes().size() < 2 || !CurrentPresetListed()) return;
    BakeModel::Node* node = NodeForSender(sender());
    if (!node) return;
    model.RemoveMapNode(node);
    RebuildMapRows();
    CheckStore();
}

void MainWindow::addTraceMeshHandler() {
    if (!CurrentPresetListed()) return;
    BakeModel::Node* node = model.AddTraceNode();
    if (QVBoxLayout* layout = RegionLayout("trace"))
        layout->insertWidget(int(model.TraceNodes().size()), BuildHighPolyRow(*node));
    CheckStore();
}

void MainWindow::removeTraceMesh() {
    if (model.TraceNodes().size() < 2 || !CurrentPresetListed()) return;
    BakeModel::Node* node = NodeForSender(sender());
    if (!node) return;
    model.RemoveTraceNode(node);
    RebuildHighPolyRows();
    CheckStore();
}

void MainWindow::presetComboChangedHandler(int index) {
    auto* box = qobject_cast<QComboBox*>(sender());
    if (!box || index < 0) return;
    const QString name = box->itemText(index);
    QStringList names;
    model.PresetNames(names);
    if (!names.contains(name)) {
        // Picked from a list that another window has changed since: loading it would list it again.
        const QString current = model.PresetName();
        const QString shown = names.contains(current) ? current : names.value(0);
        SayPresetRemoved(name, "The window now shows " + QuotedPreset(shown) + ".");
        LoadPresetIntoWindow(shown);
        return;
    }
    LoadPresetIntoWindow(name);
    CheckStore();
}

void MainWindow::addPresetHandler() {
    bool accepted = false;
    const QString name =
        QInputDialog::getText(this, tr("New Preset"), tr("Preset Name"), QLineEdit::Normal, QString(), &accepted);
    // A name of spaces only would look like the unnamed preset: it is refused as an empty one is.
    if (accepted && !name.trimmed().isEmpty()) {
        QStringList names;
        model.PresetNames(names);
        const QChar forbidden = BakeModel::Preset::ForbiddenCharacter(name);
        if (names.contains(name, Qt::CaseSensitive)) {
            ShowNotice("The preset already exists");
        } else if (!forbidden.isNull()) {
            ShowNotice(QString("Preset names cannot contain '%1'").arg(forbidden));
        } else {
            model.AddPreset(name);
            RefillPresetCombo();
            // The processor choice belongs to the preset: a new one keeps what is on screen.
            StoreProcessorChoice();
            CheckStore();
        }
    }
}

void MainWindow::removePresetHandler() {
    if (presetCombo->count() >= 1 && CurrentPresetListed()) {
        model.RemovePreset();
        LoadPresetIntoWindow(model.PresetName());
        CheckStore();
    }
}

std::string DirectoryOfPath(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    std::string folder = separator == std::string::npos ? path : path.substr(0, separator + 1);
    std::printf("opening %s\n", folder.c_str());
    std::fflush(stdout);
    return folder;
}

void MainWindow::openOutputFolder() {
    const std::string folder = DirectoryOfPath(model.Output().Path().toUtf8().toStdString());
    opener(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

void MainWindow::openWebsite() { opener(QUrl(kHomePage)); }

void MainWindow::openTutorials() { opener(QUrl(kTutorialsPage)); }

void MainWindow::openSupport() { opener(QUrl(kSupportPage)); }

void MainWindow::openTutorialURL() {
    if (QObject* action = sender()) opener(QUrl(action->property("URL").toString()));
}

// Each dialog is its own top-level window and deletes itself when closed.
void MainWindow::showAbout() { ShowModal(new AboutDialog); }

void MainWindow::showLegal() { ShowModal(new LegalWindow); }

void MainWindow::showEULA() { ShowModal(new EULAWindow); }

void MainWindow::mayaInstall() {
    ShowShelfInstall(this, InstallShelfForMayaVersions(MayaPreferencesBase(), ShelfQuestionBox(this)));
}

void MainWindow::mayaInstallCustom() { ShowShelfInstall(this, InstallShelfInChosenFolder(ShelfFolderDialog(this))); }

}  // namespace Pallix::Bake
