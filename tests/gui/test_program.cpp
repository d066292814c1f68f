#include "gui/guitest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

using KelvorTest::GuiStoreTest;

namespace {

// The built Kelvor as a user starts it: from another folder, offscreen, with this test's store.
// It waits for an answer or a user, so the test ends it once it has seen what it came for.
class Program : public GuiStoreTest {
protected:
    void TearDown() override {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
        GuiStoreTest::TearDown();
    }

    void Start(const QString& program) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", folder.path());
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(elsewhere.path());
        process.start(program, QStringList());
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    // Waits until the store holds key, then a little longer for what start-up writes after it;
    // false when the program ends or the time runs out first.
    bool WaitForKey(const QString& key) {
        const bool seen = KelvorTest::WaitFor(
            [&] { return StoredKeys().contains(key) || process.state() == QProcess::NotRunning; }, 60000);
        KelvorTest::WaitFor([] { return false; }, 500);
        return seen && process.state() == QProcess::Running;
    }

    QString Output() { return QString::fromUtf8(process.readAllStandardOutput()); }

    QTemporaryDir elsewhere;
    QProcess process;
};

}  // namespace

TEST_F(Program, TheProgramFolderHoldsBothProgramsAndTheImages) {
    const QString bin = KelvorTest::ProgramFolder() + "/";
    EXPECT_TRUE(QFileInfo(bin + "Kelvor").isExecutable());
    EXPECT_TRUE(QFileInfo(bin + "KelvorCmd").isExecutable());
    for (const char* image : {"splash.png", "appicon.png", "logo.png", "checkbox_unchecked.png", "checkbox_checked.png"})
        EXPECT_TRUE(QFileInfo(bin + "Resources/" + image).isFile()) << image;
}

TEST_F(Program, AFreshStoreStopsAtTheAgreementWithOnlyTheInstallationId) {
    Start(KelvorTest::ProgramFolder() + "/Kelvor");
    ASSERT_TRUE(WaitForKey("logid")) << "the program ended at the agreement";
    EXPECT_EQ(StoredKeys(), QStringList{"logid"});
    EXPECT_EQ(Output(), "");
}

TEST_F(Program, AnAgreedStartWithoutTheSplashPrintsOneLineAndWritesOnlyTheDefaults) {
    // A copy of the program folder, in a folder with a space, without the splash image.
    QTemporaryDir root;
    const QString copy = root.path() + "/Kelvor program";
    ASSERT_TRUE(QDir().mkpath(copy + "/Resources"));
    const QString built = KelvorTest::ProgramFolder();
    for (const char* name : {"Kelvor", "KelvorCmd"}) ASSERT_TRUE(QFile::copy(built + "/" + name, copy + "/" + name));
    for (const QString& name : QDir(built + "/Resources").entryList(QDir::Files))
        if (name != "splash.png") {
            ASSERT_TRUE(QFile::copy(built + "/Resources/" + name, copy + "/Resources/" + name));
        }
    {
        QSettings settings("Tamsel", "Kelvor");
        settings.setValue("licenseAgreed", 1);
    }

    Start(copy + "/Kelvor");
    ASSERT_TRUE(WaitForKey("preset")) << "the program ended before its window was up";
    const QStringList expected = KelvorTest::AgreedFirstStartKeys();
    EXPECT_EQ(StoredKeys(), expected);
    // The window icon loaded from the copy's folder, or it would have said "Can't find file".
    EXPECT_EQ(Output(), "Image not found " + copy + "/Resources/splash.png\n");
}
