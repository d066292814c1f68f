#include "gui/guitest.h"

#include <climits>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include "rendermapwidget.h"

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiWindowTest;

namespace {

// What a layout holds, top to bottom: object names, or the text of unnamed labels, or "-" for
// a separator; with headers set, the region header texts found inside each item instead.
QStringList LayoutItems(QLayout& layout, bool headers = false) {
    QStringList items;
    for (int i = 0; i < layout.count(); ++i) {
        QWidget* item = layout.itemAt(i)->widget();
        if (item->property("separator").toBool()) {
            items << "-";
        } else if (headers) {
            for (QLabel* label : item->findChildren<QLabel*>())
                if (label->property("regionheader").toBool()) items << label->text();
        } else {
            auto* label = qobject_cast<QLabel*>(item);
            items << (label ? label->text() : item->objectName());
        }
    }
    return items;
}

}  // namespace

TEST_F(GuiWindowTest, AFreshWindowShowsTheRegionsInOrderAndEveryProcessorChoice) {
    auto window = MakeWindow();
    EXPECT_EQ(window->sizeHint(), QSize(600, 850));
    EXPECT_EQ(LayoutItems(*Find<QFrame>(*window, "settingsFrame").layout(), true),
              (QStringList{"PRESETS", "-", "HIGH POLY MESHES", "-", "ENVELOPE", "-", "LOW POLY MESH", "-", "MAPS", "-",
                           "OUTPUT / SETTINGS"}));
    const int n = ProcessorCount();
    auto& processors = Find<QComboBox>(*window, "processorsBox");
    ASSERT_EQ(processors.count(), n);
    EXPECT_EQ(processors.itemText(0), QString("1 of %1").arg(n));
    EXPECT_EQ(processors.currentText(), QString("%1 of %1").arg(n));
    // Both headers put their version label on the window itself, outside every layout.
    const auto versions = window->findChildren<QLabel*>("version", Qt::FindDirectChildrenOnly);
    ASSERT_EQ(versions.size(), 2);
    EXPECT_EQ(versions[1]->geometry(), QRect(10, 75, 240, 30));
}

TEST_F(GuiWindowTest, APresetWithThreeMapsFillsTheMapsRegionBetweenTitleAndPlus) {
    {
        BakeModel::Preset model(store.get());
        ASSERT_TRUE(model.AddPreset("hero"));
        model.AddMapNode()->Set(model.Attrs().maptype, 1);
        model.AddMapNode();
    }
    ReopenStore();
    auto window = MakeWindow();
    EXPECT_EQ(LayoutItems(*Find<QFrame>(*window, "maps_region").layout()),
              (QStringList{"MAPS", "map0_frame", "map1_frame", "map2_frame", "maps_addbutton"}));
    EXPECT_EQ(Find<QComboBox>(*window, "map1_maptype").currentText(), "AO Map");
}

TEST_F(GuiWindowTest, EachPresetKeepsItsOwnProcessorChoice) {
    if (ProcessorCount() < 2) GTEST_SKIP() << "one thread offers a single choice";
    {
        auto window = MakeWindow();
        auto& processors = Find<QComboBox>(*window, "processorsBox");
        processors.setCurrentIndex(0);
        // A new preset starts with the choice on screen, like every other setting.
        KelvorTest::InputAnswer answer("hero");
        window->addPresetHandler();
        EXPECT_EQ(Ini("preset_hero", "processorsBox"), "0");
        processors.setCurrentIndex(1);
        EXPECT_EQ(Ini("preset_hero", "processorsBox"), "1");
    }
    ReopenStore();
    auto window = MakeWindow();
    EXPECT_EQ(Find<QComboBox>(*window, "processorsBox").currentIndex(), 1);
    const QByteArray before = FileBytes();
    Find<QComboBox>(*window, "presetCombo").setCurrentText("");
    EXPECT_EQ(Find<QComboBox>(*window, "processorsBox").currentIndex(), 0);
    EXPECT_EQ(FileBytes(), QByteArray(before).replace("preset=hero", "preset="));

    // A start on a preset that is not listed lists it with what it holds: here, nothing.
    window.reset();
    store->settings.setValue("preset", "ghost");
    ReopenStore();
    window = MakeWindow();
    EXPECT_EQ(Find<QComboBox>(*window, "processorsBox").currentIndex(), ProcessorCount() - 1);
    EXPECT_EQ(Ini("preset_ghost", "processorsBox"), QString());
}

namespace {

struct StoredStart {
    const char* what;
    QByteArray file;
    QString section;  // of the current preset's keys
    QStringList names;
};

QStringList RowNames(QWidget& window, const QString& region) {
    QStringList rows = LayoutItems(*Find<QFrame>(window, region + "_region").layout());
    return rows.mid(1, rows.size() - 2);
}

}  // namespace

