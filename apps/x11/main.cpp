// The X11 application: runs each document it is given as a program, directly
// by its path, on a display the user can see: the current one, when it is
// reachable. Without one it runs nothing and says so. Only when asked with
// ZELVANT_X11_HEADLESS=1 (tests, the quick start) it runs them on a private
// Xvfb server, with a cookie of its own, which it stops once they have ended.
// Started by the open tool, it tells that tool on a status pipe whether the
// first document's program runs.
#include "Display.h"
#include "ProcessInfo.h"
#include "SystemLog.h"
#include "Task.h"
#include "Trace.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
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

// The write end of the open tool's status pipe, its number in
// ZELVANT_OPEN_STATUS_FD: "ok" once a document's program was executed, else
// each reason why one was not, one a line; the end of the pipe, unanswered,
// is a failure. Our programs never inherit it.
static ScopedFD takeStatusPipe()
{
    auto number = environmentValue("ZELVANT_OPEN_STATUS_FD");
    ::unsetenv("ZELVANT_OPEN_STATUS_FD");
    int fd = -1; // left as it is by text that is no number
    if (number)
        std::from_chars(number->data(), number->data() + number->size(), fd);
    struct stat status;
    if (fd < 3 || ::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode))
        return {};
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return ScopedFD { fd };
}

// A reader that is gone is no one left to tell.
static void tell(const ScopedFD& statusPipe, const std::string& line)
{
    std::string text = line + "\n";
    while (statusPipe && ::write(statusPipe.get(), text.data(), text.size()) < 0 && errno == EINTR) { }
}

// Logged, and told to the open tool while it waits.
static void fail(const ScopedFD& statusPipe, const std::string& reason)
{
    systemLog("X11: " + reason, LogLevel::Error);
    tell(statusPipe, reason);
}

// Runs each document's program in turn, waiting for each; returns our exit status.
static int runDocuments(int count, char** documents, int signals, ScopedFD& statusPipe)
{
    int status = 0;
    for (int index = 0; index < count; ++index) {
        Task program;
        program.setLaunchPath(documents[index]);
        auto started = std::chrono::steady_clock::now();
        if (auto launched = program.launch(); !launched) {
            fail(statusPipe, "cannot run " + std::string { documents[index] } + ": " + launched.error().message());
            status = 1;
            continue;
        }
        if (status == 0)
            tell(statusPipe, "ok");
        statusPipe = {};
        if (int stopSignal = waitForProgram(program, signals))
            return 128 + stopSignal;
        bool failed = program.terminationStatus() != 0 || program.terminatedBySignal();
        status |= failed ? 1 : 0;
        // One that fails at once has most likely not shown the player anything.
        if (failed && std::chrono::steady_clock::now() - started < std::chrono::seconds(1))
            systemLog("X11: " + std::string { documents[index] } + " ended right after it started, with "
                    + (program.terminatedBySignal() ? "signal " : "status ")
                    + std::to_string(program.terminationStatus()),
                LogLevel::Error);
    }
    return status;
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
    ScopedFD statusPipe = takeStatusPipe();
    if (argc < 2) {
        tell(statusPipe, "ok");
        return 0;
    }
    // An open tool that stopped waiting must not take us down with it.
    ::signal(SIGPIPE, SIG_IGN);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaddset(&stopSignals, signal);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ScopedFD signals { signalfd(-1, &stopSignals, SFD_CLOEXEC) };
    if (!signals) {
        fail(statusPipe, "signalfd: " + std::string { strerror(errno) });
        return 1;
    }

    std::unique_ptr<VirtualDisplay> server;
    if (environmentValue("ZELVANT_X11_HEADLESS") == "1") {
        auto started = VirtualDisplay::start(DisplayAccess::CookieOnly);
        if (!started) {
            fail(statusPipe,
                "no X display: the private Xvfb server could not be started (" + started.error().message() + ")");
            return 1;
        }
        server = std::move(*started);
        setenv("DISPLAY", server->name().c_str(), 1);
        setenv("XAUTHORITY", server->authorityFile().c_str(), 1);
    } else if (!reachableDisplay()) {
        fail(statusPipe, "no X display: " + whyNoDisplay() + "; nothing was run");
        return 1;
    }
    return runDocuments(argc - 1, argv + 1, signals.get(), statusPipe);
}
