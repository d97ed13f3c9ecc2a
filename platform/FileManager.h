#pragma once

#include "Error.h"

#include <string>
#include <sys/types.h>

namespace platform {

// File operations on paths. Nothing here follows a link where following
// one could lead a removal or a copy outside the tree it was given.
class FileManager {
public:
    static FileManager& defaultManager();

    // Follows links: a dangling link does not exist.
    bool fileExistsAtPath(const std::string& path) const;
    bool fileExistsAtPath(const std::string& path, bool& isDirectory) const;
    // Anything at the path itself, a dangling link included.
    bool itemExistsAtPath(const std::string& path) const;

    // One level, default attributes.
    Result<void> createDirectoryAtPath(const std::string& path) const;
    // The file, link or whole tree at the path; never descends through a link.
    Result<void> removeItemAtPath(const std::string& path) const;
    // File or tree to a destination that must not exist yet; links stay links,
    // permission bits and modification times are kept.
    Result<void> copyItemAtPath(const std::string& source, const std::string& destination) const;
    Result<void> moveItemAtPath(const std::string& source, const std::string& destination) const;
    Result<void> setPosixPermissions(const std::string& path, mode_t mode) const;

    // Whole-file bytes; no decoding.
    Result<std::string> contentsAtPath(const std::string& path) const;
    // A uniquely named temporary beside the destination, written whole and
    // renamed over it; removed on failure.
    Result<void> writeAtomically(const std::string& path, std::string_view bytes) const;
};

}
