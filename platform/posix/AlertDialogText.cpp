// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's text: decoded to Xlib's characters and wrapped into lines.
#include "AlertDialog.h"
#include "UnicodeText.h"

#include <string_view>

namespace platform {

Line decodeLine(const std::string& text)
{
    Line characters;
    for (std::string_view rest = text; !rest.empty();) {
        char32_t codePoint = 0;
        rest.remove_prefix(decodeCharacter(rest, codePoint));
        if (codePoint > 0xFFFF)
            codePoint = 0xFFFD;
        characters.push_back(
            { static_cast<unsigned char>(codePoint >> 8), static_cast<unsigned char>(codePoint & 0xFF) });
    }
    return characters;
}

namespace {

class Wrapper {
public:
    Wrapper(const Xlib& x, XFontStruct* font, int maximumWidth)
        : m_x(x)
        , m_font(font)
        , m_maximumWidth(maximumWidth)
    {
    }

    std::vector<Line> wrap(const std::string& text)
    {
        for (const XChar2b& character : decodeLine(text)) {
            if (!character.byte1 && character.byte2 == '\n') {
                flushWord();
                m_lines.push_back(std::move(m_current));
                m_current.clear();
            } else if (!character.byte1 && character.byte2 == ' ') {
                flushWord();
            } else {
                m_word.push_back(character);
            }
        }
        flushWord();
        if (!m_current.empty() || m_lines.empty())
            m_lines.push_back(std::move(m_current));
        return std::move(m_lines);
    }

private:
    int width(const Line& line) const { return m_x.XTextWidth16(m_font, line.data(), static_cast<int>(line.size())); }
    bool fits(const Line& line) const { return width(line) <= m_maximumWidth; }

    void flushWord()
    {
        Line candidate = m_current;
        if (!candidate.empty() && !m_word.empty())
            candidate.push_back({ 0, ' ' });
        candidate.insert(candidate.end(), m_word.begin(), m_word.end());
        if (fits(candidate) || m_current.empty()) {
            m_current = std::move(candidate);
        } else {
            m_lines.push_back(std::move(m_current));
            m_current = m_word;
        }
        // A word wider than the line is cut where it overflows.
        while (m_current.size() > 1 && !fits(m_current)) {
            auto end = m_current.end() - 1;
            while (end - m_current.begin() > 1 && !fits(Line(m_current.begin(), end)))
                --end;
            m_lines.emplace_back(m_current.begin(), end);
            m_current.erase(m_current.begin(), end);
        }
        m_word.clear();
    }

    const Xlib& m_x;
    XFontStruct* m_font;
    int m_maximumWidth;
    std::vector<Line> m_lines;
    Line m_current;
    Line m_word;
};

}

std::vector<Line> wrapText(const Xlib& x, XFontStruct* font, const std::string& text, int width)
{
    return Wrapper { x, font, width }.wrap(text);
}

}
