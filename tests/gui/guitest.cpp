#include "gui/guitest.h"

#include <QFile>
#include <QTextStream>

#include <cstdlib>

namespace KelvorTest {

namespace {

QStringList debugLines;

void RecordMessage(QtMsgType, const QMessageLogContext&, const QString& message) { debugLines.append(message); }

}  // namespace

void GuiStoreTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    setenv("XDG_CONFIG_HOME", folder.path().toUtf8().constData(), 1);
    // Qt reads the folder once per process; when several tests share one, point it anew.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    debugLines.clear();
    qInstallMessageHandler(RecordMessage);
}

void GuiStoreTest::TearDown() { qInstallMessageHandler(nullptr); }

QString GuiStoreTest::SettingsFile() const { return folder.path() + "/Tamsel/Kelvor.conf"; }

QByteArray GuiStoreTest::FileBytes() const {
    QFile file(SettingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString GuiStoreTest::Ini(const QString& section, const QString& key) const {
    QString text = QString::fromUtf8(FileBytes());
    QTextStream lines(&text);
    QString current;
    while (!lines.atEnd()) {
        const QString line = lines.readLine();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2);
        } else if (current == section && line.startsWith(key + "=")) {
            return line.mid(key.size() + 1);
        }
    }
    return QString();
}

QStringList GuiStoreTest::TakeDebugLines() {
    QStringList taken = debugLines;
    debugLines.clear();
    return taken;
}

void OpenCurrentPreset(Pallix::Bake::BakeModel::Preset& model) {
    const QString name = model.CurrentPresetName();
    QStringList names;
    model.PresetNames(names);
    if (names.contains(name)) {
        model.LoadPreset(name);
    } else {
        model.AddPreset(name);
    }
}

}  // namespace KelvorTest
