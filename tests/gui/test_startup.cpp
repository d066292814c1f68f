#include "gui/guitest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <string>

#include "eulawindow.h"
#include "settingsstore.h"
#include "startup.h"

using namespace Pallix::Bake;

namespace {

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

// Whether shot holds every opaque pixel of the shipped image at one place: it was drawn there.
bool Shows(const QImage& shot, const QString& image) {
    const QImage s = shot.convertToFormat(QImage::Format_ARGB32);
    const QImage p = QImage(KelvorTest::ProgramFolder() + "/Resources/" + image).convertToFormat(QImage::Format_ARGB32);
    if (p.isNull()) return false;
    for (int y0 = 0; y0 + p.height() <= s.height(); ++y0) {
        for (int x0 = 0; x0 + p.width() <= s.width(); ++x0) {
            bool same = true;
            for (int y = 0; same && y < p.height(); ++y)
                for (int x = 0; same && x < p.width(); ++x)
                    if (qAlpha(p.pixel(x, y)) == 255) same = p.pixel(x, y) == s.pixel(x0 + x, y0 + y);
            if (same) return true;
        }
    }
    return false;
}

int LinesStartingWith(const std::string& text, const std::string& start) {
    int count = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        count += text.compare(at, start.size(), start) == 0 ? 1 : 0;
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return count;
}

// What the main window of the program looked like once it was on screen.
struct WindowLook {
    QSize size;
    QSize sizeHint;
    QString processors;
    bool logoDrawn = false;
    bool checkBoxDrawn = false;
};

class Startup : public KelvorTest::GuiStoreTest {
protected:
    void SetUp() override {
        GuiStoreTest::SetUp();
        previousFolder = QDir::currentPath();
        // Started from somewhere else than the program's folder.
        QDir::setCurrent(QDir::tempPath());
    }
    void TearDown() override {
        QDir::setCurrent(previousFolder);
        GuiStoreTest::TearDown();
    }

    // A program folder of its own, with or without the built Resources/ copied in.
    QString ProgramFolder(bool withResources) {
        const QString folder = programRoot.path() + "/Kelvor program";
        QDir().mkpath(folder + "/Resources");
        const QString built = KelvorTest::ProgramFolder() + "/Resources/";
        if (withResources)
            for (const QString& name : QDir(built).entryList(QDir::Files))
                QFile::copy(built + name, folder + "/Resources/" + name);
        return folder;
    }

    // Runs start-up as the program does, with the real main window, which quits the event
    // loop once it has been on screen; the captured standard output goes to output.
    int Run(const QString& folder) {
        KelvorTest::WindowResponder<MainWindow> onScreen([this](MainWindow* window) {
            KelvorTest::WaitFor([] { return false; }, 50);
            look.size = window->size();
            look.sizeHint = window->sizeHint();
            look.processors = KelvorTest::Find<QComboBox>(*window, "processorsBox").currentText();
            look.logoDrawn = Shows(KelvorTest::Find<QLabel>(*window, "titleLabel").grab().toImage(),
                                   "logo.png");
            look.checkBoxDrawn = Shows(KelvorTest::Find<QCheckBox>(*window, "trace0_enabled").grab().toImage(),
                                       "checkbox_checked.png");
            QCoreApplication::quit();
        });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(20000);
        testing::internal::CaptureStdout();
        const int status = RunProgram(folder, [this](EventReporter& reporter, SettingsStore& store) {
            ++builds;
            gateAtBuild = HasGate();
            settingsAtBuild = FileBytes();
            folderAtBuild = QDir::currentPath();
            auto window = std::make_unique<MainWindow>(&reporter, &store);
            built = window.get();
            return window;
        });
        output = testing::internal::GetCapturedStdout();
        return status;
    }

