#pragma once

#include <string>

namespace platform {

// The base of objects that manage a window. The launcher shows no windows of
// its own, so this keeps only what subclasses are made with.
class WindowController {
public:
    WindowController() = default;
    explicit WindowController(std::string windowNibName)
        : m_windowNibName(std::move(windowNibName))
    {
    }
    virtual ~WindowController() = default;

    const std::string& windowNibName() const { return m_windowNibName; }
    // Nothing to show without a window; kept so subclasses can be driven alike.
    virtual void showWindow() { }
    virtual void close() { }

private:
    std::string m_windowNibName;
};

}
