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
#include <QAbstractItemView>
#include <QRegularExpression>
#include <QTest>
#include <QVBoxLayout>

#include <cmath>
#include <map>

#include "stylesheet.h"

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiWindowTest;

namespace {

// Relative luminance and contrast ratio as the accessibility guidelines define them.
double Luminance(QRgb colour) {
    auto linear = [](int channel) {
        const double c = channel / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(colour)) + 0.7152 * linear(qGreen(colour)) + 0.0722 * linear(qBlue(colour));
}

double Contrast(QRgb a, QRgb b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of the text drawn inside area: its most common colour is the background, the
// colour that stands out most from it the text.
double TextContrast(const QImage& image, const QRect& area) {
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[image.pixel(x, y) | 0xFF000000u];
    QRgb background = 0;
    int most = 0;
    for (const auto& [colour, count] : counts)
        if (count > most) std::tie(background, most) = std::tie(colour, count);
    double best = 1.0;
    for (const auto& [colour, count] : counts) best = std::max(best, Contrast(colour, background));
    return best;
}

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

TEST_F(GuiWindowTest, ComboTextStandsOutFromItsBackgroundOpenOrClosed) {
    auto window = MakeWindow();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto& processors = Find<QComboBox>(*window, "processorsBox");
    // The text of the closed box, left of the arrow and inside the frame.
    const QImage closed = processors.grab().toImage();
    const QRect field(4, 4, closed.width() / 2, closed.height() - 8);
    EXPECT_GE(TextContrast(closed, field), 4.5);

    for (const char* name : {"processorsBox", "output_width", "map0_maptype"}) {
        SCOPED_TRACE(name);
        auto& box = Find<QComboBox>(*window, name);
        box.showPopup();
        QAbstractItemView* list = box.view();
        ASSERT_TRUE(QTest::qWaitForWindowActive(list->window()));
        // The current item, drawn highlighted, and another one.
        const QImage shown = list->viewport()->grab().toImage();
        for (const int item : {box.currentIndex(), box.currentIndex() == 0 ? 1 : 0}) {
            const QRect rect = list->visualRect(list->model()->index(item, 0)) & shown.rect();
            ASSERT_FALSE(rect.isEmpty());
            EXPECT_GE(TextContrast(shown, rect), 4.5) << "item " << item;
        }
        box.hidePopup();
    }
}

TEST_F(GuiWindowTest, ADisabledBakeButtonLooksDisabledYetStaysLegible) {
    auto window = MakeWindow();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto& button = Find<QPushButton>(*window, "bakeButton");
    // The text sits in the middle of the button, clear of its border.
    auto textContrast = [&] {
        const QImage shot = button.grab().toImage();
        return TextContrast(shot, shot.rect().adjusted(8, 8, -8, -8));
    };
    const double enabled = textContrast();
    button.setEnabled(false);
    const double disabled = textContrast();
    EXPECT_GE(enabled, 4.5);
    EXPECT_LT(disabled, enabled / 1.5);
    EXPECT_GE(disabled, 1.8);
}
