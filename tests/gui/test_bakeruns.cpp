#include "gui/baketest.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiBakeTest;
using KelvorTest::MessageBoxes;
using KelvorTest::SamplePath;
using KelvorTest::WaitForBake;

namespace {

bool Exists(const QString& path) { return QFileInfo::exists(path); }

QAction& StartBatch(QWidget& window) {
    for (QAction* action : window.findChildren<QAction*>())
        if (action->text() == "&Start Batch") return *action;
    throw std::runtime_error("no Start Batch action");
}

// As the engine reports it, from a thread of its own.
void OnBakeThreadProgress(MainWindow& window, float fraction) {
    std::thread([&] { window.OnProgress(fraction); }).join();
}

// The events whose text holds member, in order.
std::vector<std::string> With(const std::vector<std::string>& events, const std::string& member) {
    std::vector<std::string> found;
    for (const std::string& event : events)
        if (event.find(member) != std::string::npos) found.push_back(event);
    return found;
}

// A preset baking a normal map of lowPoly against itself at 64 x 64 into output.
void AddPreset(BakeModel::Preset& model, const QString& name, const QString& output, const QString& lowPoly) {
    const BakeModel::Attributes& a = model.Attrs();
    ASSERT_TRUE(model.AddPreset(name));
    model.Target().SetString(a.path, lowPoly);
    model.TraceNodes()[0]->SetBool(a.enabled, false);
    model.Output().SetString(a.path, output);
    model.Output().Set(a.width, 0);
    model.Output().Set(a.height, 0);
    model.Output().Set(a.format, 3);
}

}  // namespace

TEST_F(GuiBakeTest, ABakeFromTheWindowWritesItsMapsCountsItAndClosesByItself) {
    auto window = MakeBakeWindow();
    {
        KelvorTest::InputAnswer answer("hero");
        window->addPresetHandler();
    }
    FillCrate(*window, true, 256);
    window->addBakeMap();
    SetItem(*window, "map1_maptype", "AO Map");
    SetItem(*window, "map1_quality", "Med");
    SetItem(*window, "map1_supersampling", "2x2");
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    EXPECT_EQ(Find<QPushButton>(*window, "cancelButton").text(), "Cancel");
    ASSERT_TRUE(WaitUntilIdle(*window));

    for (const char* suffix : {"_tnm_fbx.png", "_onm.png", "_ao.png"})
        EXPECT_EQ(KelvorTest::ReadImageFile((OutputBase() + suffix).toStdString()).width, 256) << suffix;
    // A side of the crate faces straight out: its tangent-space normal is mostly blue.
    EXPECT_GT(KelvorTest::ReadImageFile((OutputBase() + "_tnm_fbx.png").toStdString()).At(40, 216)[2], 0.8f);
    EXPECT_EQ(Ini("preset_hero", "bakecount"), "1");
    EXPECT_EQ(Find<QPushButton>(*window, "cancelButton").text(), "CLOSE");

    // The occlusion map reports the supersampling the window forced and the rays of its
    // quality; both maps report the engine's statistics.
    const std::vector<std::string> all = events.Events();
    const auto bakes = With(all, "\"eventtype\":\"bake\"");
    ASSERT_EQ(bakes.size(), 1u);
    EXPECT_NE(bakes[0].find(R"j("baketype":"ao")j"), std::string::npos);
    EXPECT_NE(bakes[0].find(R"j({"width":256,"height":256,"sampling":1,"rays":64})j"), std::string::npos);
    const auto stats = With(all, "{\"scenestats\":{\"tracetris\":307200,");
    EXPECT_EQ(stats.size(), 2u);
    EXPECT_EQ(With(all, "\"eventtype\":\"bake_end\"").size(), 2u);
}

TEST_F(GuiBakeTest, AnUnwritableOutputGivesOneBakeErrorAndTheNextBakeStartsAtOnce) {
    auto window = MakeBakeWindow();
    FillCrate(*window, false, 64);
    SetText(*window, "output_path", folder.path() + "/missing/crate");
    MessageBoxes boxes;
    std::atomic<bool> loaded{false};
    window->beforeJobStart = [&] { loaded = true; };
    window->bake();
    ASSERT_TRUE(WaitForBake([&] { return !boxes.shown.isEmpty() && Page(*window) == 0; }));
    QTest::qWait(1200);  // more ticks, no second box
    ASSERT_EQ(boxes.shown.size(), 1);
    EXPECT_EQ(boxes.shown[0], "Bake Error: The output folder '" + folder.path() + "/missing' does not exist");
    EXPECT_FALSE(loaded);  // refused before the job began
    window->beforeJobStart = nullptr;

    SetText(*window, "output_path", OutputBase());
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    // The last run's final line is not shown as this one's.
    EXPECT_EQ(Find<QLabel>(*window, "progressLabel").text(), "");
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_EQ(boxes.shown.size(), 1);
    EXPECT_TRUE(Exists(OutputBase() + "_tnm_fbx.png"));
}

