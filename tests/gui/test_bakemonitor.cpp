#include "gui/baketest.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include <limits>
#include <thread>

#include "previewblocks.h"
#include "rendermapwidget.h"

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiBakeTest;

namespace {

// The listener calls, made on a thread of their own as the engine makes them.
template <typename Calls>
void OnBakeThread(Calls calls) {
    std::thread(calls).join();
}

QImage& Preview(MainWindow& window) { return *Find<RenderMapWidget>(window, "renderMap").Image(); }

int PaintedPixels(MainWindow& window) {
    const QImage& image = Preview(window);
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) painted += image.pixel(x, y) != qRgb(58, 12, 12);
    return painted;
}

// A one-map job of that size with an image of its own.
struct FakeMap {
    FakeMap(int width, int height, int type = MapNormal) : image(width, height) {
        job.width = width;
        job.height = height;
        job.AddMap().type = type;
    }
    BakeJob job;
    Image image;
};

}  // namespace

TEST(PreviewBlocks, TexelsBecomeOpaqueColoursOnTopDownRowsAtTheTicksPace) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float texels[][4] = {{1.5f, -1.0f, 0.999f, 1.0f}, {0.5f, 0.5f, 0.5f, 0.0f}, {nan, 1.0f, 0.0f, 0.5f},
                               {1.0f, 1.0f, 1.0f, nan}};
    EXPECT_EQ(PreviewColour(texels[0]), 0xFFFF00FEu);
    EXPECT_EQ(PreviewColour(texels[1]), 0xFF000000u);
    EXPECT_EQ(PreviewColour(texels[2]), 0xFF00FF00u);
    EXPECT_EQ(PreviewColour(texels[3]), 0xFF000000u);

    // Image row y lands on preview row H - y - 1; a rectangle reaching out is cut to the image.
    Image image(4, 3);
    image.Fill(0.25f, 0.5f, 1.0f, 1.0f);
    image.Pixel(3, 0)[0] = 0.0f;
    const PreviewBlock block = ConvertTile(image, 2, 0, 5, 2);
    EXPECT_EQ((std::array{block.x, block.top, block.width, block.height}), (std::array{2, 2, 2, 2}));
    EXPECT_EQ(block.colours, (std::vector<uint32_t>{0xFF3F7FFFu, 0xFF007FFFu, 0xFF3F7FFFu, 0xFF3F7FFFu}));
    EXPECT_TRUE(ConvertTile(image, std::numeric_limits<int>::max(), 0, 10, 10).colours.empty());

    EXPECT_EQ(PreviewBudget(100000), 14096u);
    EXPECT_EQ(PreviewBudget(1048576), 108953u);
    EXPECT_EQ(PreviewBudget(1048577), 1048577u);
}

TEST_F(GuiBakeTest, ThePreviewTakesEachJobsSizeAndPaintsTilesAtTheTicksPace) {
    auto window = MakeBakeWindow();
    for (const auto& [width, height, shown] : {std::tuple{2048, 1024, QSize(512, 256)}, std::tuple{1024, 2048, QSize(256, 512)}}) {
        FakeMap map(width, height);
        OnBakeThread([&] { window->OnJobStart(&map.job); });
        window->pixelUpdate();
        EXPECT_EQ(Find<RenderMapWidget>(*window, "renderMap").sizeHint(), shown);
        EXPECT_EQ(Preview(*window).size(), QSize(width, height));
    }

    FakeMap map(1024, 1024);
    map.image.Fill(1.5f, 0.25f, 0.0f, 1.0f);
    map.image.Pixel(0, 0)[3] = 0.0f;
    const BakeManager::TileUpdate tile{0, 0, 1000, 100, &map.image};
    OnBakeThread([&] {
        window->OnJobStart(&map.job);
        window->OnMapStart(&map.job, 0, &map.image);
        window->OnTileDone(&tile);
    });
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 14096);
    EXPECT_EQ(Preview(*window).pixel(0, 1023), qRgb(0, 0, 0));
    EXPECT_EQ(Preview(*window).pixel(1, 1023), qRgb(255, 63, 0));
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 14096 + 85904 / 10 + 4096);
    // The tick after a map's end paints all that is left.
    OnBakeThread([&] { window->OnMapDone(&map.job, 0); });
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 100000);

    FakeMap large(2048, 1024);
    large.image.Fill(0.0f, 0.0f, 1.0f, 1.0f);
    const BakeManager::TileUpdate whole{0, 0, 2000, 1000, &large.image};
    OnBakeThread([&] {
        window->OnJobStart(&large.job);
        window->OnTileDone(&whole);
    });
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 2000000);
}

TEST_F(GuiBakeTest, ANewJobsPreviewIsShownBeforeItsFirstTile) {
    struct PaintCounter : QObject {
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
        int paints = 0;
    } counter;
    auto window = MakeBakeWindow();
    Find<QStackedWidget>(*window, "centralWidget").setCurrentIndex(1);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto& preview = Find<RenderMapWidget>(*window, "renderMap");
    QTest::qWait(50);
    preview.installEventFilter(&counter);
    // The size the page starts with, so no new layout repaints it either.
    FakeMap map(512, 512);
    OnBakeThread([&] { window->OnJobStart(&map.job); });
    window->pixelUpdate();
    EXPECT_TRUE(KelvorTest::WaitFor([&] { return counter.paints > 0; }, 2000));
    preview.removeEventFilter(&counter);
}

