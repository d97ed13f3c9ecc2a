#pragma once

#include "Error.h"
#include "ScopedFD.h"

#include <string>

namespace platform {

// An exclusive advisory lock (flock) on a file or directory, held while the
// object lives and given up when the process ends, however it ends.
class FileLock {
public:
    FileLock() = default;
    FileLock(FileLock&&) = default;
    FileLock& operator=(FileLock&&) = default;

    // Waits until no other holder is left.
    static Result<FileLock> lockExclusive(const std::string& path);

private:
    explicit FileLock(ScopedFD fd)
        : m_fd(std::move(fd))
    {
    }

    ScopedFD m_fd;
};

}
