#include "gui/baketest.h"

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <thread>

#include "rendermapwidget.h"

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiBakeTest;

namespace {

// The parts of the progress page that must each have a place of their own.
const char* const kParts[] = {"headerFrame",   "renderMap",      "progressLabel", "progressBar",
                              "autocloserender_checkbox", "autoclose_label", "cancelButton",
                              "renderOpenFolderButton"};

// The rectangle of each part inside root, in root's coordinates, by name.
std::vector<std::pair<QString, QRect>> PartRects(QWidget& page, QWidget& root) {
    std::vector<std::pair<QString, QRect>> rects;
    for (const char* name : kParts) {
        auto& part = Find<QWidget>(page, name);
        EXPECT_TRUE(part.isVisible()) << name;
        if (!root.isAncestorOf(&part)) continue;
        rects.emplace_back(name, QRect(part.mapTo(&root, QPoint(0, 0)), part.size()));
    }
    return rects;
}

void ExpectApart(const std::vector<std::pair<QString, QRect>>& rects) {
    for (size_t i = 0; i < rects.size(); ++i)
        for (size_t j = i + 1; j < rects.size(); ++j)
            EXPECT_FALSE(rects[i].second.intersects(rects[j].second))
                << rects[i].first.toStdString() << " and " << rects[j].first.toStdString();
}

}  // namespace

TEST_F(GuiBakeTest, DuringABakeTheProgressPageHasRoomForEachPartAtEverySize) {
    auto window = MakeBakeWindow();
    FillCrate(*window, false, 256);
    // The bake waits at its first tile, its preview made at the job's size.
    KelvorTest::Gate hold;
    window->beforeLog = [&](const std::string& line) {
        if (line.rfind("Baking tile", 0) == 0) hold.Wait();
    };
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->bake();
    ASSERT_TRUE(KelvorTest::WaitForBake([&] { return hold.reached.load(); }));
    QWidget& page = Find<QWidget>(*window, "progressFrame");
    auto& preview = Find<RenderMapWidget>(page, "renderMap");
    auto& scroll = Find<QScrollArea>(page, "progressScroll");
    // A status line naming an output file with a long name does not widen the page.
    const std::string status = "Starting bake for " + std::string(300, 'n') + "_ao";
    std::thread([&] { window->OnLog(status); }).join();
    window->progressUpdate();
    EXPECT_EQ(Find<QLabel>(page, "progressLabel").toolTip().toStdString(), status);

    for (const int height : {850, 620, 400}) {
        SCOPED_TRACE(height);
        window->resize(875, height);
        ASSERT_TRUE(KelvorTest::WaitFor([&] { return page.height() > height - 60 && page.height() < height; }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        EXPECT_EQ(Page(*window), 1);
        const auto rects = PartRects(page, page);
        for (const auto& [name, rect] : rects)
            EXPECT_TRUE(page.rect().contains(rect)) << name.toStdString() << " lies outside the page";
        ExpectApart(rects);
        EXPECT_FALSE(scroll.verticalScrollBar()->isVisible());
        // The preview gives up only the room the other parts need.
        const QRect picture = preview.PictureRect();
        EXPECT_TRUE(preview.rect().contains(picture));
        EXPECT_EQ(picture.width(), picture.height());
        if (height == 850) {
            EXPECT_EQ(picture.size(), QSize(512, 512));
        } else {
            EXPECT_GT(picture.height(), RenderMapWidget::kMinimumSide);
        }
    }

    // Smaller than the window allows, the page scrolls rather than lay its parts over each other.
    window->setMinimumSize(0, 0);
    window->resize(875, 250);
    ASSERT_TRUE(KelvorTest::WaitFor([&] { return scroll.verticalScrollBar()->isVisible(); }));
    ExpectApart(PartRects(page, *scroll.widget()));

    hold.Open();
    window->cancelBake();
    ASSERT_TRUE(WaitUntilIdle(*window));
}
