#include "gui/guitest.h"

#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>

#include "aboutdialog.h"
#include "eulawindow.h"
#include "events/eventreporter.h"
#include "legalwindow.h"
#include "settingsstore.h"

using namespace Pallix::Bake;

namespace {

using Dialogs = KelvorTest::GuiStoreTest;

// The widgets of a dialog's layout, top to bottom.
QList<QWidget*> LayoutWidgets(QDialog* dialog) {
    QList<QWidget*> widgets;
    for (int i = 0; i < dialog->layout()->count(); ++i)
        if (QWidget* widget = dialog->layout()->itemAt(i)->widget()) widgets << widget;
    return widgets;
}

QStringList ButtonTexts(QDialog* dialog) {
    QStringList texts;
    for (QWidget* widget : LayoutWidgets(dialog))
        if (auto* button = qobject_cast<QPushButton*>(widget)) texts << button->text();
    return texts;
}

}  // namespace

TEST_F(Dialogs, AboutDialogShowsNameVersionAndTwoButtons) {
    auto* about = new AboutDialog;
    about->show();
    EXPECT_EQ(about->objectName(), "aboutDialog");
    EXPECT_EQ(about->windowTitle(), "About Kelvor");
    EXPECT_EQ(about->size(), QSize(400, 200));

    const QList<QWidget*> widgets = LayoutWidgets(about);
    ASSERT_EQ(widgets.size(), 4);
    EXPECT_EQ(widgets[0]->objectName(), "logoLabel");
    EXPECT_TRUE(qobject_cast<QLabel*>(widgets[0])->text().isEmpty());
    EXPECT_EQ(widgets[1]->objectName(), "copyrightLabel");
    const QStringList lines = qobject_cast<QLabel*>(widgets[1])->text().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "Kelvor 1.5.0");
    EXPECT_FALSE(lines[1].isEmpty());
    EXPECT_EQ(widgets[2]->objectName(), "acknowledgebutton");
    EXPECT_EQ(widgets[3]->objectName(), "licenseAgreementButton");
    EXPECT_EQ(ButtonTexts(about), (QStringList{"Acknowledgments", "License Agreement"}));
}

TEST_F(Dialogs, AnAboutButtonLeavesOnlyTheDialogItOpened) {
    for (const char* buttonName : {"acknowledgebutton", "licenseAgreementButton"}) {
        SCOPED_TRACE(buttonName);
        QPointer<AboutDialog> about = new AboutDialog;
        about->setModal(true);
        about->show();
        about->findChild<QPushButton*>(buttonName)->click();
        ASSERT_TRUE(KelvorTest::WaitFor([&] { return about.isNull(); }));

        const QWidgetList windows = KelvorTest::VisibleWindows();
        ASSERT_EQ(windows.size(), 1);
        if (QString(buttonName) == "acknowledgebutton") {
            EXPECT_NE(qobject_cast<LegalWindow*>(windows[0]), nullptr);
        } else {
            ASSERT_NE(qobject_cast<EULAWindow*>(windows[0]), nullptr);
            EXPECT_TRUE(ButtonTexts(qobject_cast<EULAWindow*>(windows[0])).isEmpty());
        }
        EXPECT_FALSE(windows[0]->isModal());
        KelvorTest::DeleteTopLevelWidgets();
    }
}

TEST_F(Dialogs, ReadOnlyAgreementHasOnlyTheTextAndWritesNothing) {
    QPointer<EULAWindow> viewer = new EULAWindow;
    viewer->show();
    EXPECT_EQ(viewer->objectName(), "EULAWindow");
    EXPECT_EQ(viewer->windowTitle(), "License Agreement");
    EXPECT_EQ(viewer->width(), 600);
    EXPECT_GE(viewer->height(), 400);

    const QList<QWidget*> widgets = LayoutWidgets(viewer);
    ASSERT_EQ(widgets.size(), 1);
    auto* text = qobject_cast<QTextEdit*>(widgets[0]);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->toPlainText(), AgreementText());
    EXPECT_TRUE(AgreementText().contains("Kelvor"));
    EXPECT_TRUE(viewer->findChildren<QPushButton*>().isEmpty());
    EXPECT_TRUE(viewer->findChildren<QLabel*>().isEmpty());

    viewer->close();
    ASSERT_TRUE(KelvorTest::WaitFor([&] { return viewer.isNull(); }));
    EXPECT_TRUE(FileBytes().isEmpty());
}

