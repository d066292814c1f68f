#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace Pallix::Bake {

// The Maya shelf "Kelvor": four buttons that run KelvorCmd in a script mode and evaluate the MEL
// it prints (high poly, envelope, low poly, MEL commands).

// One shelfButton command; command is already escaped for the MEL string it goes into.
QString ShelfButtonText(const QString& overlay, const QString& label, const QString& command);

// A button's MEL command, escaped for the shelf file: Maya's system() runs the program at
// programPath with the mode argument, and the MEL it prints is evaluated.
QString ShelfButtonCommand(const QString& programPath, const QString& modeArgument);

// The whole shelf file for the program at programPath.
QString ShelfFileText(const QString& programPath);

// KelvorCmd beside this program.
QString ShelfProgramPath();

// Writes the shelf for ShelfProgramPath() as UTF-8, replacing the file; false when it cannot be
// written, with the reason in error when given. No folder is created.
bool WriteShelfFile(const QString& filePath, QString* error = nullptr);

// What an install did: the shelf files written, and each folder that failed with its reason.
struct ShelfInstall {
    QStringList written;
    QStringList failed;
};

// What the user is told about an install; empty when nothing was tried.
QString ShelfInstallReport(const ShelfInstall& install);
// Shows the report in a box (a warning when something failed); nothing when it is empty.
void ShowShelfInstall(QWidget* parent, const ShelfInstall& install);

// Asks a yes-or-no question; true for yes.
using ShelfQuestion = std::function<bool(const QString& title, const QString& text)>;
// Asks for a folder; an empty text when the user cancels.
using ShelfFolderChooser = std::function<QString(const QString& caption)>;

// The question box and folder dialog the window's menu actions use.
ShelfQuestion ShelfQuestionBox(QWidget* parent);
ShelfFolderChooser ShelfFolderDialog(QWidget* parent);

// The folder holding Maya's per-version folders: $MAYA_APP_DIR/ when set, else ~/maya/.
QString MayaPreferencesBase();

// For every Maya version folder under base (2010 to 2019, each plain and "-x64"), asks whether
// to install and writes prefs/shelves/shelf_Kelvor.mel there on yes, creating the shelves folder
// when it is missing. Without any version folder, base is the failed folder.
ShelfInstall InstallShelfForMayaVersions(const QString& base, const ShelfQuestion& ask);

// Writes shelf_Kelvor.mel into the folder the user chooses; nothing is tried when cancelled.
ShelfInstall InstallShelfInChosenFolder(const ShelfFolderChooser& choose);

}  // namespace Pallix::Bake
