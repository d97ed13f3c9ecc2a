#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Finds applications (NAME.app directories) in the application folders.
class Workspace {
public:
    // applicationPath: a colon-separated list that replaces the default
    // folders; home: the user's, for ~/Applications; bundlePath: the main
    // bundle's, for the Applications folder beside it.
    Workspace(std::optional<std::string> applicationPath, std::optional<std::string> home, std::string bundlePath)
        : m_applicationPath(std::move(applicationPath))
        , m_home(std::move(home))
        , m_bundlePath(std::move(bundlePath))
    {
    }

    // The first NAME.app directory in the application folders.
    std::optional<std::string> fullPathForApplication(const std::string& name) const;

    // The list's absolute entries; without a list the default folders
    // ~/Applications, /Applications, /Applications/Utilities and the
    // "Applications" folder beside the bundle, each only when it is a
    // directory that no one but its owner, the user or root, can write.
    std::vector<std::string> applicationFolders() const;

private:
    std::optional<std::string> m_applicationPath;
    std::optional<std::string> m_home;
    std::string m_bundlePath;
};

}
