#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform {

// A failed operation: the errno it ended with, the call that failed and,
// where there is one, the path it failed on.
struct Error {
    int code { 0 };
    std::string call;
    std::string path;

    static Error fromSyscall(std::string call, int code, std::string path = {});
    static Error fromErrno(std::string call, std::string path = {});

    // "open: /some/path: No such file or directory"
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
