#include "gui/baketest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiBakeTest;
using KelvorTest::MessageBoxes;
using KelvorTest::SamplePath;

class GuiBakeStartTest : public GuiBakeTest {
protected:
    // The one box a start shows for what is on screen, "!" marking a critical one; nothing starts.
    QString Refusal(MainWindow& window) {
        MessageBoxes boxes;
        window.bake();
        EXPECT_FALSE(window.Baking());
        EXPECT_EQ(Page(window), 0);
        EXPECT_EQ(events.Count("init"), 0);
        if (boxes.shown.size() != 1) return "boxes: " + boxes.shown.join("|");
        return (boxes.critical[0] ? "!" : "") + boxes.shown[0];
    }

    // The job of what is on screen, which needs no box.
    BakeJob Fill(MainWindow& window) {
        BakeJob job;
        MessageBoxes boxes;
        EXPECT_TRUE(window.ValidateAndFillJob(window.Model(), &job));
        EXPECT_EQ(boxes.shown, QStringList());
        return job;
    }
};

TEST_F(GuiBakeStartTest, EachProblemOnScreenHasItsBoxAndStartsNothing) {
    auto window = MakeBakeWindow();
    const QString missing = folder.path() + "/missing.obj";
    FillCrate(*window, true, 64);
    SetText(*window, "trace0_path", missing);
    EXPECT_EQ(Refusal(*window), "!Missing file: High poly " + missing + " does not exist");
    // The second of two rows is named; a row that is not ticked is not looked at.
    SetText(*window, "trace0_path", SamplePath("crate_high.obj"));
    window->addTraceMeshHandler();
    SetText(*window, "trace1_path", missing + "2");
    EXPECT_EQ(Refusal(*window), "!Missing file: High poly " + missing + "2 does not exist");
    SetText(*window, "trace1_path", "");
    EXPECT_EQ(Refusal(*window), "!Missing file: High poly row 2 has no file");
    Tick(*window, "trace1_enabled", false);

    SetText(*window, "target_path", missing);
    EXPECT_EQ(Refusal(*window), "!Invalid low res file: Please select a valid low res file");
    Tick(*window, "trace0_enabled", false);
    EXPECT_EQ(Refusal(*window), "!Please select a valid file: Low poly " + missing + " does not exist");
    // Without a path there is no file name to show.
    SetText(*window, "target_path", "");
    EXPECT_EQ(Refusal(*window), "!Invalid low res file: Please select a valid low res file");
    SetText(*window, "target_path", SamplePath("crate_low.obj"));

    Tick(*window, "map0_enabled", false);
    EXPECT_EQ(Refusal(*window), "Invalid Bake: Please select at least one map");
    Tick(*window, "map0_enabled", true);
    // Without a path the maps would land in the program's folder, named by their suffixes alone.
    for (const char* path : {"", "  "}) {
        SetText(*window, "output_path", path);
        EXPECT_EQ(Refusal(*window), "!Invalid output path: Please choose an output path");
    }
    SetText(*window, "output_path", OutputBase());
    SetText(*window, "envelope_path", missing);
    EXPECT_EQ(Refusal(*window), "!Missing file: Envelope " + missing + " does not exist");
}

TEST_F(GuiBakeStartTest, ATickedEnvelopeWithoutAFileMeansNoEnvelope) {
    auto window = MakeBakeWindow();
    // How a fresh store shows it.
    ASSERT_TRUE(Find<QCheckBox>(*window, "envelope_enabled").isChecked());
    FillCrate(*window, false, 64);
    EXPECT_EQ(Fill(*window).envelopePath, "");
    SetText(*window, "envelope_path", SamplePath("crate_envelope.obj"));
    EXPECT_EQ(Fill(*window).envelopePath, SamplePath("crate_envelope.obj").toStdString());
    Tick(*window, "envelope_enabled", false);
    EXPECT_EQ(Fill(*window).envelopePath, "");
}

TEST_F(GuiBakeStartTest, TheJobTakesTheWindowsChoicesInTheEnginesCodes) {
    auto window = MakeBakeWindow();
    FillCrate(*window, true, 256);
    SetItem(*window, "output_height", "2048");
    BakeJob job = Fill(*window);
    EXPECT_EQ(job.width, 256);
    EXPECT_EQ(job.height, 2048);
    EXPECT_TRUE(job.hasHighPoly);
    EXPECT_EQ(job.highPolyPaths, std::vector<std::string>{SamplePath("crate_high.obj").toStdString()});
    EXPECT_EQ(job.cacheMode, CacheNone);
    EXPECT_FALSE(job.matchNames);
    // Without a ticked high-poly row the low-poly mesh is traced against itself.
    Tick(*window, "trace0_enabled", false);
    job = Fill(*window);
    EXPECT_FALSE(job.hasHighPoly);
    EXPECT_EQ(job.highPolyPaths, std::vector<std::string>{SamplePath("crate_low.obj").toStdString()});

    const QStringList directions = {"Geometry Normals", "Surface Normals", "Rounded Normals"};
    const int directionCodes[] = {DirectionGeometric, DirectionInterpolated, DirectionRounded};
    for (int i = 0; i < 3; ++i) {
        SetItem(*window, "output_direction", directions[i]);
        EXPECT_EQ(Fill(*window).normalDirection, directionCodes[i]) << i;
    }
    const QStringList formats = {"tiff 16-bit", "tiff 8-bit", "png 16-bit", "png 8-bit", "exr"};
    const int formatCodes[] = {FormatTiff16, FormatTiff8, FormatPng16, FormatPng8, FormatExr};
    for (int i = 0; i < 5; ++i) {
        SetItem(*window, "output_format", formats[i]);
        EXPECT_EQ(Fill(*window).outputFormat, formatCodes[i]) << i;
    }
    window->setCachingFile();
    window->setNameMatchingOn();
    EXPECT_EQ(Fill(*window).cacheMode, CacheFiles);
    EXPECT_TRUE(Fill(*window).matchNames);
    window->setCachingMemory();
    EXPECT_EQ(Fill(*window).cacheMode, CacheMemory);
}

