#include "UTF8Decoder.h"

#include <gtest/gtest.h>

using platform::UTF8Decoder;

TEST(UTF8Decoder, CharacterSplitAtEveryOffsetComesOutWhole)
{
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xED\x9F\xBF\xF4\x8F\xBF\xBF";
    for (size_t first = 0; first <= text.size(); ++first) {
        for (size_t second = first; second <= text.size(); ++second) {
            UTF8Decoder decoder;
            std::string_view bytes { text };
            std::string pieces[3] = { std::string { decoder.decode(bytes.substr(0, first)) },
                std::string { decoder.decode(bytes.substr(first, second - first)) },
                std::string { decoder.decode(bytes.substr(second)) } };
            EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], text) << first << " " << second;
            for (const auto& piece : pieces)
                EXPECT_TRUE(platform::isValidUTF8(piece)) << "no piece holds half a character";
        }
    }
}

TEST(UTF8Decoder, IllFormedBytesBecomeReplacementCharactersWhateverThePieces)
{
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        { "a\377b", "a" + replacement + "b" },
        { "\xC0\xAF", replacement + replacement }, // overlong
        { "\xE0\x80\xAF", replacement + replacement + replacement },
        { "\xED\xA0\x80", replacement + replacement + replacement }, // surrogate
        { "\xF4\x90\x80\x80", replacement + replacement + replacement + replacement }, // past U+10FFFF
        { "\342\202x", replacement + "x" }, // truncated, one maximal subpart
        { "\xF0\x9F\x98", replacement }, // cut off at the very end
        { "\x80\x80", replacement + replacement },
        { std::string("a\0b", 3), std::string("a\0b", 3) },
    };
    for (const auto& [bytes, text] : cases) {
        for (size_t cut = 0; cut <= bytes.size(); ++cut) {
            UTF8Decoder decoder;
            std::string decoded { decoder.decode(std::string_view { bytes }.substr(0, cut)) };
            decoded += decoder.decode(std::string_view { bytes }.substr(cut));
            EXPECT_EQ(decoded + std::string { decoder.finish() }, text) << bytes << " cut " << cut;
            EXPECT_EQ(platform::isValidUTF8(bytes), bytes == text);
        }
    }
}

TEST(UTF8Decoder, InPlaceDecodingPutsTheHeldBackCharacterInTheHeadroom)
{
    char first[8 + 4] = "....ab\xE2";
    char second[8 + 4] = "....\202\254cd";
    UTF8Decoder decoder;
    std::string_view text = decoder.decodeInPlace({ first + 4, 3 }, 4);
    EXPECT_EQ(text, "ab");
    EXPECT_EQ(text.data(), first + 4) << "no copy";
    text = decoder.decodeInPlace({ second + 4, 4 }, 4);
    EXPECT_EQ(text, "\342\202\254cd");
    EXPECT_EQ(text.data(), second + 3) << "the held-back byte went in front";
    // Without room in front it still comes out whole, as a copy.
    char third[] = "\xC3";
    char fourth[] = "\xA9!";
    EXPECT_EQ(decoder.decodeInPlace({ third, 1 }, 0), "");
    EXPECT_EQ(decoder.decodeInPlace({ fourth, 2 }, 0), "\xC3\xA9!");
}
