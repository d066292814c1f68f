#include "mayashelf.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace Pallix::Bake {

namespace {

struct ShelfButton {
    const char* label;
    const char* overlay;
    const char* mode;
};

constexpr ShelfButton kShelfButtons[] = {
    {"High Poly", "High", "-highpoly"},
    {"Envelope", "Env", "-envelope"},
    {"Low Poly", "Low", "-lowpoly"},
    {"Kelvor Mel Commands", "KVMEL", "-declaremel"},
};

// Inside double quotes the shell still expands these four characters.
QString EscapeForShellDoubleQuotes(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\' || c == u'$' || c == u'`') out += u'\\';
        out += c;
    }
    return out;
}

// A MEL string literal ends at an unescaped quote and cannot hold a raw line break.
QString EscapeForMelLiteral(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\') out += QStringLiteral("\\\\");
        else if (c == u'"') out += QStringLiteral("\\\"");
        else if (c == u'\n') out += QStringLiteral("\\n");
        else if (c == u'\r') out += QStringLiteral("\\r");
        else out += c;
    }
    return out;
}

}  // namespace

QString ShelfButtonText(const QString& overlay, const QString& label, const QString& command) {
    return QStringLiteral("shelfButton -enableCommandRepeat 1 -enable 1 -width 34 -height 34 -manage 1 -visible 1 "
                          "-preventOverride 0 -align \"center\" ") +
           QStringLiteral("-label \"") + label + QStringLiteral("\" ") +
           QStringLiteral("-labelOffset 0 -font \"tinyBoldLabelFont\" ") +
           QStringLiteral("-imageOverlayLabel \"") + overlay + QStringLiteral("\" ") +
           QStringLiteral("-image \"commandButton.xpm\" -image1 \"commandButton.xpm\" -style \"iconOnly\" "
                          "-marginWidth 1 -marginHeight 1 -sourceType \"mel\" -actionIsSubstitute 0 "
                          "-commandRepeatable 1 ") +
           QStringLiteral("-command \"") + command + QStringLiteral("\" ") + QStringLiteral(";\n");
}

QString ShelfButtonCommand(const QString& programPath, const QString& modeArgument) {
    // Three readers in turn: Maya reading the shelf, MEL evaluating the button, then the shell.
    const QString shellCommand = u'"' + EscapeForShellDoubleQuotes(programPath) + QStringLiteral("\" ") + modeArgument;
    const QString buttonMel = QStringLiteral("string $cmd = `system(\"") + EscapeForMelLiteral(shellCommand) +
                              QStringLiteral("\")`; eval($cmd);");
    return EscapeForMelLiteral(buttonMel);
}

QString ShelfFileText(const QString& programPath) {
    QString text = QStringLiteral("global proc shelf_Kelvor () {\n");
    for (const ShelfButton& button : kShelfButtons)
        text += ShelfButtonText(QString::fromUtf8(button.overlay), QString::fromUtf8(button.label),
                                ShelfButtonCommand(programPath, QString::fromUtf8(button.mode)));
    text += QStringLiteral("\n}\n");
    return text;
}

QString ShelfProgramPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/KelvorCmd"); }

bool WriteShelfFile(const QString& filePath, QString* error) {
    QFile file(filePath);
    const QByteArray bytes = ShelfFileText(ShelfProgramPath()).toUtf8();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush())
        return true;
    if (error) *error = file.errorString();
    return false;
}

QString ShelfInstallReport(const ShelfInstall& install) {
    QStringList parts;
    if (!install.written.isEmpty()) parts << QStringLiteral("The shelf was written to:\n") + install.written.join(u'\n');
    if (!install.failed.isEmpty())
        parts << QStringLiteral("The shelf could not be written to:\n") + install.failed.join(u'\n');
    return parts.join(QStringLiteral("\n\n"));
}

void ShowShelfInstall(QWidget* parent, const ShelfInstall& install) {
    const QString report = ShelfInstallReport(install);
    if (report.isEmpty()) return;
    if (install.failed.isEmpty())
        QMessageBox::information(parent, QStringLiteral("Maya Shelf Install"), report);
    else
        QMessageBox::warning(parent, QStringLiteral("Maya Shelf Install"), report);
}

ShelfQuestion ShelfQuestionBox(QWidget* parent) {
    return [parent](const QString& title, const QString& text) {
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton) ==
               QMessageBox::Yes;
    };
}

ShelfFolderChooser ShelfFolderDialog(QWidget* parent) {
    return [parent](const QString& caption) {
        return QFileDialog::getExistingDirectory(parent, caption, QString(), QFileDialog::ShowDirsOnly);
    };
}

QString MayaPreferencesBase() {
    if (!qEnvironmentVariableIsEmpty("MAYA_APP_DIR")) return qEnvironmentVariable("MAYA_APP_DIR") + u'/';
    return QDir::homePath() + QStringLiteral("/maya/");
}

namespace {

void WriteShelfInto(const QString& folder, ShelfInstall& install) {
    QString error;
    const QString shelf = folder + QStringLiteral("/shelf_Kelvor.mel");
    if (WriteShelfFile(shelf, &error))
        install.written << shelf;
    else
        install.failed << folder + QStringLiteral(" (") + error + u')';
}

}  // namespace

ShelfInstall InstallShelfForMayaVersions(const QString& base, const ShelfQuestion& ask) {
    ShelfInstall install;
    bool found = false;
    for (int year = 2010; year <= 2019; ++year) {
        for (const char* suffix : {"", "-x64"}) {
            const QString folder = base + QString::number(year) + QString::fromUtf8(suffix);
            if (!QFileInfo(folder).isDir()) continue;
            found = true;
            if (!ask(QStringLiteral("Maya Shelf Install"),
                     QStringLiteral("Do you want to install shelf for Maya ") + QString::number(year)))
                continue;
            // A version Maya has not started yet has no shelves folder.
            const QString shelves = folder + QStringLiteral("/prefs/shelves");
            if (QDir().mkpath(shelves))
                WriteShelfInto(shelves, install);
            else
                install.failed << shelves + QStringLiteral(" (the folder could not be created)");
        }
    }
    if (!found) install.failed << base + QStringLiteral(" (no Maya 2010 to 2019 folder in it)");
    return install;
}

ShelfInstall InstallShelfInChosenFolder(const ShelfFolderChooser& choose) {
    ShelfInstall install;
    const QString folder = choose(QCoreApplication::translate("MainWindow", "Select your shelf directory"));
    if (folder.isEmpty()) return install;
    if (QFileInfo(folder).isDir())
        WriteShelfInto(folder, install);
    else
        install.failed << folder + QStringLiteral(" (not a folder)");
    return install;
}

}  // namespace Pallix::Bake
