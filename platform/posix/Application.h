#pragma once

#include "Trace.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
};

using DelegateFactory = std::unique_ptr<ApplicationDelegate> (*)();

// What the application's interface description provides: the one delegate.
// Registered once by the executable, before main runs.
struct MainInterface {
    explicit MainInterface(DelegateFactory);
};

// What the program tells the platform about itself, as values.
struct ApplicationOptions {
    TraceSettings trace;
};

class Application {
public:
    static Application& sharedApplication();

    ApplicationDelegate* delegate() const { return m_delegate.get(); }
    void setDelegate(std::unique_ptr<ApplicationDelegate>);

    // A step failed: the process will exit with this sysexits code (the first
    // one noted wins) even though the steps after it still run.
    void noteFailure(int exitStatus);
    int exitStatus() const { return m_exitStatus; }
    // argv as the process received it.
    const std::vector<std::string>& arguments() const { return m_arguments; }

    // Ends the process with the exit status. Tests may install a handler,
    // which must not return (it throws to unwind instead).
    [[noreturn]] void terminate();
    void setTerminateHandler(std::function<void(int exitStatus)> handler) { m_terminateHandler = std::move(handler); }
    void reset();

private:
    std::unique_ptr<ApplicationDelegate> m_delegate;
    std::function<void(int)> m_terminateHandler;
    int m_exitStatus { 0 };
    std::vector<std::string> m_arguments;
    friend int applicationMain(int, char**, const ApplicationOptions&);
};

// Creates the application and its delegate, sends applicationDidFinishLaunching
// once and runs until terminate.
int applicationMain(int argc, char** argv, const ApplicationOptions& = {});

}
