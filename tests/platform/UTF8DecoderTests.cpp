#include "UTF8Decoder.h"

#include <gtest/gtest.h>

// However the bytes are cut into three pieces, the text is the same, and no
// piece holds part of a character. Decoding in place, as the task wrapper
// reads: TaskWrapperTests.
TEST(UTF8Decoder, SplitCharactersComeOutWholeAndIllFormedBytesBecomeReplacementCharacters)
{
    const std::string bytes = "a\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80\342\202x\xF0\x9F\x98";
    const std::string replacement = "\xEF\xBF\xBD";
    const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80" + replacement + replacement + replacement + replacement + "x"
        + replacement; // a surrogate, a truncated character, one cut off at the end
    EXPECT_FALSE(platform::isValidUTF8(bytes));
    for (size_t first = 0; first <= bytes.size(); ++first) {
        for (size_t second = first; second <= bytes.size(); ++second) {
            platform::UTF8Decoder decoder;
            std::string_view view { bytes };
            std::string pieces[] = { std::string { decoder.decode(view.substr(0, first)) },
                std::string { decoder.decode(view.substr(first, second - first)) },
                std::string { decoder.decode(view.substr(second)) }, std::string { decoder.finish() } };
            EXPECT_EQ(pieces[0] + pieces[1] + pieces[2] + pieces[3], text) << first << " " << second;
            for (const auto& piece : pieces)
                EXPECT_TRUE(platform::isValidUTF8(piece)) << first << " " << second;
        }
    }
}
