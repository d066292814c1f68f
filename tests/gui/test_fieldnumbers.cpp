#include "gui/baketest.h"

#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QLocale>
#include <QTest>

#include "fieldnumber.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <string>

using namespace Pallix::Bake;
using KelvorTest::Find;
using KelvorTest::GuiBakeTest;
using KelvorTest::MessageBoxes;

namespace {

// Numbers as a German desktop writes them, in Qt's default locale and in the C library's, for
// the life of the object.
class CommaDecimalLocale {
public:
    CommaDecimalLocale() : previousQt(QLocale()), previousC(std::setlocale(LC_NUMERIC, nullptr)) {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        applied = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    }
    ~CommaDecimalLocale() {
        std::setlocale(LC_NUMERIC, previousC.c_str());
        QLocale::setDefault(previousQt);
    }
    CommaDecimalLocale(const CommaDecimalLocale&) = delete;
    CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;
    bool applied = false;

private:
    QLocale previousQt;
    std::string previousC;
};

// One text typed into a field: what the store then holds (null: the last number stays), and
// the box a bake shows when the text holds no number.
struct Typed {
    const char* text;
    std::optional<double> number;
    QString stored;
    QString refusal;
};

const QString kRefusal = "Invalid setting: Preset \"hero\" cannot be baked until these fields hold numbers in their ranges:\n";

}  // namespace

class GuiFieldTest : public GuiBakeTest {
protected:
    // A preset "hero" baking the crate with an AO map in row 1, its distance 0.25, dilation 3.
    std::unique_ptr<KelvorTest::HookedWindow> MakeHero() {
        auto window = MakeBakeWindow();
        KelvorTest::InputAnswer answer("hero");
        window->addPresetHandler();
        FillCrate(*window, false, 64);
        SetItem(*window, "map0_maptype", "AO Map");
        SetText(*window, "map0_distance", "0.25");
        SetText(*window, "output_dilation", "3");
        return window;
    }

    // Types each text into field on a fresh start and checks the store, the field's mark, the
    // bake and the field after another start.
    void Check(const QString& field, const QString& section, const QString& key, const std::vector<Typed>& cases,
               const std::function<double(const BakeJob&)>& baked, const QString& kept) {
        for (const Typed& typed : cases) {
            SCOPED_TRACE(typed.text);
            auto window = MakeBakeWindow();
            auto& edit = Find<QLineEdit>(*window, field);
            edit.setText(typed.text);
            EXPECT_EQ(Ini(section, key), typed.number ? typed.stored : kept);
            EXPECT_EQ(edit.property("invalid").toBool(), !typed.number);
            EXPECT_EQ(edit.toolTip().isEmpty(), bool(typed.number));
            EXPECT_EQ(edit.text(), typed.text);

            MessageBoxes boxes;
            if (typed.number) {
                BakeJob job;
                EXPECT_TRUE(window->ValidateAndFillJob(window->Model(), &job));
                EXPECT_FLOAT_EQ(float(baked(job)), float(*typed.number));
            } else {
                window->bake();
                EXPECT_EQ(boxes.shown, QStringList{kRefusal + typed.refusal});
                EXPECT_FALSE(window->Baking());
                EXPECT_EQ(Page(*window), 0);
            }

            window.reset();
            ReopenStore();
            window = MakeBakeWindow();
            EXPECT_EQ(Find<QLineEdit>(*window, field).text(), typed.number ? typed.stored : kept);
            EXPECT_FALSE(Find<QLineEdit>(*window, field).property("invalid").toBool());
            // Put the field back for the next text.
            Find<QLineEdit>(*window, field).setText(kept);
        }
    }

