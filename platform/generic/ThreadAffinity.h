#pragma once

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace platform {

// For objects used on one thread only: remembers the thread that made its
// owner, and ends the process when a use comes from another (in every build:
// one comparison).
class ThreadAffinity {
public:
    void assertIsCurrent() const
    {
        if (m_thread != std::this_thread::get_id()) [[unlikely]] {
            std::fputs("Zelvant: an object of one thread was used on another thread\n", stderr);
            std::abort();
        }
    }

private:
    std::thread::id m_thread { std::this_thread::get_id() };
};

}
