#include "Display.h"

#include "FileHandle.h"
#include "ProcessInfo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace platform {

static bool connectsUnix(const std::string& path, bool abstract)
{
    ScopedFD fd { ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) };
    if (!fd)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
}

static bool connectsTcp(const std::string& host, int port)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    bool connected = false;
    for (addrinfo* entry = found; entry && !connected; entry = entry->ai_next) {
        ScopedFD fd { ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol) };
        connected = fd && ::connect(fd.get(), entry->ai_addr, entry->ai_addrlen) == 0;
    }
    freeaddrinfo(found);
    return connected;
}

bool isDisplayReachable(const std::string& display)
{
    auto colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size())
        return false;
    std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    if (host.empty() || host == "unix") {
        std::string socket = "/tmp/.X11-unix/X" + number;
        return connectsUnix(socket, true) || connectsUnix(socket, false);
    }
    return connectsTcp(host, 6000 + std::stoi(number));
}

std::optional<std::string> reachableDisplay()
{
    auto display = environmentValue("DISPLAY");
    if (display && !display->empty() && isDisplayReachable(*display))
        return display;
    return std::nullopt;
}

// The first executable NAME in the absolute entries of PATH.
static std::optional<std::string> programOnPath(const std::string& name)
{
    std::string list = environmentValue("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = std::min(list.find(':', start), list.size());
        std::string folder = list.substr(start, colon - start);
        start = colon + 1;
        if (folder.empty() || folder.front() != '/')
            continue;
        std::string candidate = std::move(folder);
        candidate += '/';
        candidate += name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

Result<std::unique_ptr<VirtualDisplay>> VirtualDisplay::start()
{
    auto server = programOnPath("Xvfb");
    if (!server)
        return Error::fromSyscall("Xvfb", ENOENT);
    // Xvfb picks a free display number itself and writes it to -displayfd
    // once it accepts connections; here that is its standard output.
    auto ready = Pipe::pipe();
    if (!ready)
        return ready.error();
    std::unique_ptr<VirtualDisplay> display { new VirtualDisplay };
    display->m_server.setLaunchPath(*server);
    display->m_server.setArguments(
        { "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24" });
    display->m_server.setStandardOutput((*ready)->fileHandleForWriting()->fileDescriptor());
    if (auto launched = display->m_server.launch(); !launched)
        return launched.error();
    (*ready)->fileHandleForWriting()->closeFile();

    std::string text;
    pollfd wait { (*ready)->fileHandleForReading()->fileDescriptor(), POLLIN, 0 };
    while (text.find('\n') == std::string::npos) {
        int polled = ::poll(&wait, 1, 10000);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return Error::fromSyscall("Xvfb", polled == 0 ? ETIMEDOUT : errno);
        auto chunk = (*ready)->fileHandleForReading()->availableData(64);
        if (!chunk)
            return chunk.error();
        if (chunk->empty())
            return Error::failure("Xvfb", "ended before it accepted connections", *server);
        text += *chunk;
    }
    display->m_name = ":" + text.substr(0, text.find('\n'));
    return display;
}

VirtualDisplay::~VirtualDisplay()
{
    m_server.terminate();
    m_server.waitUntilExit();
}

}
