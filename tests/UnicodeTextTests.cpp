#include "UTF8Decoder.h"
#include "UnicodeText.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// UTF-8 of one code point, written independently of the code under test.
std::string encode(char32_t c)
{
    size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string out(length, '\0');
    for (size_t k = length - 1; k > 0; --k, c >>= 6)
        out[k] = static_cast<char>(0x80 | (c & 0x3F));
    static constexpr unsigned char leads[] = { 0, 0, 0xC0, 0xE0, 0xF0 };
    out[0] = static_cast<char>(leads[length] | c);
    return out;
}

}

TEST(UnicodeText, CountsCharactersNotBytes)
{
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_EQ(characterCount("pt_BR"), 5u);
    EXPECT_EQ(characterCount("ñu"), 2u);
    EXPECT_EQ(characterCount("日本"), 2u);
    EXPECT_EQ(characterCount("😀a"), 2u);
    // Bytes that start no well-formed sequence count one each.
    EXPECT_EQ(characterCount("\xff\xfe"), 2u);
    EXPECT_EQ(characterCount("\xe6\x97"), 2u); // truncated
    EXPECT_EQ(characterCount("\xc0\xaf"), 2u); // overlong
    EXPECT_EQ(characterCount("\xed\xa0\x80"), 3u); // surrogate
}

TEST(UnicodeText, UppercasesWithoutBreakingTheEncoding)
{
    EXPECT_EQ(uppercaseString("pT_br-9"), "PT_BR-9");
    EXPECT_EQ(uppercaseString("çàÿ"), "ÇÀŸ");
    EXPECT_EQ(uppercaseString("÷×"), "÷×");
    EXPECT_EQ(uppercaseString("ß"), "SS");
    EXPECT_EQ(uppercaseString("ıi"), "II");
    EXPECT_EQ(uppercaseString("ğłžœ"), "ĞŁŽŒ");
    EXPECT_EQ(uppercaseString("αβςά"), "ΑΒΣΆ");
    EXPECT_EQ(uppercaseString("жё"), "ЖЁ");
    EXPECT_EQ(uppercaseString("a\xff"
                              "b\xe6\x97"),
        "A\xff"
        "B\xe6\x97");

    // Every character, upper-cased, is still well-formed, stays so when
    // upper-cased again, and is changed only where it is a lower-case letter.
    // Beyond the first plane, a sample: nothing there is mapped.
    for (char32_t c = 0; c <= 0x10FFFF; c += c < 0x10000 ? 1 : 0x3FF) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        auto code = static_cast<uint32_t>(c);
        std::string encoded;
        appendUTF8(encoded, c);
        ASSERT_EQ(encoded, encode(c)) << std::hex << code;
        std::string upper = uppercaseString(encoded);
        ASSERT_TRUE(isValidUTF8(upper)) << std::hex << code;
        if (c < 0x80) {
            ASSERT_EQ(upper, std::string(1, static_cast<char>(std::toupper(static_cast<int>(c))))) << code;
        }
        if (c >= 0x500) {
            ASSERT_EQ(upper, encoded) << std::hex << code;
        }
        ASSERT_EQ(uppercaseString(upper), upper) << std::hex << code;
    }
}
