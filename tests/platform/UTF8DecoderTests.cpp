#include "UTF8Decoder.h"

#include <gtest/gtest.h>

// However the bytes are cut into three pieces, the text is the same, and no piece holds part of a character.
TEST(UTF8Decoder, SplitCharactersComeOutWholeAndIllFormedBytesBecomeReplacementCharacters)
{
    const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xED\x9F\xBF\xF4\x8F\xBF\xBF";
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        { valid, valid },
        { "a\377b", "a" + replacement + "b" },
        { "\xC0\xAF", replacement + replacement }, // overlong
        { "\xE0\x80\xAF", replacement + replacement + replacement },
        { "\xED\xA0\x80", replacement + replacement + replacement }, // surrogate
        { "\xF4\x90\x80\x80", replacement + replacement + replacement + replacement }, // past U+10FFFF
        { "\342\202x", replacement + "x" }, // truncated, one maximal subpart
        { "\xF0\x9F\x98", replacement }, // cut off at the very end
        { std::string("a\0b", 3), std::string("a\0b", 3) },
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(platform::isValidUTF8(bytes), bytes == text) << bytes;
        for (size_t first = 0; first <= bytes.size(); ++first) {
            for (size_t second = first; second <= bytes.size(); ++second) {
                platform::UTF8Decoder decoder;
                std::string_view view { bytes };
                std::string pieces[] = { std::string { decoder.decode(view.substr(0, first)) },
                    std::string { decoder.decode(view.substr(first, second - first)) },
                    std::string { decoder.decode(view.substr(second)) }, std::string { decoder.finish() } };
                EXPECT_EQ(pieces[0] + pieces[1] + pieces[2] + pieces[3], text)
                    << bytes << " " << first << " " << second;
                for (const auto& piece : pieces)
                    EXPECT_TRUE(platform::isValidUTF8(piece)) << bytes << " " << first << " " << second;
            }
        }
    }
}
