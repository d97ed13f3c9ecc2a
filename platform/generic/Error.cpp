// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

Error Error::fromSyscall(std::string call, int code, std::string path)
{
    return Error { code, std::move(call), std::move(path), {} };
}

Error Error::fromErrno(std::string call, std::string path)
{
    return fromSyscall(std::move(call), errno, std::move(path));
}

Error Error::failure(std::string operation, std::string reason, std::string path)
{
    return Error { 0, std::move(operation), std::move(path), std::move(reason) };
}

std::string Error::message() const
{
    std::string text = call;
    if (!path.empty())
        text += ": " + path;
    text += ": ";
    text += code ? std::strerror(code) : reason.empty() ? "failed" : reason;
    return text;
}

}
