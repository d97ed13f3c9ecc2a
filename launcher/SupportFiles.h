#pragma once

// The steps of the support directory and of the launcher script that touch
// files, for MyApplicationDelegate. Each failure is handed to the reporter
// with the step's name and an exit status; the steps after it run.

#include "Error.h"
#include "SyncRecord.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace support {

using FailureReporter = std::function<void(std::string_view step, const platform::Error&, int exitStatus)>;

enum class Action { Copy, CreateDirectory, Rewrite };
struct Entry {
    const char* relativePath;
    Action action;
};
// Written last, beside the entries.
inline constexpr const char* launcherScriptName = "run-zelvant.py";

// In the order they are made.
inline constexpr Entry entries[] = {
    { "fonts", Action::Copy },
    { "gtk-2.0", Action::CreateDirectory },
    { "gtk-2.0/gdk-pixbuf.loaders", Action::Rewrite },
    { "gtk-2.0/loaders", Action::Copy },
    { "pango", Action::CreateDirectory },
    { "pango/pangorc", Action::Rewrite },
    { "pango/pango.modules", Action::Rewrite },
    { "pango/pangox.aliases", Action::Copy },
    { "pango/modules", Action::Copy },
};

// A text the launcher rewrites: only a regular file, and not a huge one, so a
// FIFO or a device in its place can neither hang the launch nor fill memory.
// None once the failure is reported.
std::optional<std::string> readText(const std::string& path, std::string_view step, const FailureReporter&);

// Replaces every occurrence of target in text, searching the whole text once.
void replaceOccurrences(std::string& text, std::string_view target, std::string_view replacement);

// The missing levels of "Library/Application Support/Zelvant", top down.
void createParentChain(const std::string& parent, const FailureReporter&);

// The directory at path (relativePath below the support directory; empty
// for the support directory itself) as a fresh one would be: one that is
// there is kept, with the bits a new one gets and only the names the entries
// give below it; anything else there is replaced.
struct DirectorySteps {
    std::string_view remove;
    std::string_view create;
};
void prepareDirectory(
    const std::string& path, std::string_view relativePath, const DirectorySteps&, const FailureReporter&);

// The record of the last sync of the support directory parent/version, beside
// it under a name no version has ("." VERSION ".synced"); it goes with the directory.
platform::SyncRecord syncRecordOf(const std::string& parent, const std::string& version);

// What a fresh directory holds at path: the text in a regular file with the
// given bits, or nothing when there is no text. An equal file is left as it
// is, so a relaunch that changes nothing writes nothing.
platform::Result<void> placeText(const std::string& path, const std::optional<std::string>& text, mode_t mode);

}