TEST_F(GuiWindowTest, AStartKeepsEveryStoredRowAndName) {
    // Five maps and two meshes on the unnamed preset; a hand-written list without quotes whose
    // current preset has three maps, two meshes and width 4096; a current preset the list lacks.
    const QByteArray rows = "numbakes=5\ntraceMeshes=2\nmap4_maptype=Curvature\ntrace1_path=/h/two.obj\n"
                            "output_width=4096\n";
    const std::vector<StoredStart> starts = {
        {"unnamed", "[General]\n" + rows, "General", {""}},
        {"unquoted", "[General]\npresets=a,b,hero\npreset=hero\n\n[preset_hero]\n" + rows, "preset_hero",
         {"a", "b", "hero"}},
        {"unlisted", "[General]\npresets=a\npreset=hero\n\n[preset_hero]\n" + rows, "preset_hero", {"a", "hero"}},
    };
    for (const StoredStart& start : starts) {
        SCOPED_TRACE(start.what);
        WriteSettingsFile(start.file);
        ReopenStore();
        auto window = MakeWindow();
        EXPECT_EQ(RowNames(*window, "maps"), (QStringList{"map0_frame", "map1_frame", "map2_frame", "map3_frame",
                                                          "map4_frame"}));
        EXPECT_EQ(RowNames(*window, "trace"), (QStringList{"trace0_widget", "trace1_widget"}));
        EXPECT_EQ(Find<QComboBox>(*window, "map4_maptype").currentText(), "Curvature");
        EXPECT_EQ(Find<QComboBox>(*window, "output_width").currentText(), "4096");
        QStringList items;
        for (int i = 0; i < Find<QComboBox>(*window, "presetCombo").count(); ++i)
            items << Find<QComboBox>(*window, "presetCombo").itemText(i);
        EXPECT_EQ(items, start.names);
        window.reset();

        for (const auto& [key, value] : {std::pair{"numbakes", "5"}, std::pair{"traceMeshes", "2"},
                                         std::pair{"map4_maptype", "Curvature"}, std::pair{"trace1_path", "/h/two.obj"},
                                         std::pair{"output_width", "4096"}})
            EXPECT_EQ(Ini(start.section, key), value) << key;
        QStringList names;
        window = MakeWindow();
        window->Model().PresetNames(names);
        EXPECT_EQ(names, start.names);
    }
}

TEST_F(GuiWindowTest, AStoredChoiceBeyondThisMachinesThreadsSelectsAllWithoutRewritingIt) {
    const int n = ProcessorCount();
    store->SetInt("processorsBox", n);
    auto window = MakeWindow();
    EXPECT_EQ(Find<QComboBox>(*window, "processorsBox").currentIndex(), n - 1);
    EXPECT_EQ(Ini("General", "processorsBox"), QString::number(n));
    EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), "GPU");

    // Hand-edited ends of the int range (the sanitizer build checks the arithmetic on them).
    for (const auto& [stored, label] : {std::pair<int, QString>{INT_MAX, "GPU"}, {INT_MIN, "1 CPUs"}}) {
        store->SetInt("processorsBox", stored);
        window = MakeWindow();
        EXPECT_EQ(Find<QComboBox>(*window, "processorsBox").currentIndex(), n - 1);
        EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), label);
    }
}

namespace {

// Holds the bake thread in its first job until the manager is told to cancel, and notes
// whether the window had already reported its shutdown by then.
class HoldingListener : public BakeManager::IBakeListener {
public:
    HoldingListener(BakeManager& manager, KelvorTest::RecordingReporter& events) : manager(manager), events(events) {}

    void OnJobStart(BakeJob* job) override {
        ++jobStarts;
        started = true;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!manager.IsCancelled() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        shutdownBeforeRelease = events.Count("shutdown") > 0;
        // The rest of the run reads the job as well.
        job->width = 64;
    }
    void OnBakeStart() override {}
    void OnMapStart(BakeJob*, int, Image*) override {}
    void OnTilingStart(BakeJob*, MapSettings*, int, int) override {}
    void OnTileDone(const BakeManager::TileUpdate*) override {}
    void OnProgress(float) override {}
    void OnError(const std::string&) override {}
    void OnLog(const std::string&) override {}
    void OnTilingEnd(BakeJob*, MapSettings*, int, int) override {}
    void OnMapDone(BakeJob*, int) override {}
    void OnJobEnd(BakeJob*) override {}
    void OnBakeEnd(int) override {}
    void OnBakeStopped() override {}

    std::atomic<int> jobStarts{0};
    std::atomic<bool> started{false};
    std::atomic<bool> shutdownBeforeRelease{false};

private:
    BakeManager& manager;
    KelvorTest::RecordingReporter& events;
};

}  // namespace

TEST_F(GuiWindowTest, ClosingDuringABakeEndsTheBakeBeforeItsJobsGoAndReportsShutdownOnce) {
    auto window = MakeWindow();
    HoldingListener listener(window->Manager(), events);
    window->Manager().SetListener(&listener);
    window->AddBakeJob();
    window->Manager().BakeAsync(&window->Jobs());
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listener.started && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(listener.started);

    EXPECT_EQ(events.Count("shutdown"), 0);
    window.reset();
    EXPECT_FALSE(listener.shutdownBeforeRelease);
    EXPECT_EQ(events.Count("shutdown"), 1);
}

