#include "guitest.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>

#include "startup.h"
#include "stylesheet.h"

namespace GuiTest {

QString ProgramFolder() { return QStringLiteral(KELVOR_PROGRAM_DIR); }

QString SettingsFileText() {
    QFile file(QSettings("Tamsel", "Kelvor").fileName());
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

void ClearSettings() {
    QSettings settings("Tamsel", "Kelvor");
    settings.clear();
    settings.sync();
}

bool WaitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

QWidgetList VisibleWindows() {
    QWidgetList visible;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible()) visible << widget;
    return visible;
}

void DeleteTopLevelWidgets() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<QPointer<QWidget>> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) windows << widget;
    for (const QPointer<QWidget>& window : windows) delete window.data();
}

}  // namespace GuiTest

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt reads the configuration folder once per process, so it is set before any store exists.
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toUtf8().constData(), 1);

    Pallix::Bake::SetProgramStyle();
    QApplication application(argc, argv);
    // A test closing its last window must not end a later test's event loop.
    application.setQuitOnLastWindowClosed(false);
    QDir::setCurrent(GuiTest::ProgramFolder());
    application.setStyleSheet(Pallix::Bake::ApplicationStyleSheet());
    return RUN_ALL_TESTS();
}
