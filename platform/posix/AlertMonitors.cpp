// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Which monitor the alert dialog goes on: the one that holds the pointer.
#include "AlertDialog.h"

#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <vector>

#define ZELVANT_XINERAMA_FUNCTIONS(F)                                                                                  \
    F(XineramaIsActive)                                                                                                \
    F(XineramaQueryScreens)
#define ZELVANT_XRANDR_FUNCTIONS(F)                                                                                    \
    F(XRRGetMonitors)                                                                                                  \
    F(XRRFreeMonitors)

namespace platform {

namespace {

struct Xinerama {
    ZELVANT_XINERAMA_FUNCTIONS(ZELVANT_DECLARE_FUNCTION)
};
struct XRandR {
    ZELVANT_XRANDR_FUNCTIONS(ZELVANT_DECLARE_FUNCTION)
};

std::vector<ScreenArea> xineramaMonitors(const Xlib& x, ::Display* display)
{
    DynamicLibrary library { "libXinerama.so.1" };
    Xinerama table;
    bool complete = library.isOpen();
    ZELVANT_XINERAMA_FUNCTIONS(ZELVANT_RESOLVE_FUNCTION)
    std::vector<ScreenArea> monitors;
    int count = 0;
    XineramaScreenInfo* screens
        = complete && table.XineramaIsActive(display) ? table.XineramaQueryScreens(display, &count) : nullptr;
    monitors.reserve(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index)
        monitors.push_back({ screens[index].x_org, screens[index].y_org, screens[index].width, screens[index].height });
    if (screens)
        x.XFree(screens);
    return monitors;
}

std::vector<ScreenArea> randrMonitors(::Display* display)
{
    DynamicLibrary library { "libXrandr.so.2" };
    XRandR table;
    bool complete = library.isOpen();
    ZELVANT_XRANDR_FUNCTIONS(ZELVANT_RESOLVE_FUNCTION)
    std::vector<ScreenArea> monitors;
    int count = 0;
    XRRMonitorInfo* infos
        = complete ? table.XRRGetMonitors(display, DefaultRootWindow(display), True, &count) : nullptr;
    monitors.reserve(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index)
        monitors.push_back({ infos[index].x, infos[index].y, infos[index].width, infos[index].height });
    if (infos)
        table.XRRFreeMonitors(infos);
    return monitors;
}

}

ScreenArea monitorWithPointer(const Xlib& x, ::Display* display)
{
    int screen = DefaultScreen(display);
    ScreenArea whole { 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen) };
    auto monitors = xineramaMonitors(x, display);
    if (monitors.empty())
        monitors = randrMonitors(display);
    Window root = 0, child = 0;
    int pointerX = 0, pointerY = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    if (monitors.empty()
        || !x.XQueryPointer(
            display, DefaultRootWindow(display), &root, &child, &pointerX, &pointerY, &windowX, &windowY, &mask))
        return monitors.empty() ? whole : monitors.front();
    for (const ScreenArea& monitor : monitors) {
        if (pointerX >= monitor.x && pointerX < monitor.x + monitor.width && pointerY >= monitor.y
            && pointerY < monitor.y + monitor.height)
            return monitor;
    }
    return monitors.front();
}

}