    void CheckEveryField() {
        MakeHero().reset();
        ReopenStore();
        Check("map0_distance", "preset_hero", "map0_distance",
              {{"0,5", 0.5, "0.5", {}},
               {"0.5", 0.5, "0.5", {}},
               {"1e-3", 0.001, "0.001", {}},
               {" 2 ", 2.0, "2", {}},
               {"abc", {}, {}, "map row 1 (AO Map), Distance: \"abc\" is not a number"},
               {"", {}, {}, "map row 1 (AO Map), Distance: the field is empty"},
               {"nan", {}, {}, "map row 1 (AO Map), Distance: \"nan\" is not a finite number"},
               {"inf", {}, {}, "map row 1 (AO Map), Distance: \"inf\" is not a finite number"}},
              [](const BakeJob& job) { return double(job.maps.at(0).aoDistance); }, "0.25");
        Check("output_dilation", "preset_hero", "output_dilation",
              {{"7", 7, "7", {}},
               {"7,5", {}, {}, "output settings, Dilation: \"7,5\" is not a whole number"},
               {"x", {}, {}, "output settings, Dilation: \"x\" is not a number"},
               {"0", 0, "0", {}},
               {"2147483647", 2147483647.0, "2147483647", {}},
               {"-1", {}, {}, "output settings, Dilation: \"-1\" is not within 0 to 2147483647"},
               {"-2147483648", {}, {}, "output settings, Dilation: \"-2147483648\" is not within 0 to 2147483647"},
               {"2147483648", {}, {}, "output settings, Dilation: \"2147483648\" is not within 0 to 2147483647"}},
              [](const BakeJob& job) { return double(job.dilation); }, "3");
    }

    // Each kind of range at its bounds: a float with a range, a float from 0, an int.
    void CheckRanges() {
        MakeHero().reset();
        ReopenStore();
        Check("map0_spread", "preset_hero", "map0_spread",
              {{"0", 0.0, "0", {}},
               {"360", 360.0, "360", {}},
               {"359,999", 359.999, "359.999", {}},
               {"360,001", {}, {}, "map row 1 (AO Map), spread: \"360,001\" is not within 0 to 360"},
               {"360.5", {}, {}, "map row 1 (AO Map), spread: \"360.5\" is not within 0 to 360"},
               {"1000", {}, {}, "map row 1 (AO Map), spread: \"1000\" is not within 0 to 360"},
               {"-0.001", {}, {}, "map row 1 (AO Map), spread: \"-0.001\" is not within 0 to 360"},
               {"-90", {}, {}, "map row 1 (AO Map), spread: \"-90\" is not within 0 to 360"}},
              [](const BakeJob& job) { return double(job.maps.at(0).spread) / std::numbers::pi * 180.0; }, "160");
        Check("map0_distance", "preset_hero", "map0_distance",
              {{"0", 0.0, "0", {}},
               {"1e30", 1e30, "1e+30", {}},
               {"-0,001", {}, {}, "map row 1 (AO Map), Distance: \"-0,001\" is below 0"},
               {"-1e-30", {}, {}, "map row 1 (AO Map), Distance: \"-1e-30\" is below 0"}},
              [](const BakeJob& job) { return double(job.maps.at(0).aoDistance); }, "0.25");
        Check("output_searchdistance", "preset_hero", "output_searchdistance",
              {{"-1", {}, {}, "output settings, Search Distance: \"-1\" is below 0"}}, nullptr, "0");
        Check("output_rounding", "preset_hero", "output_rounding",
              {{"-0,5", {}, {}, "output settings, Rounding: \"-0,5\" is below 0"}}, nullptr, "1");
        Check("output_tilingminu", "preset_hero", "output_tilingminu",
              {{"-1", {}, {}, "output settings, U Min: \"-1\" is not within 0 to 2147483647"}}, nullptr, "0");
        Check("output_tilingmaxv", "preset_hero", "output_tilingmaxv",
              {{"2147483647", 2147483647.0, "2147483647", {}},
               {"-1", {}, {}, "output settings, Max: \"-1\" is not within 0 to 2147483647"}},
              [](const BakeJob& job) { return double(job.tileMaxV); }, "0");
    }
};

TEST_F(GuiFieldTest, TypedNumbersAreStoredBakedAndShownAlikeUnderACommaDecimalLocale) {
    CommaDecimalLocale german;
    ASSERT_TRUE(german.applied) << "the de_DE.UTF-8 locale is missing: tools/deps.sh generates it";
    ASSERT_EQ(QLocale().decimalPoint(), QChar(','));
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    CheckEveryField();
}

TEST_F(GuiFieldTest, TypedNumbersAreStoredBakedAndShownAlikeUnderTheCLocale) {
    ASSERT_STREQ(std::localeconv()->decimal_point, ".");
    CheckEveryField();
}

TEST_F(GuiFieldTest, ValuesJustOutsideTheirRangesAreRefusedAndThoseJustInsideBaked) { CheckRanges(); }

