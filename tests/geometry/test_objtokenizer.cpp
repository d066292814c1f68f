#include <cmath>
#include <cstdio>
#include <filesystem>
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

TEST(ObjTokenizer, ReadsFileLinesLongerThanItsBuffer) {
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "mesh.obj").string();
    const std::string longLine(3 * 1024 * 1024 + 17, 'x');  // three times the read chunk
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("first\n", f);
        std::fputs(longLine.c_str(), f);
        std::fputs("\r\nv 1 2 3", f);
        std::fclose(f);
    }
    ObjTokenizer reader(path.c_str());
    ASSERT_TRUE(reader.IsOpen());
    const std::vector<std::string> lines = AllLines(reader);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], longLine);
    EXPECT_EQ(lines[2], "v 1 2 3");
    EXPECT_FALSE(reader.ReadFailed());

    ObjTokenizer missing("/nonexistent/kelvor.obj");
    EXPECT_FALSE(missing.IsOpen());
}

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

    // From a file, a CR LF pair split between two reads is still one line end.
    const KelvorTest::TempFolder folder("kelvor-geometry");
    const std::string path = (folder / "split.obj").string();
    const std::string first(1024 * 1024 - 1, 'x');
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("\xEF\xBB\xBF", f);
        std::fputs(first.c_str(), f);
        std::fputs("\r\nv 1 2 3\r", f);
        std::fclose(f);
    }
    ObjTokenizer file(path.c_str());
    const std::vector<std::string> lines = AllLines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], "v 1 2 3");
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
