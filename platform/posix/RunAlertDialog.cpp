// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Shows an Alert as an Xlib dialog on DISPLAY, and survives the display going away.
#include "AlertDialog.h"
#include "Bundle.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "PropertyList.h"
#include "SystemLog.h"
#include "Xft.h"

namespace platform {

namespace {

// Xlib reports errors through process-wide handlers, so their state is too.
bool s_connectionLost = false;
bool s_connectionLossReturns = false;
const Alert* s_shownAlert = nullptr;

int ignoreProtocolError(::Display*, XErrorEvent*) { return 0; }

int noteConnectionLost(::Display*)
{
    s_connectionLost = true;
    // Without an exit handler Xlib ends the process when this returns: the
    // texts must not be lost with it.
    if (!s_connectionLossReturns && s_shownAlert) {
        systemLog(s_shownAlert->messageText());
        systemLog(s_shownAlert->informativeText());
    }
    return 0;
}

void keepRunningAfterConnectionLoss(::Display*, void*) { s_connectionLost = true; }

// The application's name, as its bundle declares it, else its executable's.
std::string applicationName()
{
    if (auto info = PropertyList::fromFile(Bundle::mainBundle().infoPlistPath())) {
        if (auto name = info->stringForKey("CFBundleName"); name && !name->empty())
            return *name;
    }
    return lastPathComponent(executablePath());
}

}

bool runAlertDialog(const Alert& alert)
{
    // No separate probe of the display: a probe's connection ending can make
    // a server with no other client reset just as the real one arrives.
    auto displayName = environmentValue("DISPLAY");
    if (!displayName || displayName->empty())
        return false;
    XlibLibrary library;
    if (!library.isLoaded())
        return false;
    const Xlib& x = library.functions();
    ::Display* display = x.XOpenDisplay(displayName->c_str());
    if (!display)
        return false;
    s_connectionLost = false;
    s_connectionLossReturns = x.XSetIOErrorExitHandler;
    s_shownAlert = &alert;
    auto previousErrorHandler = x.XSetErrorHandler(ignoreProtocolError);
    auto previousIOErrorHandler = x.XSetIOErrorHandler(noteConnectionLost);
    if (x.XSetIOErrorExitHandler)
        x.XSetIOErrorExitHandler(display, keepRunningAfterConnectionLoss, nullptr);

    // Optional: without Xft the dialog draws with core fonts.
    XftLibrary xft;
    bool shown = false;
    {
        AlertDialog dialog { { x, xft.isLoaded() ? &xft.functions() : nullptr, display, alert, applicationName(),
            s_connectionLost } };
        // Dismissed, the dialog has done its job; lost before that, the texts
        // still reach the user the headless way.
        shown = dialog.create() && dialog.run();
    }
    // After a lost connection only an Xlib with the exit handler can still free it.
    if (!s_connectionLost || s_connectionLossReturns) {
        x.XCloseDisplay(display);
        xft.displayClosed();
    }
    x.XSetErrorHandler(previousErrorHandler);
    x.XSetIOErrorHandler(previousIOErrorHandler);
    s_shownAlert = nullptr;
    return shown;
}

}
