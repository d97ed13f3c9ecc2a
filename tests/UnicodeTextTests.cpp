#include "UnicodeText.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Strict UTF-8 check, independent of the code under test.
bool isValidUTF8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
            : lead >= 0xE0 && lead <= 0xEF                             ? 3
            : lead >= 0xF0 && lead <= 0xF4                             ? 4
                                                                       : 0;
        if (!length || i + length > text.size())
            return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t minimum[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (c < minimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string encode(char32_t c)
{
    std::string out;
    if (c < 0x80)
        out += static_cast<char>(c);
    else if (c < 0x800)
        out += { static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F)) };
    else if (c < 0x10000)
        out += { static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F)) };
    else
        out += { static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F)) };
    return out;
}

}

TEST(UnicodeText, CountsCharactersNotBytes)
{
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_EQ(characterCount("de"), 2u);
    EXPECT_EQ(characterCount("pt_BR"), 5u);
    EXPECT_EQ(characterCount("é"), 1u);
    EXPECT_EQ(characterCount("ñu"), 2u);
    EXPECT_EQ(characterCount("日本"), 2u);
    EXPECT_EQ(characterCount("😀a"), 2u);
    // Bytes that start no well-formed sequence count one each.
    EXPECT_EQ(characterCount("\xff\xfe"), 2u);
    EXPECT_EQ(characterCount("\xc3"), 1u);
    EXPECT_EQ(characterCount("\xe6\x97"), 2u);
    EXPECT_EQ(characterCount("\xc0\xaf"), 2u); // overlong
    EXPECT_EQ(characterCount("\xed\xa0\x80"), 3u); // surrogate
}

TEST(UnicodeText, UppercasesWithoutBreakingTheEncoding)
{
    EXPECT_EQ(uppercaseString("de"), "DE");
    EXPECT_EQ(uppercaseString("pT_br-9"), "PT_BR-9");
    EXPECT_EQ(uppercaseString("çàÿ"), "ÇÀŸ");
    EXPECT_EQ(uppercaseString("÷×"), "÷×");
    EXPECT_EQ(uppercaseString("ß"), "SS");
    EXPECT_EQ(uppercaseString("ıi"), "II");
    EXPECT_EQ(uppercaseString("ğłžœ"), "ĞŁŽŒ");
    EXPECT_EQ(uppercaseString("αβςά"), "ΑΒΣΆ");
    EXPECT_EQ(uppercaseString("жё"), "ЖЁ");
    EXPECT_EQ(uppercaseString("日本"), "日本");
    EXPECT_EQ(uppercaseString("a\xff"
                              "b\xe6\x97"),
        "A\xff"
        "B\xe6\x97");

    // Every character, upper-cased, is still well-formed and is changed only
    // where it is a lower-case letter.
    // Beyond the first plane, a sample: nothing there is mapped.
    for (char32_t c = 0; c <= 0x10FFFF; c += c < 0x10000 ? 1 : 0x3FF) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        std::string upper = uppercaseString(encode(c));
        ASSERT_TRUE(isValidUTF8(upper)) << std::hex << static_cast<uint32_t>(c);
        auto code = static_cast<uint32_t>(c);
        if (c < 0x80) {
            ASSERT_EQ(upper, std::string(1, static_cast<char>(std::toupper(static_cast<int>(c))))) << code;
        }
        if (c >= 0x500) {
            ASSERT_EQ(upper, encode(c)) << std::hex << code;
        }
        ASSERT_EQ(uppercaseString(upper), upper) << std::hex << static_cast<uint32_t>(c);
    }
}