TEST_F(GuiBakeTest, ACancelReturnsToTheSettingsWhileTheBakeWindsDownThenBakingWorksAgain) {
    KelvorTest::Gate end;
    auto window = MakeBakeWindow();
    window->beforeBakeEnd = [&] { end.Wait(); };
    FillCrate(*window, false, 2048);
    window->addBakeMap();
    SetItem(*window, "map1_maptype", "AO Map");
    window->bake();
    ASSERT_EQ(Page(*window), 1);
    window->cancelBake();
    ASSERT_TRUE(WaitForBake([&] { return Page(*window) == 0; }, 3000));
    ASSERT_TRUE(WaitForBake([&] { return end.reached.load(); }));

    // The bake thread still reads the jobs: the button does nothing until the run's end, and says so.
    auto& bakeButton = Find<QPushButton>(*window, "bakeButton");
    QAction& startBatch = StartBatch(*window);
    EXPECT_FALSE(bakeButton.isEnabled());
    EXPECT_EQ(bakeButton.text(), "Canceling...");
    EXPECT_FALSE(startBatch.isEnabled());
    const std::vector<BakeJob*> running = window->Jobs();
    window->bake();
    EXPECT_EQ(Page(*window), 0);
    EXPECT_EQ(window->Jobs(), running);
    end.Open();
    ASSERT_TRUE(WaitForBake([&] { return bakeButton.isEnabled(); }));
    EXPECT_FALSE(window->Baking());
    EXPECT_EQ(bakeButton.text(), "BAKE IT");
    EXPECT_TRUE(startBatch.isEnabled());
    for (const char* suffix : {"_tnm_fbx.png", "_onm.png", "_ao.png"}) EXPECT_FALSE(Exists(OutputBase() + suffix));

    window->beforeBakeEnd = nullptr;
    SetItem(*window, "output_width", "64");
    SetItem(*window, "output_height", "64");
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_TRUE(Exists(OutputBase() + "_ao.png"));
}

TEST_F(GuiBakeTest, ABatchBakesTheTickedPresetsOnTheChosenProcessorsAndRestoresTheCurrentOne) {
    {
        BakeModel::Preset model(store.get());
        for (const char* name : {"a", "b", "c"}) AddPreset(model, name, folder.path() + "/" + name, SamplePath("crate_low.obj"));
        store->settings.setValue("preset_b_batch_on", 1);
    }
    ReopenStore();
    auto window = MakeBakeWindow();
    Find<QComboBox>(*window, "processorsBox").setCurrentIndex(0);
    window->actionBakeBatch();
    ASSERT_EQ(window->Jobs().size(), 1u);
    EXPECT_EQ(window->Jobs()[0]->outputPath, (folder.path() + "/b").toStdString());
    EXPECT_EQ(Page(*window), 1);
    EXPECT_EQ(window->Model().PresetName(), "c");
    EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), "1 CPUs");
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_TRUE(Exists(folder.path() + "/b_tnm_fbx.png"));
    EXPECT_FALSE(Exists(folder.path() + "/a_tnm_fbx.png") || Exists(folder.path() + "/c_tnm_fbx.png"));
    const auto inits = With(events.Events(), "\"eventtype\":\"init\"");
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_NE(inits[0].find("\"threads\":1,"), std::string::npos) << inits[0];
}

