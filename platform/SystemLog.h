#pragma once

#include <string_view>

namespace platform {

// One entry, to standard error with a time stamp and to syslog. The text is
// the message itself, never a format.
void systemLog(std::string_view text);

}
