// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "Application.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sysexits.h>
#include <vector>

namespace platform {

static DelegateFactory& mainInterfaceFactory()
{
    static DelegateFactory factory = nullptr;
    return factory;
}

MainInterface::MainInterface(DelegateFactory factory) { mainInterfaceFactory() = factory; }

Application& Application::sharedApplication()
{
    static Application application;
    return application;
}

void Application::setDelegate(std::unique_ptr<ApplicationDelegate> delegate) { m_delegate = std::move(delegate); }

void Application::noteFailure(int exitStatus)
{
    if (!m_exitStatus)
        m_exitStatus = exitStatus ? exitStatus : EX_SOFTWARE;
}

void Application::reset()
{
    m_delegate.reset();
    m_terminateHandler = nullptr;
    m_exitStatus = 0;
}

void Application::terminate()
{
    std::fflush(nullptr);
    if (m_terminateHandler)
        m_terminateHandler(m_exitStatus);
    std::exit(m_exitStatus);
}

// A launcher started with a standard stream closed would hand that number to
// the first file it opens, and its log lines would land in that file; one
// whose standard error leads nowhere must still launch, so a write there
// fails with EPIPE instead of ending the process. Children get the default
// disposition back when they are spawned.
static void protectStandardStreams()
{
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd)
            break;
    }
    std::signal(SIGPIPE, SIG_IGN);
}

int applicationMain(int argc, char** argv, const ApplicationOptions& options)
{
    protectStandardStreams();
    startTracing(options.trace);
    auto factory = mainInterfaceFactory();
    if (!factory) {
        std::fputs("No application delegate in the main interface.\n", stderr);
        return EX_SOFTWARE;
    }
    Application& application = Application::sharedApplication();
    application.m_arguments.assign(argv, argv + argc);
    application.setDelegate(factory());
    application.delegate()->applicationDidFinishLaunching();
    // The delegate is expected to terminate; one that returns instead ends
    // the process here all the same, with the exit status noted so far.
    application.terminate();
}

}
