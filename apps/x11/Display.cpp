// The private display X11.app runs its documents on when asked to (and the tests use): Xvfb with a cookie.
#include "Display.h"

#include "FileHandle.h"
#include "Path.h"
#include "ProcessInfo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

std::optional<DisplayName> parseDisplayName(std::string_view display)
{
    auto colon = display.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    // X listens on port 6000 + N: five digits at most, and no more than that leaves.
    if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    int value = 0;
    for (char digit : number)
        value = value * 10 + (digit - '0');
    if (value > 65535 - 6000)
        return std::nullopt;
    return DisplayName { std::string { display.substr(0, colon) }, value };
}

bool isDisplayReachable(const std::string& display)
{
    auto name = parseDisplayName(display);
    if (!name)
        return false;
    if (name->host.empty() || name->host == "unix") {
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(name->number);
        return connectsUnix(socket, true) || connectsUnix(socket, false);
    }
    return connectsTcp(name->host, 6000 + name->number);
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
    for (const auto& folder :
        absoluteSearchPathEntries(environmentValue("PATH").value_or("/usr/local/bin:/usr/bin:/bin"))) {
        std::string candidate = stringByAppendingPathComponent(folder, name);
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

// The Xauthority file format: each field a big-endian 16-bit length and its bytes.
static void appendAuthorityField(std::string& entry, std::string_view field)
{
    entry += static_cast<char>((field.size() >> 8) & 0xFF);
    entry += static_cast<char>(field.size() & 0xFF);
    entry += field;
}

// A fresh MIT-MAGIC-COOKIE-1 in a file of its own, in a directory only we
// can enter. One entry for any address and any display number ("wild"), so
// it holds before the server has chosen its number.
Result<void> VirtualDisplay::writeAuthority()
{
    auto temporary = environmentValue("TMPDIR");
    std::string folder = stringByAppendingPathComponent(
        temporary && temporary->starts_with('/') ? *temporary : "/tmp", "xvfb-auth-XXXXXX");
    if (!::mkdtemp(folder.data()))
        return Error::fromErrno("mkdtemp", folder);
    m_authorityFolder = folder;
    m_authorityFile = stringByAppendingPathComponent(folder, "Xauthority");
    std::string cookie(16, '\0');
    if (::getrandom(cookie.data(), cookie.size(), 0) != static_cast<ssize_t>(cookie.size()))
        return Error::fromErrno("getrandom");
    std::string entry { "\xff\xff", 2 };
    for (std::string_view field : { std::string_view {}, std::string_view {}, std::string_view { "MIT-MAGIC-COOKIE-1" },
             std::string_view { cookie } })
        appendAuthorityField(entry, field);
    ScopedFD fd { ::open(m_authorityFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600) };
    if (!fd)
        return Error::fromErrno("open", m_authorityFile);
    if (::write(fd.get(), entry.data(), entry.size()) != static_cast<ssize_t>(entry.size()))
        return Error::fromErrno("write", m_authorityFile);
    return {};
}

Result<std::unique_ptr<VirtualDisplay>> VirtualDisplay::start(
    DisplayAccess access, const std::vector<std::string>& serverArguments)
{
    auto server = programOnPath("Xvfb");
    if (!server)
        return Error::failure("start Xvfb", "no Xvfb on PATH");
    // Xvfb picks a free display number itself and writes it to -displayfd
    // once it accepts connections; here that is its standard output.
    auto ready = Pipe::pipe();
    if (!ready)
        return ready.error();
    std::unique_ptr<VirtualDisplay> display { new VirtualDisplay };
    std::vector<std::string> arguments { "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0",
        "1024x768x24" };
    if (access == DisplayAccess::CookieOnly) {
        if (auto written = display->writeAuthority(); !written)
            return written.error();
        arguments.insert(arguments.end(), { "-auth", display->m_authorityFile });
    }
    arguments.insert(arguments.end(), serverArguments.begin(), serverArguments.end());
    display->m_server.setLaunchPath(*server);
    display->m_server.setArguments(std::move(arguments));
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
            return polled == 0
                ? Error::failure("start Xvfb", "it did not accept connections within 10 seconds", *server)
                : Error::fromErrno("poll", *server);
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
    if (m_server.hasLaunched()) {
        m_server.terminate();
        m_server.waitUntilExit();
    }
    if (!m_authorityFile.empty())
        ::unlink(m_authorityFile.c_str());
    if (!m_authorityFolder.empty())
        ::rmdir(m_authorityFolder.c_str());
}

}
