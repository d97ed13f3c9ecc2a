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
