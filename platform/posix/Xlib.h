// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Xlib's entry points, loaded with dlopen only when an alert is shown.
#pragma once

#include "DynamicLibrary.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#define ZELVANT_XLIB_FUNCTIONS(F)                                                                                      \
    F(XOpenDisplay)                                                                                                    \
    F(XCloseDisplay)                                                                                                   \
    F(XSetErrorHandler)                                                                                                \
    F(XSetIOErrorHandler)                                                                                              \
    F(XInternAtom)                                                                                                     \
    F(XCreateSimpleWindow)                                                                                             \
    F(XDestroyWindow)                                                                                                  \
    F(XStoreName)                                                                                                      \
    F(XChangeProperty)                                                                                                 \
    F(XSetClassHint)                                                                                                   \
    F(XSetWMHints)                                                                                                     \
    F(XSetWMNormalHints)                                                                                               \
    F(XSetWMProtocols)                                                                                                 \
    F(XSelectInput)                                                                                                    \
    F(XMapWindow)                                                                                                      \
    F(XMapSubwindows)                                                                                                  \
    F(XSetInputFocus)                                                                                                  \
    F(XNextEvent)                                                                                                      \
    F(XPending)                                                                                                        \
    F(XLookupKeysym)                                                                                                   \
    F(XLoadQueryFont)                                                                                                  \
    F(XFreeFont)                                                                                                       \
    F(XTextWidth16)                                                                                                    \
    F(XAllocColor)                                                                                                     \
    F(XCreateGC)                                                                                                       \
    F(XFreeGC)                                                                                                         \
    F(XSetForeground)                                                                                                  \
    F(XSetFont)                                                                                                        \
    F(XSetLineAttributes)                                                                                              \
    F(XFillRectangle)                                                                                                  \
    F(XDrawRectangle)                                                                                                  \
    F(XFillPolygon)                                                                                                    \
    F(XDrawLines)                                                                                                      \
    F(XFillArc)                                                                                                        \
    F(XDrawString16)                                                                                                   \
    F(XCreatePixmap)                                                                                                   \
    F(XFreePixmap)                                                                                                     \
    F(XGetImage)                                                                                                       \
    F(XQueryPointer)                                                                                                   \
    F(XGetDefault)                                                                                                     \
    F(XFree)                                                                                                           \
    F(XFlush)

namespace platform {

// The entry points of a loaded libX11.
struct Xlib {
    ZELVANT_XLIB_FUNCTIONS(ZELVANT_DECLARE_FUNCTION)
    // Since libX11 1.7: lets a lost connection return to us instead of exiting.
    decltype(&::XSetIOErrorExitHandler) XSetIOErrorExitHandler { nullptr };
};

// libX11 opened for as long as this lives; a machine without it has no
// dialog, only the headless alert.
class XlibLibrary {
public:
    XlibLibrary();

    // Whether the library and every function the dialog needs were found.
    bool isLoaded() const { return m_loaded; }
    const Xlib& functions() const { return m_functions; }

private:
    DynamicLibrary m_library { "libX11.so.6" };
    Xlib m_functions;
    bool m_loaded { false };
};

}
