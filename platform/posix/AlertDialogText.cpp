// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's text: decoded and wrapped into lines.
#include "AlertText.h"
#include "UnicodeText.h"

namespace platform {

std::u32string decodeText(std::string_view text)
{
    std::u32string characters;
    while (!text.empty()) {
        char32_t codePoint = 0;
        text.remove_prefix(decodeCharacter(text, codePoint));
        characters.push_back(codePoint);
    }
    return characters;
}

// Where the next line of a paragraph ends: the last break that fits, else
// as many characters as fit (at least one).
static size_t lineEnd(std::u32string_view paragraph, int width, const TextWidth& measure)
{
    size_t fitting = 1;
    while (fitting < paragraph.size() && measure(paragraph.substr(0, fitting + 1)) <= width)
        ++fitting;
    if (fitting == paragraph.size())
        return fitting;
    for (size_t end = fitting; end > 0; --end) {
        if (paragraph[end] == U' ' || paragraph[end - 1] == U'/')
            return end;
    }
    return fitting;
}

static void wrapParagraph(
    std::u32string_view paragraph, int width, const TextWidth& measure, std::vector<std::u32string>& lines)
{
    do {
        size_t end = paragraph.empty() ? 0 : lineEnd(paragraph, width, measure);
        std::u32string_view line = paragraph.substr(0, end);
        while (!line.empty() && line.back() == U' ')
            line.remove_suffix(1);
        lines.emplace_back(line);
        paragraph.remove_prefix(end);
        while (!paragraph.empty() && paragraph.front() == U' ')
            paragraph.remove_prefix(1);
    } while (!paragraph.empty());
}

std::vector<std::u32string> wrapText(std::u32string_view text, int width, const TextWidth& measure)
{
    std::vector<std::u32string> lines;
    for (;;) {
        size_t newline = text.find(U'\n');
        wrapParagraph(text.substr(0, newline), width, measure, lines);
        if (newline == std::u32string_view::npos)
            return lines;
        text.remove_prefix(newline + 1);
    }
}

}
