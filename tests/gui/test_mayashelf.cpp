#include "gui/guitest.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "mayashelf.h"

using namespace Pallix::Bake;

namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Reads the MEL string literal whose opening quote is at text[pos] the way Maya does, and
// moves pos past its closing quote.
std::string ReadMelString(const std::string& text, size_t& pos) {
    EXPECT_EQ(text.at(pos), '"');
    std::string value;
    for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
        EXPECT_NE(text[pos], '\n') << "raw line break inside a MEL string";
        if (text[pos] != '\\') {
            value += text[pos];
            continue;
        }
        const char escaped = text.at(++pos);
        value += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
    }
    EXPECT_LT(pos, text.size()) << "unterminated MEL string";
    ++pos;
    return value;
}

// The shell command a shelf button hands to Maya's system(), recovered through both MEL readings.
std::string ShellCommandOfButton(const QString& buttonText) {
    const std::string text = buttonText.toStdString();
    size_t pos = text.find("-command \"");
    EXPECT_NE(pos, std::string::npos);
    pos += std::string("-command ").size();
    const std::string buttonMel = ReadMelString(text, pos);
    EXPECT_EQ(text.substr(pos), " ;\n");

    const std::string head = "string $cmd = `system(";
    EXPECT_EQ(buttonMel.substr(0, head.size()), head);
    size_t inner = head.size();
    const std::string shellCommand = ReadMelString(buttonMel, inner);
    EXPECT_EQ(buttonMel.substr(inner), ")`; eval($cmd);");
    return shellCommand;
}

struct Button {
    const char* label;
    const char* overlay;
    const char* mode;
};
const Button kButtons[] = {
    {"High Poly", "High", "-highpoly"},
    {"Envelope", "Env", "-envelope"},
    {"Low Poly", "Low", "-lowpoly"},
    {"Kelvor Mel Commands", "KVMEL", "-declaremel"},
};

}  // namespace

TEST(MayaShelf, FileTextForAPathWithSpacesIsExact) {
    const std::string program = "/opt/Kelvor Tools/bin/KelvorCmd";
    const std::string text = ShelfFileText(QString::fromStdString(program)).toStdString();
    size_t at = 0;
    auto piece = [&](const std::string& expected) {
        ASSERT_EQ(text.substr(at, expected.size()), expected) << "at byte " << at;
        at += expected.size();
    };

    piece("global proc shelf_Kelvor () {\n");
    for (const Button& button : kButtons) {
        SCOPED_TRACE(button.label);
        piece("shelfButton -enableCommandRepeat 1 -enable 1 -width 34 -height 34 -manage 1 -visible 1 "
              "-preventOverride 0 -align \"center\" ");
        piece(std::string("-label \"") + button.label + "\" ");
        piece("-labelOffset 0 -font \"tinyBoldLabelFont\" ");
        piece(std::string("-imageOverlayLabel \"") + button.overlay + "\" ");
        piece("-image \"commandButton.xpm\" -image1 \"commandButton.xpm\" -style \"iconOnly\" -marginWidth 1 "
              "-marginHeight 1 -sourceType \"mel\" -actionIsSubstitute 0 -commandRepeatable 1 ");
        piece("-command \"string $cmd = `system(\\\"\\\\\\\"" + program + "\\\\\\\" " + button.mode +
              "\\\")`; eval($cmd);\" ");
        piece(";\n");
    }
    piece("\n}\n");
    EXPECT_EQ(at, text.size());
}

TEST(MayaShelf, HostileProgramFoldersStillRunTheProgram) {
    const QStringList folders = {
        "with \"double\" quotes",   "back\\slash\\\" mixed", "dollar $HOME $(touch pwned)", "back`touch pwned`tick",
        "single 'q' & semi; | pipe", "line\nbreak",          "ünïcode",                      "trailing backslash\\",
    };
    for (const QString& name : folders) {
        SCOPED_TRACE(name.toStdString());
        QTemporaryDir root;
        const QString folder = root.path() + "/" + name;
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString program = folder + "/KelvorCmd";
        WriteFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$KELVOR_ARGS\"\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const QString command = ShelfButtonCommand(program, "-highpoly");
        const std::string shell = ShellCommandOfButton(ShelfButtonText("High", "High Poly", command));

        QProcess sh;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KELVOR_ARGS", root.path() + "/args.txt");
        sh.setProcessEnvironment(environment);
        sh.setWorkingDirectory(root.path());
        sh.start("/bin/sh", {"-c", QString::fromStdString(shell)});
        ASSERT_TRUE(sh.waitForFinished(10000));
        EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
        EXPECT_EQ(KelvorTest::ReadFile(root.path() + "/args.txt").toStdString(), (program + "\n-highpoly\n").toStdString());
        EXPECT_FALSE(QFileInfo::exists(root.path() + "/pwned"));
    }
}

