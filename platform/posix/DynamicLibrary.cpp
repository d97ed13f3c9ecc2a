// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

static int flags(DynamicLibrary::Mode mode)
{
    switch (mode) {
    case DynamicLibrary::Mode::IfLoaded:
        return RTLD_NOLOAD;
    case DynamicLibrary::Mode::KeepLoaded:
        return RTLD_NODELETE;
    default:
        return 0;
    }
}

DynamicLibrary::DynamicLibrary(const char* soname, Mode mode)
    : m_handle(dlopen(soname, RTLD_NOW | RTLD_LOCAL | flags(mode)))
{
}

DynamicLibrary::~DynamicLibrary()
{
    if (m_handle)
        dlclose(m_handle);
}

void* DynamicLibrary::symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

}
