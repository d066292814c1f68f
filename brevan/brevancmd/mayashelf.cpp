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

bool WriteShelfFile(const QString& filePath) {
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = ShelfFileText(ShelfProgramPath()).toUtf8();
    const bool written = file.write(bytes) == bytes.size();
    return file.flush() && written;
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

QStringList InstallShelfForMayaVersions(const QString& base, const ShelfQuestion& ask) {
    QStringList written;
    for (int year = 2010; year <= 2019; ++year) {
        for (const char* suffix : {"", "-x64"}) {
            const QString folder = base + QString::number(year) + QString::fromUtf8(suffix);
            if (!QFileInfo(folder).isDir()) continue;
            if (!ask(QStringLiteral("Maya Shelf Install"),
                     QStringLiteral("Do you want to install shelf for Maya ") + QString::number(year)))
                continue;
            const QString shelf = folder + QStringLiteral("/prefs/shelves/shelf_Kelvor.mel");
            if (WriteShelfFile(shelf)) written << shelf;
        }
    }
    return written;
}

bool InstallShelfInChosenFolder(const ShelfFolderChooser& choose) {
    const QString folder = choose(QCoreApplication::translate("MainWindow", "Select your shelf directory"));
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) return false;
    return WriteShelfFile(folder + QStringLiteral("/shelf_Kelvor.mel"));
}

}  // namespace Pallix::Bake
