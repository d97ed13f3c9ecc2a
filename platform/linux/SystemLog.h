#pragma once

#include <string_view>

namespace platform {

// How much an entry matters: what a child or a controller reports is a
// notice; a failure, and every alert, an error.
enum class LogLevel {
    Notice,
    Error,
};

// One entry, to standard error with a time stamp and to syslog. The text is
// the message itself, never a format. A closed or broken standard error is
// passed over.
void systemLog(std::string_view text, LogLevel = LogLevel::Notice);
// To syslog only, for a message the caller has shown on standard error itself.
void systemLogOnly(std::string_view text, LogLevel);

}
