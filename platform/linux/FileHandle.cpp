// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "FileHandle.h"

#include "FileManager.h"
#include "NotificationCenter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

Result<std::string> FileHandle::availableData(size_t limit)
{
    // Read into the handle's scratch buffer (when a background read is not
    // using it) and copy out only what came: no large zero-filled string for
    // what is usually a short read or end of file.
    size_t size = std::min(limit ? limit : m_readSize, m_readSize);
    std::unique_ptr<char[]> buffer = takeReadBuffer();
    char* bytes = buffer.get() + FileHandleReadHeadroom;
    ssize_t count;
    do
        count = ::read(m_fd.get(), bytes, size);
    while (count < 0 && errno == EINTR);
    Result<std::string> result
        = count < 0 ? Result<std::string> { Error::fromErrno("read") } : std::string(bytes, static_cast<size_t>(count));
    if (!m_readBuffer)
        m_readBuffer = std::move(buffer);
    return result;
}

Result<bool> FileHandle::waitForDataUntil(RunLoop::Clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - RunLoop::Clock::now()).count();
        pollfd fd { m_fd.get(), POLLIN, 0 };
        int ready = ::poll(&fd, 1, static_cast<int>(std::clamp<long long>(left, 0, 1 << 30)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Error::fromErrno("poll");
        if (fd.revents & POLLNVAL)
            return Error::fromSyscall("poll", EBADF);
        return ready > 0;
    }
}

std::unique_ptr<char[]> FileHandle::takeReadBuffer()
{
    // A read while another one's buffer is lent out gets a buffer of its own.
    if (m_readBuffer)
        return std::move(m_readBuffer);
    return std::make_unique_for_overwrite<char[]>(FileHandleReadHeadroom + m_readSize);
}

void FileHandle::readInBackgroundAndNotify()
{
    if (m_backgroundRead.isActive() || !m_fd)
        return;
    m_backgroundRead = RunLoop::current().watchReadable(m_fd.get(), [this] { completeBackgroundRead(); });
}

void FileHandle::completeBackgroundRead()
{
    // Observers may drop the last other reference to this handle.
    std::shared_ptr<FileHandle> protectedThis = weak_from_this().lock();
    std::shared_ptr<void> object
        = protectedThis ? std::shared_ptr<void>(protectedThis) : std::shared_ptr<void>(std::shared_ptr<void>(), this);

    std::unique_ptr<char[]> buffer = takeReadBuffer();
    char* bytes = buffer.get() + FileHandleReadHeadroom;
    ssize_t count;
    do
        count = ::read(m_fd.get(), bytes, m_readSize);
    while (count < 0 && errno == EINTR);
    if (count < 0 && errno == EAGAIN) {
        m_readBuffer = std::move(buffer);
        return; // spurious wakeup; stay armed
    }
    m_backgroundRead.reset();

    Notification::UserInfo userInfo;
    userInfo.emplace(
        FileHandleNotificationDataItem, std::span<char> { bytes, count > 0 ? static_cast<size_t>(count) : 0 });
    if (count < 0)
        userInfo.emplace(FileHandleErrorItem, Error::fromErrno("read"));
    NotificationCenter::defaultCenter().postNotification(
        Notification { FileHandleReadCompletionNotification, std::move(object), std::move(userInfo) });

    if (protectedThis && !m_readBuffer)
        m_readBuffer = std::move(buffer);
}

void FileHandle::closeFile()
{
    m_backgroundRead.reset();
    m_fd.reset();
}

static int maximumPipeSize()
{
    static const int size = [] {
        auto text = FileManager::defaultManager().contentsAtPath("/proc/sys/fs/pipe-max-size", {});
        int value = 0;
        if (text)
            std::from_chars(text->data(), text->data() + text->size(), value);
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
    // Wider pipes mean fewer reads and wakeups; fall back quietly to what we get.
    int size = fcntl(fds[0], F_SETPIPE_SZ, maximumPipeSize());
    if (size < 0)
        size = fcntl(fds[0], F_GETPIPE_SZ);
    if (size > 0)
        result->m_capacity = static_cast<size_t>(size);
    result->m_reading = std::make_shared<FileHandle>(ScopedFD { fds[0] }, result->m_capacity);
    result->m_writing = std::make_shared<FileHandle>(ScopedFD { fds[1] }, result->m_capacity);
    return result;
}

}
