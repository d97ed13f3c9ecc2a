#pragma once

#include "Error.h"
#include "PropertyValue.h"

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The opt-in decision trace. Off until the application main starts it with
// the variable that turns it on and what each line starts with; then, with
// that variable set to anything but empty or "0", each trace() call writes one
// line "PREFIX..." to standard error; otherwise a call tests one flag and builds nothing.
struct TraceSettings {
    std::string variable;
    std::string prefix;
};
void startTracing(const TraceSettings&);
bool isTracing();
void writeTraceLine(std::string_view);

// Control bytes as escapes ("\n", "\x1b"), so that a value shown in one line
// of text cannot start a line of its own or move the cursor.
std::string escapedControlBytes(std::string_view);

// The parts of one trace line as text. A result reads "ok" or "failed: <error>",
// an absent value "none", a property value in the old-style list form.
class TraceLine {
public:
    TraceLine& operator<<(std::string_view text)
    {
        m_text += text;
        return *this;
    }
    TraceLine& operator<<(const char* text) { return *this << std::string_view { text }; }
    TraceLine& operator<<(const std::string& text) { return *this << std::string_view { text }; }
    template<std::integral T> TraceLine& operator<<(T number)
    {
        return *this << std::string_view { std::to_string(number) };
    }
    TraceLine& operator<<(const Error&);
    TraceLine& operator<<(const PropertyValue&);
    template<typename T> TraceLine& operator<<(const Result<T>& result)
    {
        if (result)
            return *this << "ok";
        return *this << "failed: " << result.error();
    }
    template<typename T> TraceLine& operator<<(const std::optional<T>& value)
    {
        if (value)
            return *this << *value;
        return *this << "none";
    }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

template<typename... Parts> void trace(const Parts&... parts)
{
    if (!isTracing())
        return;
    TraceLine line;
    (line << ... << parts);
    writeTraceLine(line.text());
}

}