TEST_F(GuiBakeTest, TilesShowAsTheyWereWhenTheEngineFreesTheirImageEarly) {
    auto window = MakeBakeWindow();
    FakeMap map(64, 64, MapAmbientOcclusion);
    auto image = std::make_unique<Image>(64, 64);
    image->Fill(1.0f, 0.0f, 0.0f, 1.0f);
    const BakeManager::TileUpdate tile{0, 0, 64, 64, image.get()};
    OnBakeThread([&] {
        window->OnJobStart(&map.job);
        window->OnMapStart(&map.job, 0, image.get());
        window->OnTileDone(&tile);
        // Post-processing rewrites the texels, then a cancel frees the baker with its image
        // before the map is done; the GUI thread ticks only afterwards.
        image->Fill(0.0f, 1.0f, 0.0f, 1.0f);
        image.reset();
    });
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 64 * 64);
    EXPECT_EQ(Preview(*window).pixel(63, 0), qRgb(255, 0, 0));
}

TEST_F(GuiBakeTest, PendingPreviewPixelsTakeFourBytesEach) {
    auto window = MakeBakeWindow();
    FakeMap map(2048, 2048);
    map.image.Fill(0.5f, 0.5f, 1.0f, 1.0f);
    const BakeManager::TileUpdate whole{0, 0, 2048, 2048, &map.image};
    const size_t pixels = 2048 * 2048;
    OnBakeThread([&] {
        window->OnJobStart(&map.job);
        window->OnTileDone(&whole);
    });
    // Queued as the tile arrived, then moved to the paint list at the map's end: four bytes a
    // pixel in both, whatever allocator the build uses.
    EXPECT_EQ(window->PendingPreviewBytes(), pixels * 4);
    OnBakeThread([&] { window->OnMapDone(&map.job, 0); });
    EXPECT_EQ(window->PendingPreviewBytes(), pixels * 4);
    window->pixelUpdate();
    EXPECT_EQ(PaintedPixels(*window), 2048 * 2048);
    EXPECT_EQ(window->PendingPreviewBytes(), 0u);
}

TEST_F(GuiBakeTest, TheEventsOfAMapTieItsStatisticsToItsBakeId) {
    auto window = MakeBakeWindow();
    FakeMap normal(256, 128), ao(512, 256, MapThickness), clown(64, 32, MapMaterialId);
    normal.job.maps[0].cellUsage = 0.75f;
    ao.job.maps[0].rayCount = 256;
    OnBakeThread([&] {
        for (FakeMap* map : {&normal, &ao, &normal, &clown}) {
            window->OnMapStart(&map->job, 0, &map->image);
            window->OnMapDone(&map->job, 0);
        }
        window->OnBakeStopped();
    });
    const std::vector<std::string> all = events.Events();
    ASSERT_EQ(all.size(), 11u);
    // A normal map sends no "bake" event: before any other map its statistics carry "0".
    EXPECT_EQ(all[0], R"j({"scenestats":{"tracetris":0,"cagetris":0,"lowrestris":0,"tracehighwater":0,"cellcount":0,)j"
                      R"j("cellavg":0,"cellusage":0.750000},"bakeid":"0","nodeid":"7"})j");
    EXPECT_EQ(all[1].rfind(R"j({"category":"user","eventtype":"bake_end","bakeid":"0","baketime":{"load":0.000000,)j", 0), 0u);
    const std::string head = R"j({"category":"user","eventtype":"bake","baketype":"ao","bakeid":")j";
    ASSERT_EQ(all[2].substr(0, head.size()), head);
    const std::string id = all[2].substr(head.size(), all[2].find('"', head.size()) - head.size());
    EXPECT_EQ(all[2].substr(head.size() + id.size()),
              R"j(","bakeparameters":{"width":512,"height":256,"sampling":1,"rays":256},"nodeid":"7"})j");
    EXPECT_LE(std::stoi(id), 32767);
    for (const int i : {3, 5}) EXPECT_NE(all[i].find("\"bakeid\":\"" + id + "\",\"nodeid\""), std::string::npos) << i;
    EXPECT_NE(all[7].find(R"j("baketype":"clown")j"), std::string::npos);
    EXPECT_EQ(all[10], R"j({"category":"user","eventtype":"cancel_bake","nodeid":"7"})j");
}

TEST_F(GuiBakeTest, StatusLinesAndTheEndOfARunReachThePage) {
    auto window = MakeBakeWindow();
    auto& page = Find<QStackedWidget>(*window, "centralWidget");
    testing::internal::CaptureStdout();
    OnBakeThread([&] {
        window->OnLog("Baking tile 3/64 for crate_ao");
        window->OnProgress(0.259f);
    });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t\t\tBaking tile 3/64 for crate_ao\n");
    Tick(*window, "autocloserender_checkbox", false);
    page.setCurrentIndex(1);
    window->progressUpdate();
    EXPECT_EQ(Find<QLabel>(*window, "progressLabel").text(), "Baking tile 3/64 for crate_ao");
    // Nothing runs, so the tick takes the bake for ended; without auto-close the page stays.
    EXPECT_EQ(Find<QProgressBar>(*window, "progressBar").value(), 100);
    EXPECT_EQ(Find<QPushButton>(*window, "cancelButton").text(), "CLOSE");
    EXPECT_EQ(Page(*window), 1);
    window->cancelBake();
    EXPECT_EQ(Page(*window), 0);

    // An error ends the run before the manager marks it failed: the window's own mark tells
    // such an end from a finished bake.
    page.setCurrentIndex(1);
    OnBakeThread([&] { window->OnError("Please triangulate your mesh"); });
    ASSERT_FALSE(window->Manager().HasFailed());
    KelvorTest::MessageBoxes boxes;
    window->progressUpdate();
    EXPECT_EQ(boxes.shown, QStringList{"Bake Error: Please triangulate your mesh"});
    EXPECT_EQ(Page(*window), 0);
}
