#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/objtokenizer.h"
#include "support/testsupport.h"

using namespace Pallix::Bake;

namespace {

std::vector<std::string> AllLines(ObjTokenizer& reader) {
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.NextLine(line)) lines.emplace_back(line);
    return lines;
}

}  // namespace

TEST(ObjTokenizer, EveryKindOfLineEndAndAByteOrderMark) {
    const std::string text = "\xEF\xBB\xBFv 1 2 3\rv 4 5 6\r\n\r\nf 1 2\n\rlast\r";
    const std::vector<std::string> expected = {"v 1 2 3", "v 4 5 6", "", "f 1 2", "", "last"};
    ObjTokenizer memory(text.data(), text.size());
    EXPECT_EQ(AllLines(memory), expected);
    EXPECT_EQ(memory.LineNumber(), 6);
    // Only a mark at the very start is skipped.
    const std::string inside = "v 1 2 3\n\xEF\xBB\xBF#";
    ObjTokenizer later(inside.data(), inside.size());
    EXPECT_EQ(AllLines(later), (std::vector<std::string>{"v 1 2 3", "\xEF\xBB\xBF#"}));
}

TEST(ObjTokenizer, TokensAndNumbersStayInsideTheirView) {
    std::string_view text = " \tf  1/2/3 \v4 ";
    EXPECT_EQ(ObjTokenizer::NextToken(text), "f");
    EXPECT_EQ(ObjTokenizer::NextToken(text), "1/2/3");
    EXPECT_EQ(ObjTokenizer::NextToken(text), "4");
    EXPECT_EQ(ObjTokenizer::NextToken(text), "");

    // The view ends inside a longer buffer: the parser must not read the digits after it.
    const std::string buffer = "1.5 2.2512345";
    std::string_view bounded(buffer.data(), 7);
    double a = 0, b = 0, c = 0;
    EXPECT_TRUE(ObjTokenizer::ParseDouble(bounded, a));
    EXPECT_TRUE(ObjTokenizer::ParseDouble(bounded, b));
    EXPECT_EQ(a, 1.5);
    EXPECT_EQ(b, 2.2);
    EXPECT_FALSE(ObjTokenizer::ParseDouble(bounded, c));
    EXPECT_TRUE(bounded.empty());

    // Overflow gives infinity, which the importer then refuses; a failed parse leaves the view.
    std::string_view huge = "1e400 +-1";
    EXPECT_TRUE(ObjTokenizer::ParseDouble(huge, a));
    EXPECT_TRUE(std::isinf(a) && a > 0);
    const std::string_view before = huge;
    EXPECT_FALSE(ObjTokenizer::ParseDouble(huge, c));
    EXPECT_EQ(huge, before);

    // Every number out of range becomes what strtod makes of it in the C locale, whatever
    // decimal point the process's locale has.
    const char* farOut[] = {"12.5e307", "-0.0001e312", "1e-400", "-123.4e-330", "0.000e999", "1e99999999999999999999",
                            "7e-99999999999999999999", "000012e306", "0.004e-320"};
    const auto parseAll = [&farOut] {
        std::vector<double> values;
        for (const char* text : farOut) {
            std::string_view view = text;
            double value = -1.0;
            EXPECT_TRUE(ObjTokenizer::ParseDouble(view, value)) << text;
            values.push_back(value);
        }
        return values;
    };
    std::vector<double> expected;
    for (const char* text : farOut) expected.push_back(std::strtod(text, nullptr));
    EXPECT_EQ(parseAll(), expected);
    // German numbers write their decimal point as a comma.
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string made = "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' > /dev/null 2>&1";
    ASSERT_EQ(std::system(made.c_str()), 0) << "the locales package makes a German locale";
    setenv("LOCPATH", folder.Path().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    EXPECT_EQ(parseAll(), expected);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");

    std::string_view ints = "12/5 -7 +3 99999999999999999999 x";
    int64_t i = 0;
    EXPECT_TRUE(ObjTokenizer::ParseInt(ints, i));
    EXPECT_EQ(i, 12);
    EXPECT_EQ(ints.front(), '/');
    ints.remove_prefix(2);
    EXPECT_TRUE(ObjTokenizer::ParseInt(ints, i));
    EXPECT_EQ(i, -7);
    EXPECT_TRUE(ObjTokenizer::ParseInt(ints, i));
    EXPECT_EQ(i, 3);
    EXPECT_FALSE(ObjTokenizer::ParseInt(ints, i));  // overflow
    ObjTokenizer::NextToken(ints);
    EXPECT_FALSE(ObjTokenizer::ParseInt(ints, i));
}

// Numbers of every length, exponents of twenty digits and more among them, read as strtod reads
// them in the C locale: the same double to the bit and the same characters consumed.
TEST(ObjTokenizer, NumbersOfAnyLengthReadAsStrtodReadsThem) {
    std::mt19937 random(20261209);
    auto digits = [&](int most, bool leadingZeros) {
        std::string text;
        const int count = int(random() % unsigned(most + 1));
        for (int i = 0; i < count; ++i) text += char('0' + (leadingZeros && i < count / 2 ? 0 : random() % 10));
        return text;
    };
    const char* exponents[] = {"", "0", "7", "38", "300", "307", "308", "309", "320", "324", "330", "9223372036854775807",
                               "9223372036854775808", "99999999999999999999", "0000000000000000000001", "00000000000000000000308"};
    for (int n = 0; n < 20000; ++n) {
        std::string text;
        if (random() % 4 == 0) text += random() % 2 ? '-' : '+';
        text += digits(25, random() % 3 == 0);
        if (random() % 2) text += '.' + digits(25, random() % 3 == 0);
        if (random() % 4 != 0) {
            text += random() % 2 ? 'e' : 'E';
            if (random() % 3 != 0) text += random() % 2 ? '-' : '+';
            text += random() % 3 == 0 ? digits(24, random() % 2 == 0) : exponents[random() % std::size(exponents)];
        }
        text += random() % 2 ? " 1" : "";
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        std::string_view view = text;
        double value = -7.0;
        const bool parsed = ObjTokenizer::ParseDouble(view, value);
        ASSERT_EQ(parsed, end != text.c_str()) << text;
        if (!parsed) continue;
        ASSERT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << text << " gave " << value << ", strtod " << expected;
        ASSERT_EQ(text.size() - view.size(), size_t(end - text.c_str())) << text;
    }
}