TEST_F(GuiBakeTest, ABatchWithInvalidTickedPresetsShowsEachBoxAndStartsNothing) {
    const QString missing = folder.path() + "/no_such_low.obj", alsoMissing = folder.path() + "/gone_low.obj";
    {
        BakeModel::Preset model(store.get());
        AddPreset(model, "bad", folder.path() + "/bad", missing);
        AddPreset(model, "good", folder.path() + "/good", SamplePath("crate_low.obj"));
        AddPreset(model, "worse", folder.path() + "/worse", alsoMissing);
        for (const char* name : {"bad", "good", "worse"}) store->settings.setValue(QString("preset_%1_batch_on").arg(name), 1);
        model.LoadPreset("good");
    }
    ReopenStore();
    auto window = MakeBakeWindow();
    MessageBoxes boxes;
    window->actionBakeBatch();
    // Every ticked preset is checked, not only up to the first that fails, and each box names its preset.
    EXPECT_EQ(boxes.shown,
              (QStringList{"Please select a valid file: Preset \"bad\": Low poly " + missing + " does not exist",
                           "Please select a valid file: Preset \"worse\": Low poly " + alsoMissing + " does not exist"}));
    EXPECT_EQ(Page(*window), 0);
    EXPECT_FALSE(window->Baking());
    EXPECT_EQ(window->Model().PresetName(), "good");
    EXPECT_EQ(events.Count("init"), 0);
}

TEST_F(GuiBakeTest, ABatchWithNothingTickedSaysSoAndTheNextBakeWorks) {
    auto window = MakeBakeWindow();
    {
        KelvorTest::InputAnswer answer("hero");
        window->addPresetHandler();
    }
    const QString nothing = "Nothing to bake: No preset is ticked in the Batch menu: tick the presets to bake there, "
                            "then choose Start Batch again.";
    // A tick that a removal left behind names no listed preset: it counts for nothing.
    for (const bool staleTick : {false, true}) {
        SCOPED_TRACE(staleTick);
        if (staleTick) store->settings.setValue("preset_gone_batch_on", 1);
        MessageBoxes boxes;
        window->actionBakeBatch();
        EXPECT_EQ(boxes.shown, QStringList{nothing});
        EXPECT_TRUE(window->Jobs().empty());
        EXPECT_FALSE(window->Baking());
        EXPECT_EQ(Page(*window), 0);
        EXPECT_EQ(window->Model().PresetName(), "hero");
    }
    EXPECT_EQ(events.Count("init"), 0);

    FillCrate(*window, false, 64);
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_TRUE(Exists(OutputBase() + "_tnm_fbx.png"));
}

TEST_F(GuiBakeTest, AFailureAfterACancelIsShownAndLeavesTheWindowReadyToBake) {
    const QString broken = folder.path() + "/broken.obj";
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("f 1 2 3\n") > 0);
    file.close();
    auto window = MakeBakeWindow();
    FillCrate(*window, true, 64);
    SetText(*window, "trace0_path", SamplePath("crate_low.obj"));
    SetText(*window, "target_path", broken);
    // The cancel comes while the low-poly mesh, which cannot be read, is loading.
    KelvorTest::Gate loading;
    window->beforeLog = [&](const std::string& line) {
        if (line == "Loading low poly mesh") loading.Wait();
    };
    MessageBoxes boxes;
    window->bake();
    ASSERT_TRUE(WaitForBake([&] { return loading.reached.load(); }));
    window->cancelBake();
    ASSERT_TRUE(WaitForBake([&] { return Page(*window) == 0; }));
    loading.Open();
    ASSERT_TRUE(WaitForBake([&] { return !boxes.shown.isEmpty(); }, 10000));
    EXPECT_TRUE(window->Manager().HasFailed());
    ASSERT_EQ(boxes.shown.size(), 1);
    EXPECT_TRUE(boxes.shown[0].startsWith("Bake Error: ")) << boxes.shown[0].toStdString();
    EXPECT_TRUE(boxes.critical[0]);
    EXPECT_FALSE(window->Baking());
    EXPECT_TRUE(Find<QPushButton>(*window, "bakeButton").isEnabled());

    window->beforeLog = nullptr;
    SetText(*window, "target_path", SamplePath("crate_low.obj"));
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_EQ(boxes.shown.size(), 1);
    EXPECT_TRUE(Exists(OutputBase() + "_tnm_fbx.png"));
}

TEST_F(GuiBakeTest, AFailureReachesItsBoxWhateverIsPressedBeforeTheNextTick) {
    auto window = MakeBakeWindow();
    FillCrate(*window, false, 64);
    SetText(*window, "output_path", folder.path() + "/missing/crate");
    MessageBoxes boxes;
    const std::vector<std::pair<const char*, std::function<void()>>> presses = {
        {"Cancel", [&] { window->cancelBake(); }}, {"Start Batch", [&] { StartBatch(*window).trigger(); }},
        {"BAKE IT", [&] { window->bake(); }}};
    for (const auto& [name, press] : presses) {
        SCOPED_TRACE(name);
        const int before = int(boxes.shown.size());
        window->bake();
        ASSERT_EQ(Page(*window), 1);
        ASSERT_TRUE(WaitForFailureWithoutTicks(*window));
        press();
        ASSERT_TRUE(WaitForBake([&] { return boxes.shown.size() > before && Page(*window) == 0; }, 10000));
        EXPECT_TRUE(boxes.shown.back().startsWith("Bake Error: The output folder")) << boxes.shown.back().toStdString();
        QTest::qWait(600);  // a tick more: no second box, nothing started over the failure
        EXPECT_EQ(int(boxes.shown.size()), before + 1);
        EXPECT_FALSE(window->Baking());
    }
    EXPECT_EQ(events.Count("init"), 3);
}