TEST(MayaShelf, WriteShelfFileReplacesTheWholeFileAndCreatesNoFolder) {
    QTemporaryDir folder;
    const QString shelf = folder.path() + "/shelf_Kelvor.mel";
    WriteFile(shelf, QByteArray(100000, 'x'));
    ASSERT_TRUE(WriteShelfFile(shelf));
    const QByteArray written = KelvorTest::ReadFile(shelf);
    EXPECT_EQ(written, ShelfFileText(ShelfProgramPath()).toUtf8());
    EXPECT_TRUE(written.endsWith(";\n\n}\n"));
    EXPECT_TRUE(ShelfProgramPath().endsWith("/KelvorCmd"));

    EXPECT_FALSE(WriteShelfFile(folder.path() + "/prefs/shelves/shelf_Kelvor.mel"));
    EXPECT_FALSE(QFileInfo::exists(folder.path() + "/prefs"));
}

TEST(MayaShelf, PreferencesBaseIsMayaAppDirOrTheHomeMayaFolder) {
    QTemporaryDir home;
    KelvorTest::ScopedEnvironment homeVariable("HOME", home.path());
    {
        KelvorTest::ScopedEnvironment maya("MAYA_APP_DIR", std::nullopt);
        EXPECT_EQ(MayaPreferencesBase(), home.path() + "/maya/");
    }
    KelvorTest::ScopedEnvironment maya("MAYA_APP_DIR", QString("/srv/maya prefs"));
    EXPECT_EQ(MayaPreferencesBase(), "/srv/maya prefs/");
}

TEST(MayaShelf, ScanAsksPerVersionFolderInOrderAndWritesOnlyOnYes) {
    QTemporaryDir maya;
    for (const char* version : {"2016", "2017-x64", "2020", "2016-x86"})
        ASSERT_TRUE(QDir().mkpath(maya.path() + "/" + version + "/prefs/shelves"));
    WriteFile(maya.path() + "/2019", "not a folder");
    KelvorTest::ScopedEnvironment mayaVariable("MAYA_APP_DIR", maya.path());

    std::vector<std::pair<QString, QString>> questions;
    const ShelfInstall install =
        InstallShelfForMayaVersions(MayaPreferencesBase(), [&](const QString& title, const QString& text) {
            questions.emplace_back(title, text);
            return questions.size() == 2;
        });

    const std::vector<std::pair<QString, QString>> expected = {
        {"Maya Shelf Install", "Do you want to install shelf for Maya 2016"},
        {"Maya Shelf Install", "Do you want to install shelf for Maya 2017"},
    };
    EXPECT_EQ(questions, expected);
    const QString wanted = maya.path() + "/2017-x64/prefs/shelves/shelf_Kelvor.mel";
    EXPECT_EQ(install.written, QStringList{wanted});
    EXPECT_EQ(install.failed, QStringList());
    EXPECT_EQ(KelvorTest::ReadFile(wanted), ShelfFileText(ShelfProgramPath()).toUtf8());
    EXPECT_FALSE(QFileInfo::exists(maya.path() + "/2016/prefs/shelves/shelf_Kelvor.mel"));
}

