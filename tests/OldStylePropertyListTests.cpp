#include "OldStylePropertyList.h"

#include <gtest/gtest.h>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

TEST(OldStylePropertyList, ReadsStringsArraysDictionariesAndData)
{
    struct Case {
        std::string text;
        PropertyValue expected;
    };
    const Case cases[] = { { "(de, en, fr)", Array { "de", "en", "fr" } }, { "()", Array {} }, { "{}", Dictionary {} },
        { "\"\"", "" }, { "(a, b,)", Array { "a", "b" } }, { "\"quoted text\"", "quoted text" },
        { "'single'", "single" }, { "  ( \"x y\" , $path/to:file.v-1_2 )  ", Array { "x y", "$path/to:file.v-1_2" } },
        { "{a = (1, \"two\"); \"b c\" = {d = e;}; }",
            Dictionary { { "a", Array { "1", "two" } }, { "b c", Dictionary { { "d", "e" } } } } },
        { "{k = 1; k = 2;}", Dictionary { { "k", "2" } } },
        { "(de /* first */, // second\n en) // end", Array { "de", "en" } }, { "/* lead */ (x)", Array { "x" } },
        { "(a//b\n)", Array { "a" } }, { "<0fA1 ff>", PropertyValue::Data { "\x0f\xa1\xff" } },
        { "\"\\\"\\\\\\n\\t\\101\\q\"", "\"\\\n\tAq" }, { "\"\\351\"", "é" }, { "\"\\U00e9\\U65E5\"", "é日" },
        { "\"\\Ud83d\\Ude00\"", "😀" }, { "\"\\Ud83dx\\Ude00\"", "\xEF\xBF\xBDx\xEF\xBF\xBD" },
        { "((((x))))", Array { Array { Array { Array { "x" } } } } } };
    for (const auto& c : cases)
        EXPECT_EQ(parseOldStylePropertyList(c.text), c.expected) << c.text;
}

TEST(OldStylePropertyList, RefusesMalformedText)
{
    const std::string cases[] = { "", "   ", "(", "(a", "(a b)", "(a,,b)", "(a) b", ")", "a b", "a=b", "\"x\" \"y\"",
        "{a = b}", "{a b;}", "{= b;}", "{(a) = b;}", "\"open", "\"bad escape\\", "\"\\U\"", "<0f", "<0fa>", "<zz>",
        "/* open", "(a /* open)" };
    for (const auto& text : cases)
        EXPECT_EQ(parseOldStylePropertyList(text), std::nullopt) << text;
}

TEST(OldStylePropertyList, BoundsNesting)
{
    auto nested
        = [](size_t depth, char open, char close) { return std::string(depth, open) + std::string(depth, close); };
    EXPECT_TRUE(parseOldStylePropertyList(nested(maximumOldStylePropertyListDepth, '(', ')')));
    EXPECT_FALSE(parseOldStylePropertyList(nested(maximumOldStylePropertyListDepth + 1, '(', ')')));
    // Far past the bound: refused without exhausting the stack.
    EXPECT_FALSE(parseOldStylePropertyList(nested(1'000'000, '(', ')')));
    std::string dictionaries;
    for (int i = 0; i < 100'000; ++i)
        dictionaries += "{a=";
    EXPECT_FALSE(parseOldStylePropertyList(dictionaries));
}
