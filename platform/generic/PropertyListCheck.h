// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
// What the property list reader refuses before libplist parses the bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// libplist parses and frees recursively, and expands shared binary objects
// into copies: deep or self-multiplying input would exhaust the stack or the
// memory. Why such bytes are refused (nested deeper than maximumDepth,
// expanding past maximumObjects, containing themselves, malformed binary
// structure); none when libplist may parse them.
std::optional<std::string> propertyListRefusal(std::string_view bytes);

}
