#pragma once

#include <cassert>
#include <thread>

namespace platform {

// For objects used on one thread only: remembers the thread that made its
// owner, and in debug builds asserts that each use comes from it.
class ThreadAffinity {
public:
    void assertIsCurrent() const { assert(m_thread == std::this_thread::get_id()); }

private:
    std::thread::id m_thread { std::this_thread::get_id() };
};

}
