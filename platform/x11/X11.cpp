// The X11 application: runs each document it is given as a program, with a
// display. It uses the current one when reachable, else a private Xvfb server
// that it stops once the programs have ended.
#include "Display.h"
#include "SystemLog.h"
#include "Task.h"

#include <cstdlib>
#include <memory>
#include <string>

using namespace platform;

int main(int argc, char** argv)
{
    std::string display;
    std::unique_ptr<VirtualDisplay> server;
    if (auto current = reachableDisplay()) {
        display = *current;
    } else {
        auto started = VirtualDisplay::start();
        if (!started) {
            systemLog("X11: no display can be had: " + started.error().message());
            return 1;
        }
        server = std::move(*started);
        display = server->name();
    }
    setenv("DISPLAY", display.c_str(), 1);

    int status = 0;
    for (int index = 1; index < argc; ++index) {
        Task program;
        program.setLaunchPath(argv[index]);
        if (auto launched = program.launch(); !launched) {
            systemLog("X11: cannot run " + std::string { argv[index] } + ": " + launched.error().message());
            status = 1;
            continue;
        }
        program.waitUntilExit();
        if (program.terminationStatus() != 0 || program.terminatedBySignal())
            status = 1;
    }
    return status;
}
