#include "gui/baketest.h"

#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include "eulawindow.h"
#include "settingsstore.h"

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::InputAnswer;
using KelvorTest::MessageBoxes;

namespace {

class GuiStoreWriteTest : public KelvorTest::GuiWindowTest {
protected:
    // Opens the store in a folder whose path runs through a regular file, which nobody can
    // write to, root included. Returns that file's path.
    QString BlockStore() {
        const QString blocker = folder.path() + "/blocker";
        QFile file(blocker);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        file.close();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, blocker);
        ReopenStore();
        return blocker;
    }

    static QString Warning(const QString& blocker) {
        return "Settings not saved: Kelvor cannot write its settings file\n" + blocker + "/Tamsel/Kelvor.conf\n(" +
               blocker + " is a file, not a folder).\n\nChanges to presets, settings and options will not be kept "
                         "after Kelvor closes.";
    }
};

}  // namespace

TEST_F(GuiStoreWriteTest, AStoreThatCannotBeWrittenIsReportedOnceARunWithItsFileAndReason) {
    {
        MessageBoxes boxes;
        auto window = MakeWindow();
        QCoreApplication::processEvents();
        Find<QLineEdit>(*window, "output_rounding").setText("2");
        EXPECT_EQ(boxes.shown, QStringList());
    }

    const QString blocker = BlockStore();
    // Start-up's first write, the installation id, has failed before any window exists.
    GetInstallationId(*store);
    ASSERT_EQ(store->settings.status(), QSettings::AccessError);
    std::unique_ptr<MainWindow> window;
    {
        MessageBoxes boxes;
        window = MakeWindow();
        // The box comes once the window is up, not from inside its construction.
        EXPECT_EQ(boxes.shown, QStringList());
        ASSERT_TRUE(KelvorTest::WaitFor([&] { return !boxes.shown.isEmpty(); }));
        EXPECT_EQ(boxes.shown, QStringList{Warning(blocker)});
    }

    // Later writes that fail as well show nothing more; the window goes on with what it holds.
    InputAnswer answer("hero");
    window->addPresetHandler();
    Find<QLineEdit>(*window, "output_rounding").setText("3");
    window->setCachingMemory();
    window->addBakeMap();
    EXPECT_EQ(answer.messages, QStringList());
    EXPECT_EQ(window->Model().PresetName(), "hero");
    EXPECT_EQ(window->Model().MapNodes().size(), 2u);
    EXPECT_FALSE(QFile::exists(blocker + "/Tamsel/Kelvor.conf"));
}

TEST_F(GuiStoreWriteTest, AnAgreementThatCannotBeStoredSaysSoAndTheWindowAfterItAddsNoSecondBox) {
    const QString blocker = BlockStore();
    MessageBoxes boxes;
    std::unique_ptr<MainWindow> window;
    QPointer<EULAWindow> gate = new EULAWindow(store.get(), &events.reporter, true);
    QObject::connect(gate, &EULAWindow::licenseAccepted, [&] {
        // The box came before the hand-over.
        EXPECT_EQ(boxes.shown, QStringList{Warning(blocker)});
        window = MakeWindow();
    });
    gate->show();
    QPushButton* accept = nullptr;
    for (QPushButton* button : gate->findChildren<QPushButton*>())
        if (button->text() == "Accept") accept = button;
    ASSERT_NE(accept, nullptr);
    accept->click();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(KelvorTest::WaitFor([&] { return gate.isNull(); }));
    EXPECT_EQ(boxes.shown, QStringList{Warning(blocker)});
}
