// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "ScopedFD.h"

#include <unistd.h>

namespace platform {

void ScopedFD::reset(int fd)
{
    int old = std::exchange(m_fd, fd);
    // Linux closes the descriptor even when close() reports EINTR; never retry.
    if (old >= 0)
        ::close(old);
}

}
