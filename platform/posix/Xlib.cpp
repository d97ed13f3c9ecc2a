// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// Opens libX11 at run time, so the launcher has no link-time GUI dependency.
#include "Xlib.h"

#include <dlfcn.h>

namespace platform {

template<typename Function> static bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function;
}

XlibLibrary::XlibLibrary()
    : m_handle(dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL))
{
    if (!m_handle)
        return;
    bool complete = true;
#define ZELVANT_RESOLVE(name) complete = resolve(m_handle, #name, m_functions.name) && complete;
    ZELVANT_XLIB_FUNCTIONS(ZELVANT_RESOLVE)
#undef ZELVANT_RESOLVE
    resolve(m_handle, "XSetIOErrorExitHandler", m_functions.XSetIOErrorExitHandler);
    m_loaded = complete;
}

XlibLibrary::~XlibLibrary()
{
    if (m_handle)
        dlclose(m_handle);
}

}
