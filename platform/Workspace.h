#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Finds applications (NAME.app directories) in the application folders.
class Workspace {
public:
    static Workspace& sharedWorkspace();

    // The first NAME.app directory in the application folders.
    std::optional<std::string> fullPathForApplication(const std::string& name) const;

    // The environment variable whose colon-separated list, when set, replaces
    // the default folders; none by default.
    static void setApplicationPathVariable(std::string name);

    // The list the variable names, absolute entries only; else the default
    // folders ~/Applications, /Applications, /Applications/Utilities and the
    // "Applications" folder beside the main bundle, each only when it is a
    // directory that no one but its owner, the user or root, can write.
    static std::vector<std::string> applicationFolders();
};

}
