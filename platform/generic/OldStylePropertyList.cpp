// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "OldStylePropertyList.h"

#include "UnicodeText.h"

#include <cstdint>

namespace platform {

namespace {

class Parser {
public:
    explicit Parser(std::string_view text)
        : m_text(text)
    {
    }

    std::optional<PropertyValue> parseDocument()
    {
        auto value = parseValue(0);
        skipSpace();
        if (!value || m_failed || !atEnd())
            return std::nullopt;
        return value;
    }

private:
    bool atEnd() const { return m_position >= m_text.size(); }
    char peek() const { return m_text[m_position]; }

    // Skips white space and comments; an unterminated comment fails the parse.
    void skipSpace()
    {
        while (!atEnd()) {
            char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++m_position;
                continue;
            }
            if (c != '/' || m_position + 1 >= m_text.size())
                return;
            char next = m_text[m_position + 1];
            if (next == '/') {
                size_t end = m_text.find('\n', m_position + 2);
                m_position = end == std::string_view::npos ? m_text.size() : end + 1;
            } else if (next == '*') {
                size_t end = m_text.find("*/", m_position + 2);
                if (end == std::string_view::npos) {
                    m_failed = true;
                    m_position = m_text.size();
                    return;
                }
                m_position = end + 2;
            } else
                return;
        }
    }

    // Moves to the next token; false at the end of the text or on a bad comment.
    bool nextToken()
    {
        skipSpace();
        return !m_failed && !atEnd();
    }

    static bool isBareCharacter(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$'
            || c == '/' || c == ':' || c == '.' || c == '-';
    }

    std::optional<PropertyValue> parseValue(unsigned depth)
    {
        if (!nextToken())
            return std::nullopt;
        char c = peek();
        if (c == '(' || c == '{') {
            if (depth >= maximumOldStylePropertyListDepth)
                return std::nullopt;
            ++m_position;
            return c == '(' ? parseArray(depth + 1) : parseDictionary(depth + 1);
        }
        if (c == '<') {
            ++m_position;
            return parseData();
        }
        if (auto string = parseString())
            return PropertyValue { std::move(*string) };
        return std::nullopt;
    }

    std::optional<std::string> parseString()
    {
        if (!nextToken())
            return std::nullopt;
        char c = peek();
        if (c == '"' || c == '\'') {
            ++m_position;
            return parseQuoted(c);
        }
        size_t start = m_position;
        while (!atEnd() && isBareCharacter(peek())) {
            // A comment ends a bare string.
            if (peek() == '/' && m_position + 1 < m_text.size()
                && (m_text[m_position + 1] == '/' || m_text[m_position + 1] == '*'))
                break;
            ++m_position;
        }
        if (m_position == start)
            return std::nullopt;
        return std::string { m_text.substr(start, m_position - start) };
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // \U followed by up to four hex digits: one UTF-16 unit.
    std::optional<char32_t> parseUnicodeEscape()
    {
        char32_t unit = 0;
        size_t digits = 0;
        while (digits < 4 && !atEnd() && hexValue(peek()) >= 0) {
            unit = unit * 16 + static_cast<char32_t>(hexValue(peek()));
            ++m_position;
            ++digits;
        }
        if (!digits)
            return std::nullopt;
        return unit;
    }

    // Joins \U escapes that form a surrogate pair; a half left alone becomes U+FFFD.
    struct SurrogatePairing {
        char32_t pendingHigh { 0 };

        void flush(std::string& out)
        {
            if (pendingHigh)
                appendUTF8(out, 0xFFFD);
            pendingHigh = 0;
        }
        void add(std::string& out, char32_t unit)
        {
            if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh) {
                appendUTF8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
                pendingHigh = 0;
                return;
            }
            flush(out);
            if (unit >= 0xD800 && unit <= 0xDBFF)
                pendingHigh = unit;
            else
                appendUTF8(out, unit);
        }
    };

    static char controlCharacter(char escape)
    {
        static constexpr std::string_view names = "abfnrtv", characters = "\a\b\f\n\r\t\v";
        size_t index = names.find(escape);
        return index == std::string_view::npos ? escape : characters[index];
    }

    // What follows a backslash; false when it is malformed.
    bool appendEscape(std::string& result, SurrogatePairing& pairing)
    {
        if (atEnd())
            return false;
        char escape = m_text[m_position++];
        if (escape == 'U') {
            auto unit = parseUnicodeEscape();
            if (unit)
                pairing.add(result, *unit);
            return unit.has_value();
        }
        pairing.flush(result);
        if (escape >= '0' && escape <= '7') {
            // Up to three octal digits; values past ASCII name Latin-1 characters.
            char32_t value = static_cast<char32_t>(escape - '0');
            for (int i = 0; i < 2 && !atEnd() && peek() >= '0' && peek() <= '7'; ++i)
                value = value * 8 + static_cast<char32_t>(m_text[m_position++] - '0');
            appendUTF8(result, value);
        } else
            result += controlCharacter(escape);
        return true;
    }

    std::optional<std::string> parseQuoted(char quote)
    {
        std::string result;
        SurrogatePairing pairing;
        while (!atEnd()) {
            char c = m_text[m_position++];
            if (c == '\\') {
                if (!appendEscape(result, pairing))
                    return std::nullopt;
                continue;
            }
            pairing.flush(result);
            if (c == quote)
                return result;
            result += c;
        }
        return std::nullopt;
    }

    std::optional<PropertyValue> parseData()
    {
        PropertyValue::Data data;
        int high = -1;
        for (;;) {
            if (!nextToken())
                return std::nullopt;
            char c = m_text[m_position++];
            if (c == '>')
                break;
            int value = hexValue(c);
            if (value < 0)
                return std::nullopt;
            if (high < 0)
                high = value;
            else {
                data.bytes += static_cast<char>(high * 16 + value);
                high = -1;
            }
        }
        if (high >= 0)
            return std::nullopt;
        return PropertyValue { std::move(data) };
    }

    std::optional<PropertyValue> parseArray(unsigned depth)
    {
        PropertyValue::Array array;
        for (;;) {
            if (!nextToken())
                return std::nullopt;
            if (peek() == ')') {
                ++m_position;
                return PropertyValue { std::move(array) };
            }
            auto element = parseValue(depth);
            if (!element || !nextToken())
                return std::nullopt;
            array.push_back(std::move(*element));
            if (peek() == ',')
                ++m_position;
            else if (peek() != ')')
                return std::nullopt;
        }
    }

    std::optional<PropertyValue> parseDictionary(unsigned depth)
    {
        PropertyValue::Dictionary dictionary;
        for (;;) {
            if (!nextToken())
                return std::nullopt;
            if (peek() == '}') {
                ++m_position;
                return PropertyValue { std::move(dictionary) };
            }
            auto key = parseString();
            if (!key || !nextToken() || peek() != '=')
                return std::nullopt;
            ++m_position;
            auto value = parseValue(depth);
            if (!value || !nextToken() || peek() != ';')
                return std::nullopt;
            ++m_position;
            dictionary.insert_or_assign(std::move(*key), std::move(*value));
        }
    }

    std::string_view m_text;
    size_t m_position { 0 };
    bool m_failed { false };
};

}

std::optional<PropertyValue> parseOldStylePropertyList(std::string_view text)
{
    return Parser { text }.parseDocument();
}

}