TEST_F(GuiBakeStartTest, EachTickedMapRowBecomesAMapRecord) {
    auto window = MakeBakeWindow();
    FillCrate(*window, false, 64);
    window->addBakeMap();
    window->addBakeMap();
    Tick(*window, "map1_enabled", false);
    SetItem(*window, "map0_supersampling", "4x4");
    SetItem(*window, "map0_blur", "3 pixel");
    SetItem(*window, "map0_yup", "-");
    SetItem(*window, "map2_maptype", "AO Map");
    SetItem(*window, "map2_supersampling", "8x8");
    SetText(*window, "map2_distance", "3.5");
    SetText(*window, "map2_spread", "90");

    BakeJob job = Fill(*window);
    ASSERT_EQ(job.maps.size(), 2u);
    const MapSettings normal = job.maps[0], ao = job.maps[1];
    EXPECT_EQ((std::array{normal.type, normal.supersampling, normal.tangentSpace}), (std::array{1, 4, 1}));
    EXPECT_FLOAT_EQ(normal.blur, 1.5f);
    EXPECT_TRUE(normal.yFlip);
    // Degrees to radians: 160 / 180 in float, times pi in double.
    EXPECT_NEAR(normal.spread, 2.7925268f, 1e-6f);
    EXPECT_EQ((std::array{ao.type, ao.supersampling, ao.tangentSpace}), (std::array{2, 1, 0}));
    EXPECT_FLOAT_EQ(ao.aoDistance, 3.5f);
    EXPECT_NEAR(ao.spread, 1.5707964f, 1e-6f);

    // Occlusion and thickness: rays and blur by quality, never supersampled.
    const std::array<std::tuple<const char*, int, float>, 4> qualities = {
        {{"Low", 32, 0.0f}, {"Med", 64, 1.5f}, {"High", 256, 1.5f}, {"Ultra", 512, 1.5f}}};
    for (const char* type : {"AO Map", "Thickness"}) {
        SetItem(*window, "map2_maptype", type);
        for (const auto& [quality, rays, blur] : qualities) {
            SetItem(*window, "map2_quality", quality);
            const MapSettings map = Fill(*window).maps[1];
            EXPECT_EQ((std::array{map.rayCount, map.supersampling}), (std::array{rays, 1})) << type << quality;
            EXPECT_FLOAT_EQ(map.blur, blur) << type << quality;
        }
    }
    const QStringList tangents = {"FBX Tangents", "Maya Viewport 2.0", "MiKK", "Unreal 4.7+", "DOTA 2 (Source)", "Unity 5.3+"};
    const int tangentCodes[] = {TangentFbx, TangentMaya, TangentMikkt, TangentUe47, TangentSource, TangentUnity};
    for (int i = 0; i < 6; ++i) {
        SetItem(*window, "map0_tangents", tangents[i]);
        const MapSettings map = Fill(*window).maps[0];
        EXPECT_EQ(map.tangentSpace, tangentCodes[i]) << i;
        EXPECT_EQ(map.generateTangents, i >= 2) << i;
    }
    SetItem(*window, "map0_maptype", "Alpha Mask");
    EXPECT_EQ((std::array{Fill(*window).maps[0].type, Fill(*window).maps[0].tangentSpace}), (std::array{10, 0}));
}

TEST_F(GuiBakeStartTest, TheProcessorChoiceIsHeldToTheThreadsThereAre) {
    auto window = MakeBakeWindow();
    const int n = ProcessorCount();
    auto& processors = Find<QComboBox>(*window, "processorsBox");
    MessageBoxes boxes;  // nothing is set up to bake, so each start is refused after the choice
    processors.setCurrentIndex(0);
    window->bake();
    EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), "1 CPUs");
    EXPECT_EQ(window->Manager().GetRenderState().threadCount, 1);
    // An item beyond the threads there are: the manager would take the count as it is.
    processors.addItem(QString("%1 of %2").arg(n + 1).arg(n));
    processors.setCurrentIndex(n);
    window->bake();
    EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), QString::number(n) + " CPUs");
    EXPECT_EQ(window->Manager().GetRenderState().threadCount, n);
    // No current item: the manager would clamp a count of 0 too, so the label shows the window's own.
    processors.setCurrentIndex(-1);
    window->bake();
    EXPECT_EQ(Find<QLabel>(*window, "processorCountLabel").text(), "1 CPUs");
}
