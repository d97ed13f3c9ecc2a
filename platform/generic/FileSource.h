#pragma once

#include "Error.h"

#include <cstddef>
#include <string>

namespace platform {

// How portable code reads a file: the layers below implement it (the file manager).
class FileSource {
public:
    virtual ~FileSource() = default;
    // The bytes of a regular file of at most maximumSize bytes; anything
    // else (a FIFO, a device, a larger file) fails without blocking.
    virtual Result<std::string> contentsOfRegularFile(const std::string& path, size_t maximumSize) const = 0;
};

}
