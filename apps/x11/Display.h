#pragma once

#include "Error.h"
#include "Task.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An X display name "[host]:N[.S]" taken apart; none for text that is not one.
struct DisplayName {
    std::string host;
    int number { 0 };
};
std::optional<DisplayName> parseDisplayName(std::string_view display);
// Whether an X display name accepts connections now.
bool isDisplayReachable(const std::string& display);
// DISPLAY when set and reachable.
std::optional<std::string> reachableDisplay();

// Who may connect to a virtual display: any local client, or only those that
// show the cookie in its authority file (as xvfb-run does it).
enum class DisplayAccess {
    Open,
    CookieOnly,
};

// A private Xvfb server (the first on PATH) on a free display number, which
// does not reset when its last client leaves; stopped, and its authority file
// removed, when destroyed. Its one screen is 1024x768 unless
// serverArguments, which go to Xvfb after the defaults, say otherwise.
class VirtualDisplay {
public:
    static Result<std::unique_ptr<VirtualDisplay>> start(
        DisplayAccess = DisplayAccess::Open, const std::vector<std::string>& serverArguments = {});
    ~VirtualDisplay();

    const std::string& name() const { return m_name; }
    // For XAUTHORITY; empty for an open display.
    const std::string& authorityFile() const { return m_authorityFile; }
    pid_t processIdentifier() const { return m_server.processIdentifier(); }

private:
    VirtualDisplay() = default;
    Result<void> writeAuthority();
    Task m_server;
    std::string m_name;
    std::string m_authorityFolder;
    std::string m_authorityFile;
};

}
