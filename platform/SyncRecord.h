#pragma once

#include "Error.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace platform {

// What a synchronization into a tree left: for each file it copied or found
// equal, the status of the source and of the copy. The next one keeps a copy
// without reading it only when both sides still have that status; size and
// times alone prove nothing, since both can be set back. Kept in a file
// beside the tree; one missing, damaged or made for another tree holds
// nothing, so everything is compared.
class SyncRecord {
public:
    struct Status {
        uint64_t device { 0 }, inode { 0 }, size { 0 }, mode { 0 };
        int64_t modified { 0 }, changed { 0 }; // ns
        bool operator==(const Status&) const = default;
        static Status of(const struct stat&);
    };
    struct Sides {
        Status source, copy;
        bool operator==(const Sides&) const = default;
    };

    // The record kept at path, of the copies below tree.
    SyncRecord(std::string path, std::string tree);
    // Atomically, unless the file holds this already.
    Result<void> write() const;

    // From any thread while synchronizing; path is the copy's.
    bool trusts(std::string_view path, const Sides&) const;
    void note(std::string_view path, const Sides&);

private:
    std::string_view key(std::string_view path) const;
    std::string m_path;
    std::string m_prefix; // the tree's path and "/"
    int64_t m_written { 0 }; // the file's modification time
    std::map<std::string, Sides, std::less<>> m_previous;
    mutable std::mutex m_lock;
    std::map<std::string, Sides, std::less<>> m_next;
};

}
