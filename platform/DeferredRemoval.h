#pragma once

#include "Error.h"
#include "ScopedFD.h"

#include <string>
#include <vector>

namespace platform {

// A directory taken out of the way at once and removed later. It is renamed
// within its parent to a hidden name that says what it is
// (".NAME.removing-XXXXXXXX") and locked while its owner lives, so that a
// later process can tell a leftover of a process that died from one that is
// still being removed. The removal runs on the caller's thread: no thread is
// left to a moved-from or overwritten object.
class DeferredRemoval {
public:
    DeferredRemoval(DeferredRemoval&&) = default;
    DeferredRemoval& operator=(DeferredRemoval&&) = default;

    // Fails for anything but a directory (a link to one included).
    static Result<DeferredRemoval> moveAside(const std::string& path);
    // The ones in directory whose owner has ended without removing them.
    static std::vector<DeferredRemoval> leftoversInDirectory(const std::string& directory);

    const std::string& path() const { return m_path; }
    // Removes the tree, never through a link, opening up directories of ours
    // that lack owner write; the lock goes with it.
    Result<void> remove();

private:
    DeferredRemoval(std::string path, ScopedFD directory)
        : m_path(std::move(path))
        , m_directory(std::move(directory))
    {
    }

    std::string m_path;
    ScopedFD m_directory; // locked
};

}
