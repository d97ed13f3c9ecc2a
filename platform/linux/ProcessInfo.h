#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The process's own environment, user and executable.
std::optional<std::string> environmentValue(const std::string& name);
// The user's home: HOME when it is absolute, else the passwd entry's; none
// without either.
std::optional<std::string> findHomeDirectory();
std::string executablePath();

}