    QTemporaryDir programRoot;
    QString previousFolder;
    std::string output;
    int builds = 0;
    QByteArray settingsAtBuild;
    QString folderAtBuild;
    bool gateAtBuild = false;
    QPointer<QWidget> built;
    WindowLook look;
};

}  // namespace

TEST_F(Startup, FirstStartShowsOnlyTheGateAcceptOpensTheWindowAndTheNextStartSkipsTheGate) {
    const QString folder = ProgramFolder(true);
    bool gateSeen = false;
    KelvorTest::WindowResponder<EULAWindow> answer([&](EULAWindow* gate) {
        gateSeen = true;
        EXPECT_EQ(builds, 0);
        EXPECT_EQ(KelvorTest::VisibleWindows(), QWidgetList{gate});
        EXPECT_EQ(StoredKeys(), QStringList{"logid"});
        ClickButton(gate, "Accept");
    });
    EXPECT_EQ(Run(folder), 0);

    EXPECT_TRUE(gateSeen);
    EXPECT_EQ(builds, 1);
    EXPECT_TRUE(settingsAtBuild.contains("licenseAgreed=1"));
    EXPECT_EQ(folderAtBuild, folder);
    EXPECT_TRUE(built.isNull()) << "the main window outlives start-up";
    EXPECT_FALSE(HasGate());
    EXPECT_EQ(LinesStartingWith(output, "Image not found "), 0) << output;

    // The style sheet's minimum width wins over the window's own 600.
    EXPECT_EQ(look.size, QSize(875, 850));
    EXPECT_EQ(look.sizeHint, QSize(600, 850));
    const int threads = ProcessorCount();
    EXPECT_EQ(look.processors, QString("%1 of %1").arg(threads));
    EXPECT_TRUE(look.logoDrawn);
    EXPECT_TRUE(look.checkBoxDrawn);

    const QStringList expected = KelvorTest::AgreedFirstStartKeys();
    EXPECT_EQ(StoredKeys(), expected);
    EXPECT_EQ(Ini("General", "licenseAgreed"), "1");
    EXPECT_EQ(Ini("General", "preset"), "");
    EXPECT_EQ(Ini("General", "numbakes"), "1");
    EXPECT_EQ(Ini("General", "traceMeshes"), "1");
    const QString logid = Ini("General", "logid");
    EXPECT_FALSE(logid.isEmpty());

    builds = 0;
    look = WindowLook();
    EXPECT_EQ(Run(folder), 0);
    EXPECT_EQ(answer.Handled(), 1) << "the gate came back";
    EXPECT_EQ(builds, 1);
    EXPECT_EQ(look.size, QSize(875, 850));
    EXPECT_EQ(StoredKeys(), expected);
    EXPECT_EQ(Ini("General", "logid"), logid);
}

TEST_F(Startup, AnyAgreedValueOpensTheWindowDirectly) {
    {
        QSettings settings("Tamsel", "Kelvor");
        settings.setValue("licenseAgreed", 7);
        settings.setValue("logid", "12345");
    }
    EXPECT_EQ(Run(ProgramFolder(true)), 0);
    EXPECT_EQ(builds, 1);
    EXPECT_FALSE(gateAtBuild);
    EXPECT_EQ(Ini("General", "logid"), "12345");
    EXPECT_EQ(Ini("General", "licenseAgreed"), "7");
}

TEST_F(Startup, RejectQuitsWithoutAWindowAndAMissingSplashIsOneLine) {
    const QString folder = ProgramFolder(false);
    KelvorTest::WindowResponder<EULAWindow> answer([](EULAWindow* gate) { ClickButton(gate, "Reject"); });
    EXPECT_EQ(Run(folder), 0);
    EXPECT_EQ(answer.Handled(), 1);
    EXPECT_EQ(builds, 0);
    EXPECT_FALSE(HasGate());
    EXPECT_EQ(StoredKeys(), QStringList{"logid"});
    EXPECT_EQ(output, ("Image not found " + folder + "/Resources/splash.png\n").toStdString());
}
