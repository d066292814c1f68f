#include "gui/baketest.h"

#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QLocale>
#include <QTest>

#include <clocale>
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

const QString kRefusal = "Invalid setting: Preset \"hero\" cannot be baked until these fields hold numbers:\n";

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
               {"x", {}, {}, "output settings, Dilation: \"x\" is not a number"}},
              [](const BakeJob& job) { return double(job.dilation); }, "3");
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
    EXPECT_EQ(distance.toolTip(), "\"0,5x\" is not a number: type a number such as 0.5 or 0,5. Until then the last "
                                  "number is kept and this preset cannot be baked.");
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
