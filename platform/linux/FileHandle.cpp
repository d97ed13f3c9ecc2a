#include "FileHandle.h"

#include "FileManager.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

Result<std::string> FileHandle::availableData(size_t limit)
{
    std::string bytes(limit, '\0');
    for (;;) {
        ssize_t count = ::read(m_fd.get(), bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Error::fromErrno("read");
        bytes.resize(static_cast<size_t>(count));
        return bytes;
    }
}

static int maximumPipeSize()
{
    static const int size = [] {
        auto text = FileManager::defaultManager().contentsAtPath("/proc/sys/fs/pipe-max-size");
        int value = text ? std::atoi(text->c_str()) : 0;
        return value > 0 ? value : 1 << 20;
    }();
    return size;
}

Result<std::shared_ptr<Pipe>> Pipe::pipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return Error::fromErrno("pipe2");
    auto result = std::make_shared<Pipe>();
    result->m_reading = std::make_shared<FileHandle>(ScopedFD { fds[0] });
    result->m_writing = std::make_shared<FileHandle>(ScopedFD { fds[1] });
    // Wider pipes mean fewer reads and wakeups; fall back quietly to what we get.
    int size = fcntl(fds[0], F_SETPIPE_SZ, maximumPipeSize());
    if (size < 0)
        size = fcntl(fds[0], F_GETPIPE_SZ);
    if (size > 0)
        result->m_capacity = static_cast<size_t>(size);
    return result;
}

}
