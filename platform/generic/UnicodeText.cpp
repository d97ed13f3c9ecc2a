#include "UnicodeText.h"

#include <cstdint>

namespace platform {

// The length of the well-formed sequence at the start of text, or 0.
static size_t sequenceLength(std::string_view text, char32_t& codePoint)
{
    auto byte = [&](size_t index) { return static_cast<unsigned char>(text[index]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else
        return 0;
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void appendUTF8(std::string& out, char32_t c)
{
    if (c < 0x80)
        out += static_cast<char>(c);
    else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

size_t characterCount(std::string_view text)
{
    size_t count = 0;
    while (!text.empty()) {
        char32_t codePoint;
        size_t length = sequenceLength(text, codePoint);
        text.remove_prefix(length ? length : 1);
        ++count;
    }
    return count;
}

static char32_t uppercaseCharacter(char32_t c)
{
    if (c >= 'a' && c <= 'z')
        return c - 0x20;
    if (c == 0xB5) // micro sign
        return 0x39C;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return c - 0x20;
    if (c == 0xFF)
        return 0x178;
    if (c == 0x131) // dotless i
        return 'I';
    // Latin Extended-A pairs its cases as neighbours; which one is lower flips twice.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return c & 1 ? c - 1 : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return c & 1 ? c : c - 1;
    if (c == 0x17F) // long s
        return 'S';
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return c - 0x20;
    if (c == 0x3C2) // final sigma
        return 0x3A3;
    if (c >= 0x3AC && c <= 0x3AF) {
        static constexpr char32_t accented[] = { 0x386, 0x388, 0x389, 0x38A };
        return accented[c - 0x3AC];
    }
    if (c == 0x3CC)
        return 0x38C;
    if (c == 0x3CD || c == 0x3CE)
        return c - 0x3F;
    if (c >= 0x430 && c <= 0x44F)
        return c - 0x20;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    return c;
}

std::string uppercaseString(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        char32_t codePoint;
        size_t length = sequenceLength(text, codePoint);
        if (!length) {
            result += text[0];
            text.remove_prefix(1);
            continue;
        }
        if (codePoint == 0xDF)
            result += "SS";
        else
            appendUTF8(result, uppercaseCharacter(codePoint));
        text.remove_prefix(length);
    }
    return result;
}

}
