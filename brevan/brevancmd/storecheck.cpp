#include "storecheck.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStorageInfo>

#include "settingsstore.h"

namespace Pallix::Bake {

namespace {

// Kept on the store itself: start-up opens one store a run, and the agreement gate and the main
// window both write to it.
constexpr char kWarnedProperty[] = "kelvorWriteFailureShown";

}  // namespace

QString StoreWriteProblem(const QString& fileName) {
    const QFileInfo file(fileName);
    // The nearest folder on the way to the file that exists: the settings library makes the others.
    QFileInfo folder(file.absolutePath());
    while (!folder.exists() && !folder.isRoot()) folder = QFileInfo(folder.absolutePath());
    if (!folder.isDir()) return folder.absoluteFilePath() + " is a file, not a folder";
    if (file.exists() && !file.isWritable()) return "the file is read-only";
    if (!folder.isWritable()) return "the folder " + folder.absoluteFilePath() + " is read-only";
    const QStorageInfo disk(folder.absoluteFilePath());
    if (disk.isValid() && disk.isReadOnly()) return "its disk is mounted read-only";
    if (disk.isValid() && disk.bytesAvailable() == 0) return "the disk is full";
    return "the file could not be written";
}

bool CheckStoreWritten(SettingsStore& store, QWidget* parent) {
    QSettings& settings = store.settings;
    if (settings.status() != QSettings::AccessError) return true;
    if (settings.property(kWarnedProperty).toBool()) return false;
    settings.setProperty(kWarnedProperty, true);
    const QString file = QDir::toNativeSeparators(settings.fileName());
    QMessageBox::warning(parent, "Settings not saved",
                         "Kelvor cannot write its settings file\n" + file + "\n(" + StoreWriteProblem(file) +
                             ").\n\nChanges to presets, settings and options will not be kept after Kelvor closes.");
    return false;
}

}  // namespace Pallix::Bake