TEST_F(GuiFieldTest, AFieldWithoutANumberIsMarkedUntilItHoldsOneAndStopsABatchOfItsPreset) {
    auto window = MakeHero();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto& distance = Find<QLineEdit>(*window, "map0_distance");
    auto borderRed = [&] {
        const QImage shot = distance.grab().toImage();
        const QRgb left = shot.pixel(0, shot.height() / 2);
        return qRed(left) > qGreen(left) + 60;
    };
    EXPECT_FALSE(borderRed());
    distance.setText("0,5x");
    EXPECT_TRUE(borderRed());
    EXPECT_EQ(distance.toolTip(), "\"0,5x\" is not a number: type a number of 0 or more, such as 0.5 or 0,5.\nUntil "
                                  "then this field is not stored and this preset cannot be baked.");
    Find<QLineEdit>(*window, "output_searchdistance").clear();

    // Ticked for the batch, the preset on screen is refused with every field named; the others
    // are still checked.
    store->settings.setValue("preset_hero_batch_on", 1);
    MessageBoxes boxes;
    window->actionBakeBatch();
    EXPECT_EQ(boxes.shown, QStringList{kRefusal + "map row 1 (AO Map), Distance: \"0,5x\" is not a number\n"
                                                  "output settings, Search Distance: the field is empty"});
    EXPECT_FALSE(window->Baking());

    // Typed key by key, each text that holds a number is stored as it comes.
    distance.clear();
    QStringList written;
    for (const char key : {'1', ',', '5'}) {
        QTest::keyClick(&distance, key);
        written << Ini("preset_hero", "map0_distance");
    }
    EXPECT_EQ(written, (QStringList{"1", "1", "1.5"}));
    EXPECT_FALSE(borderRed());
    EXPECT_TRUE(distance.toolTip().isEmpty());

    // Loading the preset again fills the fields with numbers, which unmarks them.
    window->LoadPresetIntoWindow("hero");
    EXPECT_EQ(Find<QLineEdit>(*window, "output_searchdistance").text(), "0");
    EXPECT_FALSE(Find<QLineEdit>(*window, "output_searchdistance").property("invalid").toBool());
}

// A box that names a preset of 300 characters quotes it shortened in the middle, so that the box
// fits the screen; for the batch too, whose other checks name each preset they refuse.
TEST_F(GuiFieldTest, ABoxQuotesALongPresetNameShortened) {
    const QString name = QString("Longname").repeated(38).left(300);
    auto window = MakeBakeWindow();
    {
        KelvorTest::InputAnswer answer(name);
        window->addPresetHandler();
    }
    ASSERT_EQ(window->Model().PresetName(), name);
    FillCrate(*window, false, 64);
    SetItem(*window, "map0_maptype", "AO Map");
    SetText(*window, "map0_distance", "abc");
    store->settings.setValue("preset_" + name + "_batch_on", 1);

    MessageBoxes boxes;
    window->bake();
    window->actionBakeBatch();
    ASSERT_EQ(boxes.shown.size(), 2);
    for (const QString& shown : boxes.shown) {
        const QString quoted = shown.section('"', 1, 1);
        EXPECT_TRUE(quoted.startsWith("Longname") && quoted.endsWith("Long") && quoted.contains(QChar(0x2026)))
            << shown.toStdString();
        EXPECT_LT(quoted.size(), 100) << shown.toStdString();
    }
}

// What a session bakes from a typed number is what the next session bakes from the store.
TEST_F(GuiFieldTest, ATypedNumberBakesAsTheSameFloatAfterARestart) {
    struct Case {
        const char* field;
        const char* typed;
        float value;  // the float nearest to the typed number
        const char* stored;
        float (*baked)(const BakeJob& job);
    };
    const std::vector<Case> cases = {
        {"output_searchdistance", "1234.5678", 1234.5678f, "1234.5677", [](const BakeJob& j) { return j.searchDistance; }},
        {"output_rounding", "0,333333333", 0.333333333f, "0.33333334", [](const BakeJob& j) { return j.roundingDistance; }},
        {"map0_distance", "0.1", 0.1f, "0.1", [](const BakeJob& j) { return j.maps.at(0).aoDistance; }},
        {"map0_distance", "16777217", 16777216.0f, "16777216", [](const BakeJob& j) { return j.maps.at(0).aoDistance; }},
    };
    MakeHero().reset();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        ReopenStore();
        auto window = MakeBakeWindow();
        SetText(*window, c.field, c.typed);
        BakeJob typedJob;
        ASSERT_TRUE(window->ValidateAndFillJob(window->Model(), &typedJob));
        EXPECT_EQ(c.baked(typedJob), c.value);
        EXPECT_EQ(Ini("preset_hero", c.field), c.stored);

        window.reset();
        ReopenStore();
        window = MakeBakeWindow();
        EXPECT_EQ(Find<QLineEdit>(*window, c.field).text(), c.stored);
        BakeJob restartedJob;
        ASSERT_TRUE(window->ValidateAndFillJob(window->Model(), &restartedJob));
        EXPECT_EQ(c.baked(restartedJob), c.baked(typedJob));
    }

    // A store written with six digits reads as it always has.
    store->settings.setValue("preset_hero/output_searchdistance", "1234.57");
    ReopenStore();
    auto window = MakeBakeWindow();
    BakeJob job;
    ASSERT_TRUE(window->ValidateAndFillJob(window->Model(), &job));
    EXPECT_EQ(job.searchDistance, 1234.57f);
    EXPECT_EQ(Find<QLineEdit>(*window, "output_searchdistance").text(), "1234.57");
}

