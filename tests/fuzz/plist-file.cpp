// The preference file reader (libplist behind our pre-check): hostile bytes
// neither crash, nor hang, nor exhaust it, read or converted to values.

#include "PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (auto list = platform::PropertyList::fromBytes({ reinterpret_cast<const char*>(data), size }))
        (void)list->value();
    return 0;
}
