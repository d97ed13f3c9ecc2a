#pragma once

#include <optional>
#include <string>

namespace platform {

// An application bundle: B/Contents/MacOS/NAME is its executable.
class Bundle {
public:
    static const Bundle& mainBundle();
    // The bundle an executable at this real path belongs to.
    static Bundle bundleForExecutable(const std::string& executablePath);

    const std::string& bundlePath() const { return m_bundlePath; }
    // CFBundleIdentifier from Contents/Info.plist, else the executable's name.
    std::string bundleIdentifier() const;
    // CFBundleName from Contents/Info.plist, else the executable's name.
    std::string bundleName() const;
    // CFBundleExecutable from Contents/Info.plist, else the fallback.
    std::string bundleExecutable(const std::string& fallback) const;

private:
    std::optional<std::string> infoString(const char* key) const;
    std::string m_bundlePath;
    std::string m_executableName;
};

}
