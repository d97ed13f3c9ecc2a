#pragma once

#include "Error.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

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
        static Status of(const struct stat&);
    };
    struct Sides {
        Status source, copy;
    };

    // The record kept at path, of the copies below tree.
    SyncRecord(std::string path, std::string tree);
    // Atomically, unless the file holds this already; first clears what a
    // killed write left. The caller keeps other writers of the record out.
    Result<void> write() const;

    // From any thread while synchronizing; path is the copy's. A trusted
    // entry goes into the next record as it is; note gives one that was
    // compared or copied.
    bool trusts(std::string_view path, const Sides&);
    void note(std::string_view path, const Sides&);

private:
    struct Entry {
        std::string_view name; // below the tree
        std::string_view numbers; // of both sides, as text() gives them
    };
    std::string m_path;
    std::string m_prefix; // the tree's path and "/"
    int64_t m_written { 0 }; // the file's modification time
    std::string m_text; // the file, which the entries point into
    std::vector<Entry> m_entries; // by name
    std::vector<std::atomic<bool>> m_trusted; // by entry
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_noted; // name, numbers
};

}
