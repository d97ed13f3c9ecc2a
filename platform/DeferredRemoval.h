#pragma once

#include "Error.h"
#include "ScopedFD.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// A directory taken out of the way at once and removed later. It is renamed
// within its parent to a hidden name that says what it is
// (".NAME.removing-XXXXXXXX") and locked while its owner lives, so that a
// later process can tell a leftover of a process that died from one that is
// still being removed.
class DeferredRemoval {
public:
    DeferredRemoval(DeferredRemoval&&) = default;
    DeferredRemoval& operator=(DeferredRemoval&&) = default;
    // Waits for a removal still running; never starts one.
    ~DeferredRemoval();

    // Fails with ENOTDIR for anything but a directory (a link to one included).
    static Result<DeferredRemoval> moveAside(const std::string& path);
    // The ones in directory whose owner has ended without removing them.
    static std::vector<DeferredRemoval> leftoversInDirectory(const std::string& directory);

    const std::string& path() const { return m_state->path; }
    // Removes the tree, never through a link; the lock goes with it.
    Result<void> remove();
    // The same on a thread of its own; remove() then waits for it.
    void startRemoving();

private:
    struct State {
        std::string path;
        ScopedFD directory; // locked
        std::thread thread;
        Result<void> result;
    };
    DeferredRemoval(std::string path, ScopedFD directory);
    static Result<void> removeNow(State&);

    std::unique_ptr<State> m_state;
};

}
