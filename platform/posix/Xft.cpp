// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Opens Xft and fontconfig at run time, so the launcher links neither.
#include "Xft.h"

namespace platform {

// Fontconfig keeps what it has read until FcFini, in memory it points to by
// offsets, which a leak checker cannot follow.
XftLibrary::XftLibrary()
    : m_fontconfigWasLoaded(DynamicLibrary::isInProcess("libfontconfig.so.1"))
{
    Xft& table = m_functions;
    bool complete = m_xft.isOpen() && m_fontconfig.isOpen();
    {
        const DynamicLibrary& library = m_xft;
        ZELVANT_XFT_FUNCTIONS(ZELVANT_RESOLVE_FUNCTION)
    }
    {
        const DynamicLibrary& library = m_fontconfig;
        ZELVANT_FONTCONFIG_FUNCTIONS(ZELVANT_RESOLVE_FUNCTION)
    }
    m_loaded = complete;
}

XftLibrary::~XftLibrary()
{
    if (m_loaded && m_displayClosed && !m_fontconfigWasLoaded)
        m_functions.FcFini();
}

}
