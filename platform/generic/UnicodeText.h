#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Character counting and case mapping over UTF-8 text. A byte that does not
// start a well-formed sequence counts as one character and is copied as it
// is, so text that is not UTF-8 keeps its bytes and valid text stays valid.
size_t characterCount(std::string_view text);
// Full upper-case mapping (ß becomes "SS").
std::string uppercaseString(std::string_view text);

// The character at the start of text (which must not be empty) and how many
// bytes it takes; an ill-formed sequence reads as U+FFFD, one per maximal
// subpart, as UTF8Decoder reads it.
size_t decodeCharacter(std::string_view text, char32_t& codePoint);
// Appends the UTF-8 encoding of one code point (U+FFFD for a surrogate or
// anything past U+10FFFF).
void appendUTF8(std::string& out, char32_t codePoint);

}
