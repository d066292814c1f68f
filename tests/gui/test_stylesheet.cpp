#include "gui/guitest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "stylesheet.h"

using namespace Pallix::Bake;

namespace {

QStringList captured;
void Capture(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (message.contains("stylesheet", Qt::CaseInsensitive)) captured << message;
}

}  // namespace

TEST(StyleSheet, ParsesAndStylesEveryKindOfWidget) {
    captured.clear();
    const QtMessageHandler previous = qInstallMessageHandler(Capture);
    {
        // A widget sheet is parsed when a widget is polished; the application's was parsed at start.
        QMainWindow window;
        auto* frame = new QFrame;
        frame->setProperty("headingframe", true);
        auto* layout = new QVBoxLayout(frame);
        layout->addWidget(new QLabel("label"));
        layout->addWidget(new QLineEdit);
        layout->addWidget(new QComboBox);
        layout->addWidget(new QPushButton("button"));
        layout->addWidget(new QProgressBar);
        layout->addWidget(new QCheckBox("box"));
        window.setCentralWidget(frame);
        window.setStyleSheet(ApplicationStyleSheet());
        window.show();
        KelvorTest::WaitFor([] { return false; }, 50);
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(captured.isEmpty()) << captured.join('\n').toStdString();
}

TEST(StyleSheet, EveryImageItNamesShipsInTheProgramFolder) {
    const QRegularExpression url("url\\(([^)]*)\\)");
    QStringList names;
    for (auto match = url.globalMatch(ApplicationStyleSheet()); match.hasNext();) names << match.next().captured(1);
    EXPECT_EQ(names.size(), 4);
    const QString folder = KelvorTest::ProgramFolder() + "/";
    for (const QString& name : names) EXPECT_FALSE(QImage(folder + name).isNull()) << name.toStdString();

    EXPECT_TRUE(QFileInfo(folder + "KelvorCmd").isExecutable());
    EXPECT_EQ(QImage(folder + "Resources/logo.png").size(), QSize(245, 49));
    EXPECT_EQ(QImage(folder + "Resources/checkbox_unchecked.png").size(), QSize(25, 25));
    EXPECT_EQ(QImage(folder + "Resources/checkbox_checked.png").size(), QSize(25, 25));
    EXPECT_FALSE(QImage(folder + "Resources/splash.png").isNull());
    EXPECT_FALSE(QImage(folder + "Resources/appicon.png").isNull());
}