// A store from an earlier version may hold values outside their ranges: they are shown as they
// are, marked, left in the store, and refused by BAKE IT and by every batch that holds them.
TEST_F(GuiFieldTest, StoredValuesOutsideTheirRangesAreShownMarkedKeptAndNotBaked) {
    {
        auto window = MakeHero();
        KelvorTest::InputAnswer answer("other");
        window->addPresetHandler();
        SetItem(*window, "map0_maptype", "Normal Map");
        window->LoadPresetIntoWindow("hero");
    }
    store->settings.setValue("preset_hero/map0_spread", "1000");
    store->settings.setValue("preset_hero/output_dilation", -2);
    store->settings.setValue("preset_other/output_rounding", "-1");
    // A normal map does not use its spread, so a bad one there stops nothing.
    store->settings.setValue("preset_other/map0_spread", "-5");
    store->settings.setValue("preset_hero_batch_on", 1);
    store->settings.setValue("preset_other_batch_on", 1);
    ReopenStore();
    const QByteArray stored = FileBytes();

    auto window = MakeBakeWindow();
    auto& spread = Find<QLineEdit>(*window, "map0_spread");
    auto& dilation = Find<QLineEdit>(*window, "output_dilation");
    EXPECT_EQ(spread.text(), "1000");
    EXPECT_TRUE(spread.property("invalid").toBool());
    EXPECT_EQ(spread.toolTip(), "\"1000\" is not within 0 to 360: type a number from 0 to 360, such as 0.5 or 0,5.\n"
                                "Until then this field is not stored and this preset cannot be baked.");
    EXPECT_EQ(dilation.text(), "-2");
    EXPECT_TRUE(dilation.property("invalid").toBool());
    EXPECT_EQ(dilation.toolTip(), "\"-2\" is not within 0 to 2147483647: type a whole number from 0 to 2147483647, "
                                  "such as 7.\nUntil then this field is not stored and this preset cannot be baked.");
    EXPECT_EQ(FileBytes(), stored);

    MessageBoxes boxes;
    window->bake();
    const QString heroFields = "map row 1 (AO Map), spread: \"1000\" is not within 0 to 360\n"
                               "output settings, Dilation: \"-2\" is not within 0 to 2147483647";
    EXPECT_EQ(boxes.shown, QStringList{kRefusal + heroFields});
    boxes.shown.clear();
    window->actionBakeBatch();
    EXPECT_EQ(boxes.shown, (QStringList{kRefusal + heroFields,
                                        "Invalid setting: Preset \"other\" cannot be baked until these fields hold "
                                        "numbers in their ranges:\noutput settings, Rounding: \"-1\" is below 0"}));
    EXPECT_FALSE(window->Baking());
    EXPECT_TRUE(window->Jobs().empty());
    EXPECT_EQ(FileBytes(), stored);

    // A valid number typed over one is stored and clears its mark.
    spread.setText("359");
    EXPECT_FALSE(spread.property("invalid").toBool());
    EXPECT_EQ(Ini("preset_hero", "map0_spread"), "359");
}

