// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "Bundle.h"

#include "FileManager.h"

#include "Path.h"
#include "ProcessInfo.h"
#include "PropertyList.h"

namespace platform {

Bundle Bundle::bundleForExecutable(const std::string& executablePath)
{
    Bundle bundle;
    bundle.m_executableName = lastPathComponent(executablePath);
    std::string macOS = stringByDeletingLastPathComponent(executablePath);
    std::string contents = stringByDeletingLastPathComponent(macOS);
    if (lastPathComponent(macOS) == "MacOS" && lastPathComponent(contents) == "Contents")
        bundle.m_bundlePath = stringByDeletingLastPathComponent(contents);
    else
        bundle.m_bundlePath = macOS;
    return bundle;
}

const Bundle& Bundle::mainBundle()
{
    static const Bundle bundle = bundleForExecutable(executablePath());
    return bundle;
}

std::optional<std::string> Bundle::infoString(const char* key) const
{
    if (auto info = PropertyList::fromFile(
            FileManager::defaultManager(), stringByAppendingPathComponent(m_bundlePath, "Contents/Info.plist"))) {
        if (auto value = info->stringForKey(key); value && !value->empty())
            return value;
    }
    return std::nullopt;
}

std::string Bundle::bundleIdentifier() const { return infoString("CFBundleIdentifier").value_or(m_executableName); }

std::string Bundle::bundleName() const { return infoString("CFBundleName").value_or(m_executableName); }

std::string Bundle::bundleExecutable(const std::string& fallback) const
{
    return infoString("CFBundleExecutable").value_or(fallback);
}

}
