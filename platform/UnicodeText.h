#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Character counting and case mapping over UTF-8 text. A byte that does not
// start a well-formed sequence counts as one character and is left as it is.

size_t characterCount(std::string_view text);

// Appends the UTF-8 encoding of one code point.
void appendUTF8(std::string& out, char32_t codePoint);

// Upper-cases ASCII, Latin-1, Latin Extended-A, basic Greek and Cyrillic
// (ß becomes "SS"); every other character is kept unchanged, so valid UTF-8
// stays valid.
std::string uppercaseString(std::string_view text);

}
