#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The process's own environment, arguments and user.
std::optional<std::string> environmentValue(const std::string& name);
// The user's home: HOME when it is absolute, else the passwd entry's; none
// without either.
std::optional<std::string> findHomeDirectory();
std::string executablePath();

// argv as the process received it; the application main sets it.
const std::vector<std::string>& processArguments();
void setProcessArguments(std::vector<std::string>);

}
