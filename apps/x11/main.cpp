// The X11 application: runs each document it is given as a program, directly
// by its path, on a display the user can see: the current one, when it is
// reachable. Without one it runs nothing and says so. Only when asked with
// ZELVANT_X11_HEADLESS=1 (tests, the quick start) it runs them on a private
// Xvfb server, with a cookie of its own, which it stops once they have ended.
#include "Display.h"
#include "ProcessInfo.h"
#include "SystemLog.h"
#include "Task.h"
#include "Trace.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace platform;

// Waits for the program to end, passing on a request to stop (SIGTERM, SIGINT,
// SIGHUP): the program is asked to end first, so that the display is never
// taken away from under it and no Xvfb outlives us. Returns the signal that
// asked us to stop, or 0.
static int waitForProgram(Task& program, int signals)
{
    int stopSignal = 0;
    pollfd waits[2] = { { program.processDescriptor(), POLLIN, 0 }, { signals, POLLIN, 0 } };
    while (program.isRunning()) {
        if (::poll(waits, stopSignal ? 1 : 2, -1) < 0 && errno != EINTR)
            break;
        signalfd_siginfo received;
        if (!stopSignal && (waits[1].revents & POLLIN)
            && ::read(signals, &received, sizeof received) == sizeof received) {
            stopSignal = static_cast<int>(received.ssi_signo);
            program.terminate();
        }
    }
    program.waitUntilExit();
    return stopSignal;
}

static std::string whyNoDisplay()
{
    auto display = environmentValue("DISPLAY");
    if (!display || display->empty())
        return "DISPLAY is not set";
    std::string quoted = "\"" + escapedControlBytes(*display) + "\"";
    if (!parseDisplayName(*display))
        return "DISPLAY " + quoted + " is not an X display name";
    return "no X server answers at DISPLAY " + quoted;
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return 0;

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaddset(&stopSignals, signal);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ScopedFD signals { signalfd(-1, &stopSignals, SFD_CLOEXEC) };
    if (!signals) {
        systemLog("X11: signalfd: " + std::string { strerror(errno) }, LogLevel::Error);
        return 1;
    }

    std::unique_ptr<VirtualDisplay> server;
    if (environmentValue("ZELVANT_X11_HEADLESS") == "1") {
        auto started = VirtualDisplay::start(DisplayAccess::CookieOnly);
        if (!started) {
            systemLog(
                "X11: no X display: the private Xvfb server could not be started (" + started.error().message() + ")",
                LogLevel::Error);
            return 1;
        }
        server = std::move(*started);
        setenv("DISPLAY", server->name().c_str(), 1);
        setenv("XAUTHORITY", server->authorityFile().c_str(), 1);
    } else if (!reachableDisplay()) {
        systemLog("X11: no X display: " + whyNoDisplay() + "; nothing was run", LogLevel::Error);
        return 1;
    }

    int status = 0;
    for (int index = 1; index < argc; ++index) {
        Task program;
        program.setLaunchPath(argv[index]);
        if (auto launched = program.launch(); !launched) {
            systemLog(
                "X11: cannot run " + std::string { argv[index] } + ": " + launched.error().message(), LogLevel::Error);
            status = 1;
            continue;
        }
        if (int stopSignal = waitForProgram(program, signals.get()))
            return 128 + stopSignal;
        if (program.terminationStatus() != 0 || program.terminatedBySignal())
            status = 1;
    }
    return status;
}
