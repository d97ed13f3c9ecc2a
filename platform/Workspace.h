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

    // ZELVANT_APPLICATION_PATH (colon-separated, replacing the defaults) when
    // set, else ~/Applications, /Applications, /Applications/Utilities and the
    // install prefix's Applications. Empty and relative entries are skipped.
    static std::vector<std::string> applicationFolders();

    // The prefix an installed program runs from, so an installed tree finds
    // its own applications wherever it was installed: P for
    // P/Applications/NAME.app/Contents/MacOS/EXE and for P/bin/EXE; otherwise
    // the prefix the build was configured with.
    static std::string installPrefixForExecutable(const std::string& executablePath);
};

}
