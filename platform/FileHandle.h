#pragma once

#include "Error.h"
#include "ScopedFD.h"

#include <memory>
#include <string>

namespace platform {

// Owns one descriptor of a pipe or file.
class FileHandle {
public:
    explicit FileHandle(ScopedFD fd)
        : m_fd(std::move(fd)) { }

    int fileDescriptor() const { return m_fd.get(); }
    // The bytes available now, waiting until some arrive; empty at end of file.
    Result<std::string> availableData(size_t limit = 65536);
    void closeFile() { m_fd.reset(); }

private:
    ScopedFD m_fd;
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