TEST(MayaShelf, AMissingShelvesFolderIsMadeAndEveryFolderThatFailsIsNamed) {
    QTemporaryDir maya;
    const QString base = maya.path() + "/";
    // 2016 was never started; 2017's shelf name is taken by a folder; 2018's shelves folder by a file.
    ASSERT_TRUE(QDir().mkpath(base + "2016"));
    ASSERT_TRUE(QDir().mkpath(base + "2017/prefs/shelves/shelf_Kelvor.mel"));
    ASSERT_TRUE(QDir().mkpath(base + "2018/prefs"));
    WriteFile(base + "2018/prefs/shelves", "not a folder");
    const ShelfInstall install = InstallShelfForMayaVersions(base, [](const QString&, const QString&) { return true; });

    EXPECT_EQ(install.written, QStringList{base + "2016/prefs/shelves/shelf_Kelvor.mel"});
    EXPECT_EQ(KelvorTest::ReadFile(base + "2016/prefs/shelves/shelf_Kelvor.mel"), ShelfFileText(ShelfProgramPath()).toUtf8());
    ASSERT_EQ(install.failed.size(), 2);
    EXPECT_TRUE(install.failed[0].startsWith(base + "2017/prefs/shelves (")) << install.failed[0].toStdString();
    EXPECT_EQ(install.failed[1], base + "2018/prefs/shelves (the folder could not be created)");
    EXPECT_EQ(ShelfInstallReport(install), "The shelf was written to:\n" + install.written[0] +
                                               "\n\nThe shelf could not be written to:\n" + install.failed.join('\n'));

    // Without any version folder the base folder is named, and nothing is asked.
    QTemporaryDir empty;
    bool asked = false;
    const ShelfInstall none = InstallShelfForMayaVersions(empty.path() + "/", [&](const QString&, const QString&) {
        asked = true;
        return true;
    });
    EXPECT_FALSE(asked);
    EXPECT_EQ(ShelfInstallReport(none), "The shelf could not be written to:\n" + empty.path() +
                                            "/ (no Maya 2010 to 2019 folder in it)");
}

TEST(MayaShelf, ManualInstallWritesIntoTheChosenFolderAndNothingWhenCancelled) {
    QTemporaryDir chosen;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(chosen.path());
    QString caption;
    const ShelfInstall cancelled = InstallShelfInChosenFolder([&](const QString& asked) {
        caption = asked;
        return QString();
    });
    QDir::setCurrent(previous);
    EXPECT_EQ(ShelfInstallReport(cancelled), "");
    EXPECT_EQ(caption, "Select your shelf directory");
    EXPECT_TRUE(QDir(chosen.path()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists("/shelf_Kelvor.mel"));

    const ShelfInstall install = InstallShelfInChosenFolder([&](const QString&) { return chosen.path(); });
    EXPECT_EQ(ShelfInstallReport(install), "The shelf was written to:\n" + chosen.path() + "/shelf_Kelvor.mel");
    EXPECT_EQ(KelvorTest::ReadFile(chosen.path() + "/shelf_Kelvor.mel"), ShelfFileText(ShelfProgramPath()).toUtf8());

    // A folder the file cannot be written into is named with the reason.
    ASSERT_TRUE(QFile::remove(chosen.path() + "/shelf_Kelvor.mel"));
    ASSERT_TRUE(QDir().mkpath(chosen.path() + "/shelf_Kelvor.mel"));
    const ShelfInstall failed = InstallShelfInChosenFolder([&](const QString&) { return chosen.path(); });
    EXPECT_EQ(failed.written, QStringList());
    ASSERT_EQ(failed.failed.size(), 1);
    EXPECT_TRUE(failed.failed[0].startsWith(chosen.path() + " (")) << failed.failed[0].toStdString();
    EXPECT_GT(failed.failed[0].size(), chosen.path().size() + 3);
}

TEST(MayaShelf, QuestionBoxOffersYesAndNo) {
    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        KelvorTest::WindowResponder<QMessageBox> respond([answer](QMessageBox* box) {
            EXPECT_EQ(box->windowTitle(), "Maya Shelf Install");
            EXPECT_EQ(box->text(), "Do you want to install shelf for Maya 2016");
            EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            box->button(answer)->click();
        });
        const bool yes = ShelfQuestionBox(nullptr)("Maya Shelf Install", "Do you want to install shelf for Maya 2016");
        EXPECT_EQ(respond.Handled(), 1);
        EXPECT_EQ(yes, answer == QMessageBox::Yes);
    }
}