TEST_F(GuiBakeTest, TheProgressBarShowsTheFractionDoneDuringARun) {
    KelvorTest::Gate start;
    auto window = MakeBakeWindow();
    window->beforeJobStart = [&] { start.Wait(); };
    FillCrate(*window, false, 64);
    window->bake();
    ASSERT_TRUE(WaitForBake([&] { return start.reached.load(); }));
    OnBakeThreadProgress(*window, 0.259f);
    window->progressUpdate();
    EXPECT_EQ(Find<QProgressBar>(*window, "progressBar").value(), 25);
    EXPECT_TRUE(window->Baking());
    EXPECT_EQ(Page(*window), 1);
    start.Open();
    ASSERT_TRUE(WaitUntilIdle(*window));
    EXPECT_EQ(Find<QProgressBar>(*window, "progressBar").value(), 100);
}

TEST_F(GuiBakeTest, AStartThatThrowsShowsBakeFailedAndLeavesTheWindowReady) {
    auto window = MakeBakeWindow();
    FillCrate(*window, false, 64);
    // As when the bake thread cannot be started.
    events.reporter.SetSender([](const std::string& text) {
        if (text.find("\"eventtype\":\"init\"") != std::string::npos)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "no thread");
    });
    MessageBoxes boxes;
    window->bake();
    ASSERT_EQ(boxes.shown.size(), 1);
    EXPECT_TRUE(boxes.shown[0].startsWith("Bake Failed: no thread")) << boxes.shown[0].toStdString();
    EXPECT_EQ(Page(*window), 0);
    EXPECT_FALSE(window->Baking());

    events.reporter.SetSender([](const std::string&) {});
    window->bake();
    EXPECT_EQ(Page(*window), 1);
    ASSERT_TRUE(WaitUntilIdle(*window));
}

TEST_F(GuiBakeTest, EnterOrKeypadEnterPressesAFocusedBakeOrCancelButtonAsSpaceDoes) {
    auto window = MakeBakeWindow();
    auto& bakeButton = Find<QPushButton>(*window, "bakeButton");
    // Nothing is set up to bake yet, so each press of BAKE IT shows why.
    for (const auto& [key, modifier] : {std::pair{Qt::Key_Space, Qt::NoModifier}, std::pair{Qt::Key_Return, Qt::NoModifier},
                                        std::pair{Qt::Key_Enter, Qt::KeypadModifier}}) {
        MessageBoxes boxes;
        QTest::keyClick(&bakeButton, key, modifier);
        EXPECT_EQ(boxes.shown, QStringList{"Missing file: High poly row 1 has no file"}) << key;
    }

    FillCrate(*window, false, 256);
    Tick(*window, "autocloserender_checkbox", false);
    KelvorTest::Gate tile;
    window->beforeLog = [&](const std::string& line) {
        if (line.rfind("Baking tile", 0) == 0) tile.Wait();
    };
    QTest::keyClick(&bakeButton, Qt::Key_Return);
    ASSERT_EQ(Page(*window), 1);
    ASSERT_TRUE(WaitForBake([&] { return tile.reached.load(); }));
    auto& cancelButton = Find<QPushButton>(*window, "cancelButton");
    QTest::keyClick(&cancelButton, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(window->Manager().IsCancelled());
    tile.Open();
    ASSERT_TRUE(WaitUntilIdle(*window));

    // The button that reads CLOSE after a bake takes Enter too.
    window->beforeLog = nullptr;
    SetItem(*window, "output_width", "64");
    SetItem(*window, "output_height", "64");
    QTest::keyClick(&bakeButton, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(WaitForBake([&] { return cancelButton.text() == "CLOSE"; }));
    EXPECT_EQ(Page(*window), 1);
    QTest::keyClick(&cancelButton, Qt::Key_Return);
    EXPECT_EQ(Page(*window), 0);
}
