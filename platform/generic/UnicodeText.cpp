// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "UnicodeText.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <unicase.h>
#include <unistr.h>

namespace platform {

static const uint8_t* units(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// Calls run on each well-formed run and illFormed on each byte between them.
template<typename Run, typename IllFormed>
static void forEachRun(std::string_view text, const Run& run, const IllFormed& illFormed)
{
    while (!text.empty()) {
        const uint8_t* bad = u8_check(units(text), text.size());
        size_t good = bad ? static_cast<size_t>(bad - units(text)) : text.size();
        if (good)
            run(text.substr(0, good));
        if (!bad)
            return;
        illFormed(text[good]);
        text.remove_prefix(good + 1);
    }
}

size_t characterCount(std::string_view text)
{
    size_t count = 0;
    forEachRun(
        text, [&](std::string_view run) { count += u8_mbsnlen(units(run), run.size()); }, [&](char) { ++count; });
    return count;
}

std::string uppercaseString(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    forEachRun(
        text,
        [&](std::string_view run) {
            size_t length = 0;
            std::unique_ptr<uint8_t, decltype(&std::free)> upper {
                u8_toupper(units(run), run.size(), nullptr, nullptr, nullptr, &length), &std::free
            };
            // Only memory can run out here: the run is well-formed.
            if (!upper)
                throw std::bad_alloc();
            result.append(reinterpret_cast<const char*>(upper.get()), length);
        },
        [&](char byte) { result += byte; });
    return result;
}

size_t decodeCharacter(std::string_view text, char32_t& codePoint)
{
    ucs4_t character = 0;
    int length = u8_mbtoucr(&character, units(text), text.size());
    if (length > 0) {
        codePoint = character;
        return static_cast<size_t>(length);
    }
    // The maximal subpart: the longest start that could still begin a character.
    size_t subpart = 1;
    while (subpart < std::min<size_t>(text.size(), 3) && u8_mbtoucr(&character, units(text), subpart + 1) == -2)
        ++subpart;
    codePoint = 0xFFFD;
    return subpart;
}

void appendUTF8(std::string& out, char32_t codePoint)
{
    uint8_t buffer[6];
    int length = u8_uctomb(buffer, codePoint, sizeof buffer);
    if (length <= 0)
        length = u8_uctomb(buffer, 0xFFFD, sizeof buffer);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

}
