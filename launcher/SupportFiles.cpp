#include "SupportFiles.h"

#include "FileManager.h"
#include "Path.h"
#include "Trace.h"

#include <algorithm>
#include <sysexits.h>
#include <vector>

using namespace platform;

namespace support {

Result<std::string> readTextFile(const std::string& path)
{
    constexpr size_t largestText = size_t { 16 } << 20;
    return FileManager::defaultManager().contentsAtPath(path, { .maximumSize = largestText, .regularFileOnly = true });
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
        if (!created)
            report("create the support directory parent", created.error(), EX_CANTCREAT);
    }
}

std::optional<DeferredRemoval> clearSupportDirectory(const std::string& path, const FailureReporter& report)
{
    // The old tree leaves the path at once; removing it waits until after the hand-off.
    auto aside = DeferredRemoval::moveAside(path);
    trace("move the old support directory aside: ", aside);
    if (aside)
        return std::move(*aside);
    auto removed = FileManager::defaultManager().removeItemAtPath(path);
    trace("remove ", path, ": ", removed);
    if (!removed)
        report("remove the old support directory", removed.error(), EX_CANTCREAT);
    return std::nullopt;
}

void copyEntry(
    const std::string& source, const std::string& destination, const Entry& entry, const FailureReporter& report)
{
    std::string step = std::string { "copy " } + entry.relativePath;
    // Every entry that did not arrive is named; the others still do.
    auto copied = FileManager::defaultManager().copyItemAtPath(
        source, destination, { .failure = [&](const Error& error) { report(step, error, EX_IOERR); } });
    trace("copy ", source, " to ", destination, ": ", copied);
}

void createEntry(const std::string& destination, const Entry& entry, const FailureReporter& report)
{
    auto made = FileManager::defaultManager().createDirectoryAtPath(destination);
    trace("create directory ", destination, ": ", made);
    if (!made)
        report(std::string { "create " } + entry.relativePath, made.error(), EX_CANTCREAT);
}

void rewriteEntry(const std::string& source, const std::string& destination, const Entry& entry,
    const std::function<std::optional<std::string>(std::optional<std::string>)>& rewrite, const FailureReporter& report)
{
    std::string step = std::string { "rewrite " } + entry.relativePath;
    std::optional<std::string> text;
    auto contents = readTextFile(source);
    trace("read ", source, ": ", contents);
    if (contents)
        text = std::move(*contents);
    else
        report(step, contents.error(), EX_NOINPUT);
    if (auto rewritten = rewrite(std::move(text))) {
        auto written = FileManager::defaultManager().writeAtomically(destination, *rewritten);
        trace("write ", destination, ": ", written);
        if (!written)
            report(step, written.error(), EX_CANTCREAT);
    }
}

}
