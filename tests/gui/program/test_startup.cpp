#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <string>

#include "eulawindow.h"
#include "events/eventreporter.h"
#include "guitest.h"
#include "settingsstore.h"
#include "startup.h"
#include "stylesheet.h"

using namespace Pallix::Bake;

namespace {

// What start-up builds once the agreement holds; its destructor uses the reporter, as the real
// window's does when it reports "shutdown", so a reporter destroyed first shows under ASan.
class RecordingWindow : public QMainWindow {
public:
    explicit RecordingWindow(EventReporter& reporter) : reporter(reporter) {}
    ~RecordingWindow() override { reporter.Send(EventReporter::JsonString("event", "shutdown", true)); }

private:
    EventReporter& reporter;
};

bool HasGate() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<EULAWindow*>(widget)) return true;
    return false;
}

void ClickButton(QWidget* dialog, const QString& text) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text() == text) return button->click();
    ADD_FAILURE() << "no button " << text.toStdString();
}

class Startup : public testing::Test {
protected:
    void SetUp() override {
        GuiTest::ClearSettings();
        previousFolder = QDir::currentPath();
        // Started from somewhere else than the program's folder.
        QDir::setCurrent(QDir::tempPath());
    }
    void TearDown() override {
        QDir::setCurrent(previousFolder);
        GuiTest::DeleteTopLevelWidgets();
    }

    // A program folder of its own, with or without the built Resources/ copied in.
    QString ProgramFolder(bool withResources) {
        const QString folder = programRoot.path() + "/Kelvor program";
        QDir().mkpath(folder + "/Resources");
        if (withResources)
            for (const QString& name : QDir(GuiTest::ProgramFolder() + "/Resources").entryList(QDir::Files))
                QFile::copy(GuiTest::ProgramFolder() + "/Resources/" + name, folder + "/Resources/" + name);
        return folder;
    }

    // Runs start-up with a watchdog; the captured standard output goes to output.
    int Run(const QString& folder, const MainWindowFactory& factory) {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(20000);
        testing::internal::CaptureStdout();
        const int status = RunProgram(folder, factory);
        output = testing::internal::GetCapturedStdout();
        return status;
    }

    QTemporaryDir programRoot;
    QString previousFolder;
    std::string output;
};

}  // namespace

TEST_F(Startup, FirstStartShowsOnlyTheGateAndAcceptOpensTheWindow) {
    const QString folder = ProgramFolder(true);
    int builds = 0;
    bool gateSeen = false;
    QString settingsAtBuild;
    QString folderAtBuild;
    bool imagesLoadAtBuild = false;
    QPointer<QWidget> built;

    GuiTest::WhenShown<EULAWindow>([&](EULAWindow* gate) {
        gateSeen = true;
        EXPECT_EQ(builds, 0);
        EXPECT_EQ(GuiTest::VisibleWindows(), QWidgetList{gate});
        EXPECT_TRUE(GuiTest::SettingsFileText().contains("logid="));
        EXPECT_FALSE(GuiTest::SettingsFileText().contains("licenseAgreed"));
        ClickButton(gate, "Accept");
    });
    const int status = Run(folder, [&](EventReporter& reporter, SettingsStore&) {
        ++builds;
        settingsAtBuild = GuiTest::SettingsFileText();
        folderAtBuild = QDir::currentPath();
        imagesLoadAtBuild = !QPixmap("Resources/checkbox_checked.png").isNull();
        auto window = std::make_unique<RecordingWindow>(reporter);
        built = window.get();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return window;
    });

    EXPECT_EQ(status, 0);
    EXPECT_TRUE(gateSeen);
    EXPECT_EQ(builds, 1);
    EXPECT_TRUE(settingsAtBuild.contains("licenseAgreed=1"));
    EXPECT_EQ(folderAtBuild, folder);
    EXPECT_TRUE(imagesLoadAtBuild);
    EXPECT_TRUE(built.isNull()) << "the main window outlives start-up";
    EXPECT_FALSE(HasGate());
    EXPECT_EQ(output, "");

    QSettings settings("Tamsel", "Kelvor");
    EXPECT_EQ(settings.allKeys(), (QStringList{"licenseAgreed", "logid"}));
    EXPECT_FALSE(settings.value("logid").toString().isEmpty());
}

TEST_F(Startup, AnAgreedInstallationOpensTheWindowDirectly) {
    {
        QSettings settings("Tamsel", "Kelvor");
        settings.setValue("licenseAgreed", 7);
        settings.setValue("logid", "12345");
    }
    int builds = 0;
    bool gateAtBuild = true;
    const int status = Run(ProgramFolder(true), [&](EventReporter& reporter, SettingsStore&) {
        ++builds;
        gateAtBuild = HasGate();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return std::make_unique<RecordingWindow>(reporter);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(builds, 1);
    EXPECT_FALSE(gateAtBuild);
    EXPECT_EQ(QSettings("Tamsel", "Kelvor").value("logid").toString(), "12345");
}

TEST_F(Startup, RejectQuitsWithoutAWindowAndAMissingSplashIsOneLine) {
    const QString folder = ProgramFolder(false);
    GuiTest::WhenShown<EULAWindow>([](EULAWindow* gate) { ClickButton(gate, "Reject"); });
    int builds = 0;
    const int status = Run(folder, [&](EventReporter& reporter, SettingsStore&) {
        ++builds;
        return std::make_unique<RecordingWindow>(reporter);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(builds, 0);
    EXPECT_FALSE(HasGate());
    EXPECT_FALSE(GuiTest::SettingsFileText().contains("licenseAgreed"));
    EXPECT_EQ(output, ("Image not found " + folder + "/Resources/splash.png\n").toStdString());
}
