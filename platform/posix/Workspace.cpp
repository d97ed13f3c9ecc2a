// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "Workspace.h"

#include "Path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// A folder searched without being asked for must not be one where another
// user could plant an application.
static bool isTrustedFolder(const std::string& folder)
{
    struct stat status;
    return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)
        && (status.st_uid == ::getuid() || status.st_uid == 0) && !(status.st_mode & (S_IWGRP | S_IWOTH));
}

std::vector<std::string> Workspace::applicationFolders() const
{
    if (m_applicationPath)
        return absoluteSearchPathEntries(*m_applicationPath);
    std::vector<std::string> candidates { "/Applications", "/Applications/Utilities",
        stringByAppendingPathComponent(stringByDeletingLastPathComponent(m_bundlePath), "Applications") };
    if (m_home)
        candidates.insert(candidates.begin(), stringByAppendingPathComponent(*m_home, "Applications"));
    std::vector<std::string> folders;
    for (auto& candidate : candidates) {
        if (isTrustedFolder(candidate))
            folders.push_back(std::move(candidate));
    }
    return folders;
}

std::optional<std::string> Workspace::fullPathForApplication(const std::string& name) const
{
    if (name.empty() || name.find('/') != std::string::npos)
        return std::nullopt;
    for (const auto& folder : applicationFolders()) {
        std::string candidate = stringByAppendingPathComponent(folder, name + ".app");
        struct stat status;
        if (::stat(candidate.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            return candidate;
    }
    return std::nullopt;
}

}
