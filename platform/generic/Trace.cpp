#include "Trace.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

bool isTracing()
{
    static const bool tracing = [] {
        const char* value = std::getenv("ZELVANT_LAUNCHER_TRACE");
        return value && *value && std::string_view { value } != "0";
    }();
    return tracing;
}

// One line, one write: control bytes in paths and values are escaped so a
// value cannot start a line of its own.
void writeTraceLine(std::string_view text)
{
    std::string line = "Zelvant trace: ";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            static constexpr char digits[] = "0123456789abcdef";
            line += "\\x";
            line += digits[byte >> 4];
            line += digits[byte & 15];
        } else {
            line += c;
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

TraceLine& TraceLine::operator<<(const Error& error) { return *this << std::string_view { error.message() }; }

static void appendQuoted(std::string& text, const std::string& value)
{
    text += '"';
    for (char c : value) {
        if (c == '"' || c == '\\')
            text += '\\';
        text += c;
    }
    text += '"';
}

static void appendValue(std::string& text, const PropertyValue& value)
{
    if (value.isString()) {
        appendQuoted(text, value.string());
    } else if (value.isInteger()) {
        text += std::to_string(value.integer());
    } else if (value.isReal()) {
        text += std::to_string(value.real());
    } else if (value.isBoolean()) {
        text += value.boolean() ? "true" : "false";
    } else if (value.isArray()) {
        text += '(';
        const char* separator = "";
        for (const auto& element : value.array()) {
            text += separator;
            appendValue(text, element);
            separator = ", ";
        }
        text += ')';
    } else if (value.isDictionary()) {
        text += '{';
        for (const auto& [key, element] : value.dictionary()) {
            appendQuoted(text, key);
            text += " = ";
            appendValue(text, element);
            text += "; ";
        }
        text += '}';
    } else {
        text += "<data>";
    }
}

TraceLine& TraceLine::operator<<(const PropertyValue& value)
{
    appendValue(m_text, value);
    return *this;
}

}
