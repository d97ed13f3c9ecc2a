#include "Application.h"

#include "ProcessInfo.h"

#include <cstdio>
#include <cstdlib>
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

int applicationMain(int argc, char** argv)
{
    setProcessArguments(std::vector<std::string>(argv, argv + argc));
    auto factory = mainInterfaceFactory();
    if (!factory) {
        std::fputs("No application delegate in the main interface.\n", stderr);
        return EX_SOFTWARE;
    }
    Application& application = Application::sharedApplication();
    application.setDelegate(factory());
    application.delegate()->applicationDidFinishLaunching();
    // The delegate is expected to terminate; running off the end ends the run loop too.
    application.terminate();
}

}
