// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Xft's and fontconfig's entry points, loaded with dlopen only when an alert is shown.
#pragma once

#include "DynamicLibrary.h"

#include <X11/Xft/Xft.h>

#define ZELVANT_XFT_FUNCTIONS(F)                                                                                       \
    F(XftFontOpenPattern)                                                                                              \
    F(XftFontClose)                                                                                                    \
    F(XftDrawCreate)                                                                                                   \
    F(XftDrawDestroy)                                                                                                  \
    F(XftDrawString32)                                                                                                 \
    F(XftTextExtents32)                                                                                                \
    F(XftColorAllocValue)                                                                                              \
    F(XftColorFree)                                                                                                    \
    F(XftDefaultSubstitute)

#define ZELVANT_FONTCONFIG_FUNCTIONS(F)                                                                                \
    F(FcPatternCreate)                                                                                                 \
    F(FcPatternDestroy)                                                                                                \
    F(FcPatternAddString)                                                                                              \
    F(FcPatternAddInteger)                                                                                             \
    F(FcPatternAddDouble)                                                                                              \
    F(FcPatternGetCharSet)                                                                                             \
    F(FcCharSetHasChar)                                                                                                \
    F(FcConfigSubstitute)                                                                                              \
    F(FcFontSort)                                                                                                      \
    F(FcFontSetDestroy)                                                                                                \
    F(FcFontRenderPrepare)                                                                                             \
    F(FcFini)

namespace platform {

struct Xft {
    ZELVANT_XFT_FUNCTIONS(ZELVANT_DECLARE_FUNCTION)
    ZELVANT_FONTCONFIG_FUNCTIONS(ZELVANT_DECLARE_FUNCTION)
};

// libXft and libfontconfig, opened when an alert is shown. Without them the
// dialog draws with the server's core fonts.
class XftLibrary {
public:
    XftLibrary();
    // Fontconfig's caches are freed once the display is closed (closing it
    // frees Xft's fonts), unless fontconfig was in the process before us: then
    // someone else may still use them.
    ~XftLibrary();
    XftLibrary(const XftLibrary&) = delete;
    XftLibrary& operator=(const XftLibrary&) = delete;

    bool isLoaded() const { return m_loaded; }
    const Xft& functions() const { return m_functions; }
    void displayClosed() { m_displayClosed = true; }

private:
    bool m_fontconfigWasLoaded;
    DynamicLibrary m_fontconfig { "libfontconfig.so.1" };
    DynamicLibrary m_xft { "libXft.so.2" };
    Xft m_functions;
    bool m_loaded { false };
    bool m_displayClosed { false };
};

}
