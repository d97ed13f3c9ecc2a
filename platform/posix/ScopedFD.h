#pragma once

#include <utility>

namespace platform {

// Owns one file descriptor and closes it when destroyed.
class ScopedFD {
public:
    ScopedFD() = default;
    explicit ScopedFD(int fd)
        : m_fd(fd)
    {
    }
    ScopedFD(ScopedFD&& other) noexcept
        : m_fd(other.release())
    {
    }
    ScopedFD& operator=(ScopedFD&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ScopedFD(const ScopedFD&) = delete;
    ScopedFD& operator=(const ScopedFD&) = delete;
    ~ScopedFD() { reset(); }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    explicit operator bool() const { return isValid(); }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1);

private:
    int m_fd { -1 };
};

}