TEST_F(GuiWindowTest, ClosingDuringABatchLoadsNoFurtherJob) {
    auto window = MakeWindow();
    HoldingListener listener(window->Manager(), events);
    window->Manager().SetListener(&listener);
    for (int i = 0; i < 3; ++i) window->AddBakeJob();
    window->Manager().BakeAsync(&window->Jobs());
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listener.started && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(listener.started);
    window.reset();
    EXPECT_EQ(listener.jobStarts, 1);
}

TEST_F(GuiWindowTest, ThePreviewKeepsTheJobsAspectWithinFiveHundredTwelvePixels) {
    for (const auto& [width, height, shown] : {std::tuple{2048, 1024, QSize(512, 256)},
                                               std::tuple{1024, 2048, QSize(256, 512)},
                                               std::tuple{1024, 1024, QSize(512, 512)},
                                               std::tuple{300, 100, QSize(512, 170)}}) {
        RenderMapWidget preview;
        preview.ResetImage(width, height);
        EXPECT_EQ(preview.sizeHint(), shown) << width << "x" << height;
        EXPECT_EQ(preview.maximumSize(), shown);
        // Given less room, the picture shrinks to fit it, keeps its aspect and is centred.
        preview.resize(400, 100);
        const QRect picture = preview.PictureRect();
        EXPECT_EQ(picture.center(), preview.rect().center());
        EXPECT_TRUE(picture.width() == 400 || picture.height() == 100) << width << "x" << height;
        EXPECT_NEAR(double(picture.width()) / picture.height(), double(shown.width()) / shown.height(), 0.05);
        ASSERT_NE(preview.Image(), nullptr);
        EXPECT_EQ(preview.Image()->size(), QSize(width, height));
        EXPECT_EQ(preview.Image()->pixel(width - 1, height - 1), qRgb(58, 12, 12));
    }
}

TEST_F(GuiWindowTest, APresetNameOfThreeHundredCharactersKeepsEveryControlInsideTheWindow) {
    const QString name = QString("Longname").repeated(38).left(300);
    {
        BakeModel::Preset model(store.get());
        ASSERT_TRUE(model.AddPreset("hero"));
        ASSERT_TRUE(model.AddPreset(name));
        model.LoadPreset("hero");
    }
    ReopenStore();
    auto window = MakeWindow();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto& combo = Find<QComboBox>(*window, "presetCombo");
    auto& scroll = Find<QScrollArea>(*window, "scrollFrame");
    for (const QString& current : {QString("hero"), name}) {
        combo.setCurrentText(current);
        ASSERT_EQ(window->Model().PresetName(), current);
        // Rows added to a shown region show from the event loop.
        ASSERT_TRUE(KelvorTest::WaitFor([&] { return Find<QWidget>(*window, "map0_frame").isVisible(); }));
        for (const int width : {875, 1598}) {
            SCOPED_TRACE(width);
            window->resize(width, 620);
            ASSERT_TRUE(KelvorTest::WaitFor([&] { return window->width() == width; }));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            const QRect viewport(scroll.viewport()->mapTo(window.get(), QPoint(0, 0)), scroll.viewport()->size());
            int checked = 0;
            for (QWidget* control : window->findChildren<QWidget*>()) {
                const bool isControl = qobject_cast<QPushButton*>(control) || qobject_cast<QComboBox*>(control) ||
                                       qobject_cast<QLineEdit*>(control) || qobject_cast<QCheckBox*>(control);
                if (!isControl || !control->isVisible()) continue;
                ++checked;
                const QRect area(control->mapTo(window.get(), QPoint(0, 0)), control->size());
                // Rows below the scrolled view are reached by scrolling; across, nothing may be cut.
                if (scroll.isAncestorOf(control)) {
                    EXPECT_TRUE(area.left() >= viewport.left() && area.right() <= viewport.right())
                        << control->objectName().toStdString();
                } else {
                    EXPECT_TRUE(window->rect().contains(area)) << control->objectName().toStdString();
                }
            }
            EXPECT_GE(checked, 40);
        }
    }

    // The box shows the name shortened; its tool tips and its popup show it whole.
    const QChar invisibleBreak(0x200B);
    EXPECT_EQ(combo.toolTip().remove(invisibleBreak), name);
    const int index = combo.findText(name);
    EXPECT_EQ(combo.itemData(index, Qt::ToolTipRole).toString().remove(invisibleBreak), name);
    combo.showPopup();
    QAbstractItemView* list = combo.view();
    ASSERT_TRUE(KelvorTest::WaitFor([&] { return list->isVisible(); }));
    const QRect item = list->visualRect(list->model()->index(index, 0));
    EXPECT_LE(list->window()->width(), list->screen()->availableGeometry().width());
    EXPECT_GE(item.height(),
              list->fontMetrics().boundingRect(QRect(0, 0, item.width() - 8, 1 << 20), Qt::TextWrapAnywhere, name).height());
    combo.hidePopup();
}
