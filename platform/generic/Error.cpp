#include "Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

Error Error::fromSyscall(std::string call, int code, std::string path)
{
    return Error { code, std::move(call), std::move(path) };
}

Error Error::fromErrno(std::string call, std::string path)
{
    return fromSyscall(std::move(call), errno, std::move(path));
}

std::string Error::message() const
{
    std::string text = call;
    if (!path.empty())
        text += ": " + path;
    text += ": ";
    text += code ? std::strerror(code) : "failed";
    return text;
}

}