TEST(FieldNumber, AFloatIsStoredWithTheDigitsThatReadItBackAsTheSameFloat) {
    // Six digits where they are enough, as earlier versions stored every float.
    for (const auto& [value, text] : std::vector<std::pair<float, QString>>{
             {0.1f, "0.1"}, {160.0f, "160"}, {2.5f, "2.5"}, {100000.0f, "100000"}, {0.001f, "0.001"}, {-0.0f, "0"},
             {1.0f / 3.0f, "0.33333334"}, {1234.5678f, "1234.5677"}})
        EXPECT_EQ(StoredFloatText(value), text);

    auto sameFloat = [](float value) {
        const QString text = StoredFloatText(value);
        const std::optional<float> read = ReadFloatField(text);
        return read && *read == value;
    };
    for (const float value : {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                              std::nextafter(360.0f, 400.0f), std::nextafter(1.0f, 0.0f)})
        EXPECT_TRUE(sameFloat(value)) << value << " " << StoredFloatText(value).toStdString();
    // Bit patterns spread over every finite float.
    int checked = 0;
    for (uint64_t i = 0; i < (uint64_t(1) << 32); i += 40009) {
        const uint32_t bits = uint32_t(i);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        ++checked;
        ASSERT_TRUE(sameFloat(value)) << bits << " " << StoredFloatText(value).toStdString();
    }
    EXPECT_GT(checked, 100000);
}

TEST(FieldNumber, ATextIsReadAsTheFloatNearestToIt) {
    // Just below halfway between 1 + 2^-23 and 1 + 2^-22: read through a double it lands on
    // halfway, which rounds to the even float above.
    const float below = std::nextafter(1.0f, 2.0f);
    EXPECT_EQ(ReadFloatField("1.0000001788139343261718749"), below);
    EXPECT_EQ(ReadFloatField(" 1,0000001788139343261718749 "), below);
    EXPECT_EQ(ReadFloatField("+2.5"), 2.5f);
    EXPECT_EQ(ReadFloatField("1e-50"), 0.0f);
    // The largest float and numbers that still round to it; past half its last step, too large.
    EXPECT_EQ(ReadFloatField("3.40282347e+38"), std::numeric_limits<float>::max());
    EXPECT_EQ(ReadFloatField("3.4028235e38"), std::numeric_limits<float>::max());
    QString problem;
    EXPECT_EQ(ReadFloatField("3.4028236e38", &problem), std::nullopt);
    EXPECT_EQ(problem, "\"3.4028236e38\" is too large");
}

TEST(FieldNumber, EachKindOfRangeHoldsAtItsBoundsAndRefusesJustOutside) {
    const float infinity = std::numeric_limits<float>::infinity();
    const int most = std::numeric_limits<int>::max();
    struct Case {
        const char* text;
        std::optional<double> value;
        const char* problem;
    };
    auto checkFloat = [](float minimum, float maximum, const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            QString problem = "unset";
            const std::optional<float> read = ReadFloatField(c.text, minimum, maximum, &problem);
            EXPECT_EQ(read.has_value(), c.value.has_value()) << c.text;
            if (read && c.value) {
                EXPECT_EQ(*read, float(*c.value)) << c.text;
            }
            EXPECT_EQ(problem, c.problem) << c.text;
        }
    };
    checkFloat(0.0f, 360.0f,
               {{"0", 0.0, ""},
                {"-0", 0.0, ""},
                {"360", 360.0, ""},
                {"359.99997", 359.99997, ""},
                {"360.0001", {}, "\"360.0001\" is not within 0 to 360"},
                {"-1e-45", {}, "\"-1e-45\" is not within 0 to 360"},
                {"abc", {}, "\"abc\" is not a number"}});
    checkFloat(0.0f, infinity,
               {{"0", 0.0, ""},
                {"3.4e38", 3.4e38, ""},
                {"-1e-45", {}, "\"-1e-45\" is below 0"},
                {"-0,5", {}, "\"-0,5\" is below 0"}});
    for (const Case& c : std::vector<Case>{{"0", 0.0, ""},
                                           {"2147483647", 2147483647.0, ""},
                                           {"-1", {}, "\"-1\" is not within 0 to 2147483647"},
                                           {"-2147483648", {}, "\"-2147483648\" is not within 0 to 2147483647"},
                                           {"2147483648", {}, "\"2147483648\" is not within 0 to 2147483647"},
                                           {"1,5", {}, "\"1,5\" is not a whole number"}}) {
        QString problem = "unset";
        const std::optional<int> read = ReadIntField(c.text, 0, most, &problem);
        EXPECT_EQ(read.has_value(), c.value.has_value()) << c.text;
        if (read && c.value) {
            EXPECT_EQ(*read, int(*c.value)) << c.text;
        }
        EXPECT_EQ(problem, c.problem) << c.text;
    }
}
