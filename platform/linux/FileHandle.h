#pragma once

#include "Error.h"
#include "RunLoop.h"
#include "ScopedFD.h"

#include <chrono>
#include <memory>
#include <span>
#include <string>

namespace platform {

// Posted by readInBackgroundAndNotify, with the handle as object.
inline constexpr const char* FileHandleReadCompletionNotification = "FileHandleReadCompletionNotification";
// The bytes read, a std::span<char> into the handle's own buffer, lent while
// the notification is delivered (copy what must outlive it); empty at end of
// file. Observers may rewrite the bytes, and the FileHandleReadHeadroom bytes
// in front of them, so that a few bytes can be put before them without a copy.
inline constexpr const char* FileHandleNotificationDataItem = "FileHandleNotificationDataItem";
inline constexpr size_t FileHandleReadHeadroom = 16;
// Present (a platform::Error) when the read failed; the data is then empty.
inline constexpr const char* FileHandleErrorItem = "FileHandleErrorItem";

// Owns one descriptor of a pipe or file.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
public:
    explicit FileHandle(ScopedFD fd, size_t readSize = 65536)
        : m_fd(std::move(fd))
        , m_readSize(readSize)
    {
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const { return m_fd.get(); }
    // The bytes available now, waiting until some arrive; empty at end of file.
    // At most limit bytes, or the read size (the pipe's capacity for pipes) when limit is 0.
    Result<std::string> availableData(size_t limit = 0);
    // Waits until availableData would not block, at most until the deadline;
    // false when the deadline passed first.
    Result<bool> waitForDataUntil(RunLoop::Clock::time_point deadline);

    // One read, done by the current thread's run loop once the descriptor is
    // readable; the result is posted to the default notification centre as
    // FileHandleReadCompletionNotification. One-shot: arm again for more.
    void readInBackgroundAndNotify();
    // Disarms a pending background read; nothing has been read for it yet.
    void cancelBackgroundRead() { m_backgroundRead.reset(); }

    void closeFile();

private:
    void completeBackgroundRead();

    ScopedFD m_fd;
    size_t m_readSize;
    RunLoop::Registration m_backgroundRead;
    // Headroom, then room for one read. Reused from read to read; lent to the
    // notification while it is delivered.
    std::unique_ptr<char[]> m_readBuffer;
    std::unique_ptr<char[]> takeReadBuffer();
};

// An anonymous pipe, close-on-exec, widened to the system's limit.
class Pipe {
public:
    static Result<std::shared_ptr<Pipe>> pipe();

    const std::shared_ptr<FileHandle>& fileHandleForReading() const { return m_reading; }
    const std::shared_ptr<FileHandle>& fileHandleForWriting() const { return m_writing; }
    size_t capacity() const { return m_capacity; }

private:
    std::shared_ptr<FileHandle> m_reading;
    std::shared_ptr<FileHandle> m_writing;
    size_t m_capacity { 65536 };
};

}
