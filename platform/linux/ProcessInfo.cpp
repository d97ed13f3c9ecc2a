// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "ProcessInfo.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace platform {

std::optional<std::string> environmentValue(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string> { value } : std::nullopt;
}

std::optional<std::string> findHomeDirectory()
{
    // HOME wins over the passwd entry: every Linux tool honours it, and tests
    // need it. A relative one would resolve against whatever the working
    // directory happens to be.
    if (auto home = environmentValue("HOME"); home && home->starts_with('/'))
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir
        && found->pw_dir[0] == '/')
        return std::string { found->pw_dir };
    return std::nullopt;
}

std::string executablePath()
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string {};
}

}
