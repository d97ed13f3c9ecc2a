// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

// Never unloaded: GTK keeps its types registered with GObject and hooks on
// the display it opened; an unload would orphan both.
DynamicLibrary::DynamicLibrary(const char* soname)
    : m_handle(dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
{
    if (!m_handle)
        m_error = dlerror();
}

DynamicLibrary::~DynamicLibrary()
{
    if (m_handle)
        dlclose(m_handle);
}

void* DynamicLibrary::symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

}
