// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "Trace.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

struct TraceState {
    std::string prefix;
    bool tracing { false };
};

TraceState& traceState()
{
    static TraceState state;
    return state;
}

}

void startTracing(const TraceSettings& settings)
{
    const char* value = settings.variable.empty() ? nullptr : std::getenv(settings.variable.c_str());
    traceState() = { settings.prefix, value && *value && std::string_view { value } != "0" };
}

bool isTracing() { return traceState().tracing; }

std::string escapedControlBytes(std::string_view text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            escaped += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            escaped += "\\x";
            escaped += digits[byte >> 4];
            escaped += digits[byte & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// One line, one write.
void writeTraceLine(std::string_view text)
{
    std::string line = traceState().prefix + escapedControlBytes(text) + '\n';
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
