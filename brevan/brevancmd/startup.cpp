#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPointer>
#include <QSettings>
#include <QSplashScreen>
#include <QStyleFactory>
#include <QWidget>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "commandoptions.h"
#include "eulawindow.h"
#include "pallixbake.h"
#include "settingsstore.h"
#include "stylesheet.h"

namespace Pallix::Bake {

void SetProgramStyle() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

void ResetNumericLocale() { std::setlocale(LC_NUMERIC, "C"); }

void ShowSplash(const QString& path, QPixmap& pixmap) {
    if (!pixmap.load(path)) {
        std::printf("Image not found %s\n", path.toUtf8().constData());
        std::fflush(stdout);
        return;
    }
    QSplashScreen splash(pixmap);
    splash.show();
    splash.showMessage("Loading...", Qt::AlignLeft, Qt::black);
    QCoreApplication::processEvents();
}

bool LicenseAgreed(const QSettings& settings) { return settings.value("licenseAgreed", 0).toInt() != 0; }

int RunProgram(const QString& programFolder, const MainWindowFactory& makeMainWindow) {
    ResetNumericLocale();
    // The style sheet names its images relative to the program's folder.
    QDir::setCurrent(programFolder);
    qApp->setStyleSheet(ApplicationStyleSheet());

    const QString splashPath = programFolder + QStringLiteral("/Resources/splash.png");
    QPixmap splashPixmap;
    SettingsStore store;
    InitWinsock();
    int status = 0;
    {
        std::srand(unsigned(std::time(nullptr)));
        EventReporter reporter(GetInstallationId(store).toUtf8().toStdString());
        reporter.ReportBoot(kKelvorVersion);

        ShowSplash(splashPath, splashPixmap);

        std::unique_ptr<QWidget> mainWindow;
        QPointer<EULAWindow> gate;
        if (LicenseAgreed(store.settings)) {
            mainWindow = makeMainWindow(reporter, store);
            mainWindow->show();
        } else {
            gate = new EULAWindow(&store, &reporter, true);
            QObject::connect(gate, &EULAWindow::licenseAccepted, [&](EventReporter* r, SettingsStore* s) {
                mainWindow = makeMainWindow(*r, *s);
                mainWindow->show();
            });
            gate->show();
        }

        status = QApplication::exec();

        // The window's destructor waits for a running bake and reports "shutdown", so it goes
        // while the reporter and the store still exist.
        mainWindow.reset();
        delete gate;
    }
    CleanupWinsock();
    return status;
}

}  // namespace Pallix::Bake