TEST_F(Dialogs, GateAcceptStoresTheAgreementBeforeHandingOver) {
    SettingsStore store;
    EventReporter reporter("1");
    QPointer<EULAWindow> gate = new EULAWindow(&store, &reporter, true);
    gate->show();
    const QList<QWidget*> widgets = LayoutWidgets(gate);
    ASSERT_EQ(widgets.size(), 4);
    EXPECT_EQ(qobject_cast<QTextEdit*>(widgets[0])->toPlainText(), AgreementText());
    auto* consent = qobject_cast<QLabel*>(widgets[1]);
    ASSERT_NE(consent, nullptr);
    EXPECT_EQ(consent->text(),
              "By clicking the accept button below you agree to all the terms specified in the agreement above");
    EXPECT_TRUE(consent->wordWrap());
    EXPECT_EQ(ButtonTexts(gate), (QStringList{"Accept", "Reject"}));

    int handovers = 0;
    QObject::connect(gate, &EULAWindow::licenseAccepted, [&](EventReporter* r, SettingsStore* s) {
        ++handovers;
        EXPECT_EQ(r, &reporter);
        EXPECT_EQ(s, &store);
        EXPECT_TRUE(FileBytes().contains("licenseAgreed=1"));
    });
    qobject_cast<QPushButton*>(widgets[2])->click();
    EXPECT_EQ(handovers, 1);
    EXPECT_TRUE(KelvorTest::WaitFor([&] { return gate.isNull(); }));
}

TEST_F(Dialogs, LegalWindowListsTheLinkedLibrariesNotices) {
    auto* legal = new LegalWindow;
    legal->show();
    EXPECT_EQ(legal->objectName(), "LegalWindow");
    EXPECT_EQ(legal->windowTitle(), "Legal Acknowldegements");
    EXPECT_EQ(legal->width(), 600);
    EXPECT_GE(legal->height(), 400);
    auto* text = legal->findChild<QTextEdit*>();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());

    const QString notices = text->toPlainText();
    EXPECT_EQ(notices, LegalNoticeText());
    const QString intro =
        "Portions of this software may utilize the following copyrighted material, the use of which is hereby "
        "acknowledged.\n\n";
    ASSERT_TRUE(notices.startsWith(intro));

    // Each notice: its title line, a blank line, the published text (which names its authors'
    // copyright), then blank lines before the next title.
    const QStringList titles = {"libepoxy", "libglvnd (EGL)", "The Qt Toolkit", "LibTIFF", "TCLAP",
                                "OpenEXR",  "Imath",          "libpng",         "zlib",    "libcurl"};
    int at = intro.size();
    for (int i = 0; i < titles.size(); ++i) {
        SCOPED_TRACE(titles[i].toStdString());
        ASSERT_EQ(notices.mid(at, titles[i].size() + 2), titles[i] + "\n\n");
        const int end = i + 1 < titles.size() ? notices.indexOf("\n\n\n" + titles[i + 1] + "\n\n", at) : notices.size() - 3;
        ASSERT_GT(end, at);
        const QString body = notices.mid(at + titles[i].size() + 2, end - at - titles[i].size() - 2);
        EXPECT_TRUE(body.contains("Copyright", Qt::CaseInsensitive));
        EXPECT_GT(body.size(), 500);
        at = end + 3;
    }
    EXPECT_TRUE(notices.endsWith("\n\n\n"));
    for (const char* unused : {"GLEW", "FBX", "Gason", "Embree"})
        EXPECT_FALSE(notices.contains(unused, Qt::CaseInsensitive)) << unused;
}
