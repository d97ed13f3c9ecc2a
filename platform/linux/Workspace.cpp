#include "Workspace.h"

#include "FileManager.h"
#include "Path.h"
#include "ProcessInfo.h"

#include <string_view>

namespace platform {

Workspace& Workspace::sharedWorkspace()
{
    static Workspace workspace;
    return workspace;
}

std::vector<std::string> Workspace::applicationFolders()
{
    std::vector<std::string> folders;
    if (auto list = environmentValue("ZELVANT_APPLICATION_PATH")) {
        std::string_view rest { *list };
        while (true) {
            auto colon = rest.find(':');
            std::string_view entry = rest.substr(0, colon);
            if (!entry.empty() && entry.front() == '/')
                folders.emplace_back(entry);
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        return folders;
    }
    folders.push_back(stringByAppendingPathComponent(homeDirectory(), "Applications"));
    folders.emplace_back("/Applications");
    folders.emplace_back("/Applications/Utilities");
    std::string prefix = installPrefixForExecutable(executablePath());
    folders.push_back(stringByAppendingPathComponent(prefix, "Applications"));
    if (prefix != ZELVANT_INSTALL_PREFIX)
        folders.push_back(stringByAppendingPathComponent(ZELVANT_INSTALL_PREFIX, "Applications"));
    return folders;
}

std::string Workspace::installPrefixForExecutable(const std::string& executablePath)
{
    std::string folder = stringByDeletingLastPathComponent(executablePath);
    if (lastPathComponent(folder) == "bin")
        return stringByDeletingLastPathComponent(folder);
    std::string contents = stringByDeletingLastPathComponent(folder);
    std::string applications = stringByDeletingLastPathComponent(stringByDeletingLastPathComponent(contents));
    if (lastPathComponent(folder) == "MacOS" && lastPathComponent(contents) == "Contents"
        && lastPathComponent(applications) == "Applications")
        return stringByDeletingLastPathComponent(applications);
    return ZELVANT_INSTALL_PREFIX;
}

std::optional<std::string> Workspace::fullPathForApplication(const std::string& name) const
{
    if (name.empty() || name.find('/') != std::string::npos)
        return std::nullopt;
    for (const auto& folder : applicationFolders()) {
        std::string candidate = stringByAppendingPathComponent(folder, name + ".app");
        bool isDirectory = false;
        if (FileManager::defaultManager().fileExistsAtPath(candidate, isDirectory) && isDirectory)
            return candidate;
    }
    return std::nullopt;
}

}
