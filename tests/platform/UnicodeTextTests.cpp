#include "UnicodeText.h"

#include <gtest/gtest.h>

using namespace platform;

// Well-formed text is counted in characters and fully upper-cased; a byte
// that starts no well-formed sequence counts one and is copied unchanged.
TEST(UnicodeText, CountsAndUppercasesCharactersAndKeepsIllFormedBytes)
{
    // Ill-formed: a stray byte and a surrogate, a truncated character, an overlong form.
    const std::tuple<std::string, size_t, std::string> cases[]
        = { { "", 0, "" }, { "pT_br-9", 7, "PT_BR-9" }, { "ñu日😀", 4, "ÑU日😀" }, { "ßçÿıi", 5, "SSÇŸII" },
              { "αβςάжё", 6, "ΑΒΣΆЖЁ" }, { "\xff\xed\xa0\x80", 4, "\xff\xed\xa0\x80" },
              { "a\xe6\x97z", 4, "A\xe6\x97Z" }, { "\xc0\xafé", 3, "\xc0\xafÉ" } };
    for (const auto& [text, count, upper] : cases) {
        EXPECT_EQ(characterCount(text), count) << text;
        EXPECT_EQ(uppercaseString(text), upper) << text;
    }
}

// One U+FFFD per maximal ill-formed subpart, as UTF8Decoder reads it.
TEST(UnicodeText, DecodesCharactersAndIllFormedSubparts)
{
    std::u32string decoded;
    for (std::string_view rest = "a\xe6\x97z\xed\xa0\xc3\xa9\xf0\x9f\x98\x80\xf0\x9f\x98"; !rest.empty();) {
        char32_t codePoint = 0;
        rest.remove_prefix(decodeCharacter(rest, codePoint));
        decoded += codePoint;
    }
    EXPECT_EQ(decoded, U"a\uFFFDz\uFFFD\uFFFDé😀\uFFFD");
}
