// How the client's report writes a value: see ReportLine.h.
#include "ReportLine.h"

#include <cstdint>
#include <cstdio>

// Length of the UTF-8 sequence at the start of text that is safe to show as
// it is, or 0 when its bytes must be escaped.
static size_t printableUTF8Length(std::string_view text)
{
    auto byte = [&](size_t index) { return static_cast<unsigned char>(text[index]); };
    unsigned char lead = byte(0);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (!length || text.size() < length)
        return 0;
    uint32_t codePoint = lead & (0x7Fu >> length);
    for (size_t index = 1; index < length; ++index) {
        if ((byte(index) & 0xC0) != 0x80)
            return 0;
        codePoint = codePoint << 6 | (byte(index) & 0x3F);
    }
    bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    bool invalid = codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF);
    bool breaksLines = codePoint <= 0x9F || codePoint == 0x2028 || codePoint == 0x2029;
    return overlong || invalid || breaksLines ? 0 : length;
}

std::string reportValue(std::string_view value)
{
    bool bare = !value.empty();
    for (unsigned char c : value)
        bare = bare && c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '=';
    if (bare)
        return std::string { value };

    std::string quoted = "\"";
    for (size_t index = 0; index < value.size();) {
        unsigned char c = static_cast<unsigned char>(value[index]);
        if (c >= 0x80) {
            if (size_t length = printableUTF8Length(value.substr(index))) {
                quoted.append(value.substr(index, length));
                index += length;
                continue;
            }
        }
        switch (c) {
        case '\\':
            quoted += "\\\\";
            break;
        case '"':
            quoted += "\\\"";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02X", c);
                quoted += escape;
            } else {
                quoted += static_cast<char>(c);
            }
        }
        ++index;
    }
    return quoted + "\"";
}
