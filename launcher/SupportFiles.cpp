#include "SupportFiles.h"

#include "FileManager.h"
#include "Path.h"
#include "Trace.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <sysexits.h>
#include <vector>

using namespace platform;

namespace support {

std::optional<std::string> readText(const std::string& path, std::string_view step, const FailureReporter& report)
{
    constexpr size_t largestText = size_t { 16 } << 20;
    auto contents
        = FileManager::defaultManager().contentsAtPath(path, { .maximumSize = largestText, .regularFileOnly = true });
    trace("read ", path, ": ", contents);
    if (!contents) {
        report(step, contents.error(), EX_NOINPUT);
        return std::nullopt;
    }
    return std::move(*contents);
}

void replaceOccurrences(std::string& text, std::string_view target, std::string_view replacement)
{
    std::string result;
    size_t start = 0;
    for (size_t found; (found = text.find(target, start)) != std::string::npos; start = found + target.size()) {
        result.append(text, start, found - start);
        result.append(replacement);
    }
    if (!start)
        return;
    result.append(text, start);
    text = std::move(result);
}

void createParentChain(const std::string& parent, const FailureReporter& report)
{
    FileManager& fileManager = FileManager::defaultManager();
    std::vector<std::string> missing { parent };
    for (int level = 1; level < 3; ++level) {
        std::string above = stringByDeletingLastPathComponent(missing.back());
        if (fileManager.itemExistsAtPath(above))
            break;
        missing.push_back(above);
    }
    std::reverse(missing.begin(), missing.end());
    for (const auto& directory : missing) {
        auto created = fileManager.createDirectoryAtPath(directory);
        trace("create directory ", directory, ": ", created);
        // Another launch may have made it since we looked: a directory there now is what we wanted.
        if (!created && !(created.error().code == EEXIST && fileManager.directoryItemExistsAtPath(directory)))
            report("create the support directory parent", created.error(), EX_CANTCREAT);
    }
}

static void removeItem(const std::string& path, std::string_view step, const FailureReporter& report)
{
    auto removed = FileManager::defaultManager().removeItemAtPath(path);
    trace("remove ", path, ": ", removed);
    if (!removed)
        report(step, removed.error(), EX_CANTCREAT);
}

// The names the entries give directly below relativePath.
static std::set<std::string, std::less<>> namesBelow(std::string_view relativePath)
{
    std::string prefix = relativePath.empty() ? std::string {} : std::string { relativePath } + "/";
    std::set<std::string, std::less<>> names;
    if (relativePath.empty())
        names.emplace(launcherScriptName);
    for (const auto& entry : entries) {
        std::string_view path { entry.relativePath };
        if (path.size() > prefix.size() && path.starts_with(prefix))
            names.emplace(path.substr(prefix.size(), path.find('/', prefix.size()) - prefix.size()));
    }
    return names;
}

void prepareDirectory(
    const std::string& path, std::string_view relativePath, const DirectorySteps& steps, const FailureReporter& report)
{
    FileManager& fileManager = FileManager::defaultManager();
    if (fileManager.directoryItemExistsAtPath(path)) {
        // Writable first, so what does not belong can go.
        auto permissions = fileManager.setPosixPermissions(path, fileManager.defaultDirectoryPermissions());
        trace("set default mode on ", path, ": ", permissions);
        if (!permissions)
            report(steps.create, permissions.error(), EX_CANTCREAT);
        auto contents = fileManager.contentsOfDirectoryAtPath(path);
        if (!contents)
            return report(steps.remove, contents.error(), EX_IOERR);
        auto names = namesBelow(relativePath);
        for (const auto& name : *contents) {
            if (!names.contains(name))
                removeItem(stringByAppendingPathComponent(path, name), steps.remove, report);
        }
        return;
    }
    if (fileManager.itemExistsAtPath(path))
        removeItem(path, steps.remove, report);
    auto created = fileManager.createDirectoryAtPath(path);
    trace("create directory ", path, ": ", created);
    if (!created)
        report(steps.create, created.error(), EX_CANTCREAT);
}

SyncRecord syncRecordOf(const std::string& parent, const std::string& version)
{
    std::string supportDirectory = stringByAppendingPathComponent(parent, version);
    std::string path = stringByAppendingPathComponent(parent, "." + version + ".synced");
    if (!FileManager::defaultManager().directoryItemExistsAtPath(supportDirectory))
        trace("remove ", path, ": ", FileManager::defaultManager().removeItemAtPath(path));
    return { path, supportDirectory };
}

Result<void> placeText(const std::string& path, const std::optional<std::string>& text, mode_t mode)
{
    FileManager& fileManager = FileManager::defaultManager();
    if (text && fileManager.fileHoldsExactly(path, *text, mode)) {
        trace("keep ", path, ": equal");
        return {};
    }
    // As in a fresh directory: no file without a text, and no directory in its place.
    if ((!text && fileManager.itemExistsAtPath(path)) || fileManager.directoryItemExistsAtPath(path)) {
        auto removed = fileManager.removeItemAtPath(path);
        trace("remove ", path, ": ", removed);
        if (!removed)
            return removed;
    }
    if (!text)
        return {};
    auto written = fileManager.writeAtomically(path, *text);
    trace("write ", path, ": ", written);
    return written;
}

}
