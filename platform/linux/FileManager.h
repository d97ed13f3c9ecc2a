#pragma once

#include "Error.h"
#include "FileSource.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

class SyncRecord;

struct CopyOptions {
    // Every entry that could not be copied, the top one included, handed over
    // on the calling thread once the copy has ended; the other entries still
    // arrive. The result is the first of them.
    std::function<void(const Error&)> failure;
    // Threads copying file contents beside the walk (0: the walk copies each
    // file itself); unset picks a number.
    std::optional<unsigned> threads;
    // Of an earlier synchronization of this destination, and noted into for the next one.
    SyncRecord* record { nullptr };
};

// File operations on paths. Nothing here follows a link where following
// one could lead a removal or a copy outside the tree it was given.
class FileManager final : public FileSource {
public:
    static FileManager& defaultManager();

    // Follows links: a dangling link does not exist.
    bool fileExistsAtPath(const std::string& path) const;
    bool fileExistsAtPath(const std::string& path, bool& isDirectory) const;
    // Anything at the path itself, a dangling link included.
    bool itemExistsAtPath(const std::string& path) const;
    // A directory itself, not a link to one.
    bool directoryItemExistsAtPath(const std::string& path) const;
    // A regular file (links followed) that this process may execute.
    bool isExecutableFileAtPath(const std::string& path) const;
    // The working directory; empty when it cannot be named.
    std::string currentDirectoryPath() const;
    // The names in a directory, without "." and "..".
    Result<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path) const;

    // One level, default attributes.
    Result<void> createDirectoryAtPath(const std::string& path) const;
    // The permission bits createDirectoryAtPath gives: 0777 less the umask.
    mode_t defaultDirectoryPermissions() const;
    // The file, link or whole tree at the path; never descends through a link,
    // and holds a bounded number of descriptors however deep the tree.
    Result<void> removeItemAtPath(const std::string& path) const;
    // File or tree to a destination that must not exist yet; links stay links,
    // permission bits and access and modification times are kept. Sockets,
    // FIFOs and devices are skipped as failures.
    Result<void> copyItemAtPath(
        const std::string& source, const std::string& destination, const CopyOptions& = {}) const;
    // Makes the destination, whatever is there, what copyItemAtPath would make
    // of it from nothing, writing only what differs. A file equal to the
    // source's in size, modification time (to the nanosecond) and bits stays
    // when the record trusts both sides or their bytes are equal; a link with
    // the same target and time stays; a missing entry is copied; a differing
    // one is replaced by a copy renamed over it, never rewritten in place; one
    // the source lacks, or of another kind, is removed without following links.
    Result<void> synchronizeItemAtPath(
        const std::string& source, const std::string& destination, const CopyOptions& = {}) const;
    Result<void> setPosixPermissions(const std::string& path, mode_t mode) const;

    // Whole-file bytes; no decoding.
    struct ReadOptions {
        // Larger files fail ("too large").
        size_t maximumSize { SIZE_MAX };
        // Anything else (a FIFO, a device) fails ("not a regular file"), without blocking on the open.
        bool regularFileOnly { false };
    };
    Result<std::string> contentsAtPath(const std::string& path, const ReadOptions&) const;
    Result<std::string> contentsOfRegularFile(const std::string& path, size_t maximumSize) const override
    {
        return contentsAtPath(path, { .maximumSize = maximumSize, .regularFileOnly = true });
    }
    // A uniquely named temporary beside the destination, written whole and
    // renamed over it; removed on failure.
    Result<void> writeAtomically(const std::string& path, std::string_view bytes) const;
    // Removes what writes of path killed before their rename left beside it;
    // only for a caller that keeps other writers of path out.
    void removeTemporariesOfAtomicWrites(const std::string& path) const;
    // The permission bits writeAtomically gives a new file: 0666 less the umask.
    mode_t defaultFilePermissions() const { return 0666 & defaultDirectoryPermissions(); }
    // Whether path is a regular file itself (not a link to one) with these
    // permission bits and exactly these bytes; false when it cannot be read.
    bool fileHoldsExactly(const std::string& path, std::string_view bytes, mode_t mode) const;
};

}
