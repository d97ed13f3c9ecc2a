#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform {

// A failed operation. A system call's failure keeps its errno, the call and,
// where there is one, the path it failed on (code non-zero). A failure no
// system call reported (a refused request, a file of the wrong kind) has code
// 0 and says in reason what went wrong: no errno is made up for it.
struct Error {
    int code { 0 };
    std::string call;
    std::string path;
    std::string reason;

    static Error fromSyscall(std::string call, int code, std::string path = {});
    static Error fromErrno(std::string call, std::string path = {});
    // operation: what was being done; reason: why it could not be, in words.
    static Error failure(std::string operation, std::string reason, std::string path = {});

    // "open: /some/path: No such file or directory", "read: /a/fifo: not a regular file"
    std::string message() const;
};

template<typename T> class [[nodiscard]] Result {
public:
    Result(T value)
        : m_value(std::move(value))
    {
    }
    Result(Error error)
        : m_value(std::move(error))
    {
    }

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_value); }
    const T& value() const& { return std::get<0>(m_value); }
    T&& value() && { return std::get<0>(std::move(m_value)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(m_value); }

private:
    std::variant<T, Error> m_value;
};

template<> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
        , m_failed(true)
    {
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return m_error; }

private:
    Error m_error;
    bool m_failed { false };
};

}
