// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Opens libX11 at run time, so the launcher has no link-time GUI dependency.
#include "Xlib.h"

namespace platform {

XlibLibrary::XlibLibrary()
{
    const DynamicLibrary& library = m_library;
    Xlib& table = m_functions;
    bool complete = library.isOpen();
    ZELVANT_XLIB_FUNCTIONS(ZELVANT_RESOLVE_FUNCTION)
    library.resolve("XSetIOErrorExitHandler", table.XSetIOErrorExitHandler);
    m_loaded = complete;
}

}
