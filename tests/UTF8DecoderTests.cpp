#include "UTF8Decoder.h"

#include <gtest/gtest.h>
#include <random>

using platform::UTF8Decoder;

namespace {

const std::string replacement = "\xEF\xBF\xBD";

std::string decodeInPieces(std::string_view bytes, const std::vector<size_t>& cuts)
{
    UTF8Decoder decoder;
    std::string text;
    size_t start = 0;
    for (size_t cut : cuts) {
        text += decoder.decode(bytes.substr(start, cut - start));
        start = cut;
    }
    text += decoder.decode(bytes.substr(start));
    text += decoder.finish();
    return text;
}

}

TEST(UTF8Decoder, CharacterSplitAtEveryOffsetComesOutWhole)
{
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xED\x9F\xBF\xF4\x8F\xBF\xBF";
    for (size_t first = 0; first <= text.size(); ++first) {
        for (size_t second = first; second <= text.size(); ++second) {
            UTF8Decoder decoder;
            std::string_view bytes { text };
            std::string pieces[3];
            pieces[0] = decoder.decode(bytes.substr(0, first));
            pieces[1] = decoder.decode(bytes.substr(first, second - first));
            pieces[2] = decoder.decode(bytes.substr(second));
            EXPECT_FALSE(decoder.hasPendingBytes());
            EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], text) << first << " " << second;
            for (const auto& piece : pieces)
                EXPECT_TRUE(platform::isValidUTF8(piece)) << "no piece holds half a character";
        }
    }
}

TEST(UTF8Decoder, IllFormedBytesBecomeReplacementCharacters)
{
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
    // The same, whatever the pieces.
    for (const auto& [bytes, text] : cases) {
        for (size_t cut = 0; cut <= bytes.size(); ++cut)
            EXPECT_EQ(decodeInPieces(bytes, { cut }), text) << bytes << " cut " << cut;
    }
}

TEST(UTF8Decoder, FastValidationAgreesWithTheReference)
{
    // Random text built from valid pieces, then damaged now and then; long
    // enough to cross the 32- and 128-byte blocks of the fast path.
    const std::vector<std::string> alphabet = { "a", "Z", " ", "\n", "\xC3\xA9", "\xDF\xBF", "\xE0\xA0\x80",
        "\xE2\x82\xAC", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF" };
    std::mt19937 random { 12345 }; // NOLINT(cert-msc32-c,cert-msc51-cpp): a fixed start, so a failure can be replayed
    for (int round = 0; round < 4000; ++round) {
        std::string bytes;
        size_t length = random() % 300;
        while (bytes.size() < length)
            bytes += alphabet[random() % alphabet.size()];
        if (round % 2 && !bytes.empty())
            bytes[random() % bytes.size()] = static_cast<char>(random());
        if (round % 5 == 0 && !bytes.empty())
            bytes.resize(random() % bytes.size());
        // The reference: the decoder, one character or ill-formed subpart at a
        // time, leaves valid text as it is; in pieces it gives what it gives at once.
        std::string whole = decodeInPieces(bytes, {});
        ASSERT_EQ(platform::isValidUTF8(bytes), whole == bytes) << round;
        ASSERT_EQ(decodeInPieces(bytes, { bytes.empty() ? 0 : random() % bytes.size() }), whole) << round;
    }
}

TEST(UTF8Decoder, InPlaceDecodingPutsTheHeldBackCharacterInTheHeadroom)
{
    // Two reads into buffers with headroom, the euro sign split between them.
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
