#include "OldStylePropertyList.h"

#include <gtest/gtest.h>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

TEST(OldStylePropertyList, ReadsStringsArraysDictionariesAndData)
{
    const std::pair<std::string, PropertyValue> cases[] = { { " ( \"x y\" , 'z', $path/to:file.v-1_2, ) ",
                                                                Array { "x y", "z", "$path/to:file.v-1_2" } },
        { "{a = (); \"b c\" = {d = e;}; k = 1; k = 2;}",
            Dictionary { { "a", Array {} }, { "b c", Dictionary { { "d", "e" } } }, { "k", "2" } } },
        { "/* lead */ (de /* first */, // second\n en, a//b\n) // end", Array { "de", "en", "a" } },
        { "<0fA1 ff>", PropertyValue::Data { "\x0f\xa1\xff" } }, { "\"\\\"\\\\\\n\\t\\101\\q\\351\"", "\"\\\n\tAqé" },
        // \U escapes are UTF-16 units: a pair is one character, a lone half U+FFFD.
        { "\"\\U00e9\\U65E5\\Ud83d\\Ude00\"", "é日😀" }, { "\"\\Ud83dx\\Ude00\"", "\xEF\xBF\xBDx\xEF\xBF\xBD" } };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parseOldStylePropertyList(text), expected) << text;
}

// Nesting is bounded: far past the bound is refused without exhausting the stack.
TEST(OldStylePropertyList, RefusesMalformedTextAndDeepNesting)
{
    auto nested = [](size_t depth) { return std::string(depth, '(') + std::string(depth, ')'); };
    EXPECT_TRUE(parseOldStylePropertyList(nested(maximumOldStylePropertyListDepth)));
    const std::string cases[] = { "", "(", "(a b)", "(a,,b)", "(a) b", ")", "a b", "{a = b}", "{a b;}", "{(a) = b;}",
        "\"open", "\"bad escape\\", "\"\\U\"", "<0fa>", "<zz>", "(a /* open)", "/* open",
        nested(maximumOldStylePropertyListDepth + 1), nested(1'000'000) };
    for (const auto& text : cases)
        EXPECT_EQ(parseOldStylePropertyList(text), std::nullopt) << text.substr(0, 40);
}
