// How the client's report writes a value: see ReportLine.h.
#include "ReportLine.h"

#include <cstdio>
#include <glib.h>

// Length of the UTF-8 sequence at the start of text that is safe to show as
// it is, or 0 when its bytes must be escaped (ill-formed, cut off, or a
// character that breaks lines).
static size_t printableUTF8Length(std::string_view text)
{
    gunichar codePoint = g_utf8_get_char_validated(text.data(), static_cast<gssize>(text.size()));
    // Failures come back as (gunichar) -1 and -2, past the last code point.
    if (codePoint > 0x10FFFF || codePoint <= 0x9F || codePoint == 0x2028 || codePoint == 0x2029)
        return 0;
    return static_cast<size_t>(g_utf8_next_char(text.data()) - text.data());
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
