#pragma once

#include "Error.h"
#include "Task.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {

// Whether an X display name ("[host]:N[.S]") accepts connections now.
bool isDisplayReachable(const std::string& display);
// DISPLAY when set and reachable.
std::optional<std::string> reachableDisplay();

// A private Xvfb server (the first on PATH) on a free display number, which
// does not reset when its last client leaves; stopped when destroyed.
class VirtualDisplay {
public:
    static Result<std::unique_ptr<VirtualDisplay>> start();
    ~VirtualDisplay();

    const std::string& name() const { return m_name; }
    pid_t processIdentifier() const { return m_server.processIdentifier(); }

private:
    VirtualDisplay() = default;
    Task m_server;
    std::string m_name;
};

}
