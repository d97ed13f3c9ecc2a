// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#pragma once

// The thread pool of the tree walks, and the count a walk waits on.

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::tree {

// Work queued from one directory, waited for before the directory is left.
class PendingWork {
public:
    PendingWork() = default;
    explicit PendingWork(size_t count)
        : m_count(count)
    {
    }
    void add();
    // True for the last one pending.
    bool finish();
    // Until no more than left are pending.
    void wait(size_t left = 0);

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    size_t m_count { 0 };
};

// Most of the time of a copy or a removal is spent in the file system
// (creating inodes, freeing and discarding blocks); several of those in flight
// finish sooner, even on few cores, but only in different directories: the
// kernel makes entries in one directory one at a time. So jobs come grouped by
// the directory they work in, and a free thread takes the next job of the
// group with the fewest threads at it. Queued jobs and groups are bounded
// (each group holds directories open); beyond that the caller does the job
// itself. With no threads every job runs in the caller.
class WorkPool {
public:
    explicit WorkPool(unsigned threads);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void run(const void* group, std::function<void()> job);

private:
    static constexpr size_t jobLimit = 1024;

    struct Group {
        const void* key;
        std::deque<std::function<void()>> jobs;
        unsigned working;
    };

    void work();

    unsigned m_threadCount;
    size_t m_groupLimit;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::list<Group> m_groups; // in arrival order
    size_t m_queued { 0 };
    std::vector<std::thread> m_threads;
    bool m_closing { false };
};

}
