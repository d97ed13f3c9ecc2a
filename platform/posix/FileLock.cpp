// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "FileLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace platform {

Result<FileLock> FileLock::lockExclusive(const std::string& path)
{
    // O_NONBLOCK only keeps a FIFO at the path from hanging the open.
    ScopedFD fd { ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    if (!fd)
        return Error::fromErrno("open", path);
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return Error::fromErrno("flock", path);
    }
    return FileLock { std::move(fd) };
}

}
