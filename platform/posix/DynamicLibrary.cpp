// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

// Never unloaded: Xlib and its kin keep memory in their globals and register
// hooks that run when a display closes; an unload would orphan both.
DynamicLibrary::DynamicLibrary(const char* soname)
    : m_handle(dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
{
}

DynamicLibrary::~DynamicLibrary()
{
    if (m_handle)
        dlclose(m_handle);
}

bool DynamicLibrary::isInProcess(const char* soname)
{
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle;
}

void* DynamicLibrary::symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

}
