// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// The thread pool of the tree walks (see WorkPool.h for why it groups jobs).
#include "WorkPool.h"

#include <algorithm>
#include <climits>
#include <system_error>

namespace platform::tree {

void PendingWork::add()
{
    std::lock_guard guard { m_lock };
    ++m_count;
}

bool PendingWork::finish()
{
    std::lock_guard guard { m_lock };
    if (--m_count <= 1)
        m_done.notify_all();
    return !m_count;
}

void PendingWork::wait(size_t left)
{
    std::unique_lock guard { m_lock };
    m_done.wait(guard, [&] { return m_count <= left; });
}

WorkPool::WorkPool(unsigned threads)
    : m_threadCount(threads)
    , m_groupLimit(size_t { 2 } * threads)
{
}

WorkPool::~WorkPool()
{
    {
        std::lock_guard guard { m_lock };
        m_closing = true;
    }
    m_wake.notify_all();
    for (auto& thread : m_threads)
        thread.join();
}

void WorkPool::run(const void* group, std::function<void()> job)
{
    std::unique_lock guard { m_lock };
    if (m_threads.size() < m_threadCount) {
        try {
            m_threads.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            m_threadCount = static_cast<unsigned>(m_threads.size());
        }
    }
    auto found
        = std::find_if(m_groups.begin(), m_groups.end(), [&](const Group& queued) { return queued.key == group; });
    if (m_threads.empty() || m_queued >= jobLimit || (found == m_groups.end() && m_groups.size() >= m_groupLimit)) {
        guard.unlock();
        job();
        return;
    }
    if (found == m_groups.end())
        found = m_groups.insert(m_groups.end(), Group { group, {}, 0 });
    found->jobs.push_back(std::move(job));
    ++m_queued;
    guard.unlock();
    m_wake.notify_one();
}

void WorkPool::work()
{
    std::unique_lock guard { m_lock };
    for (;;) {
        m_wake.wait(guard, [&] { return m_closing || m_queued; });
        if (!m_queued)
            return;
        // The first of those with the fewest threads at them that has a job.
        auto group = std::ranges::min_element(
            m_groups, {}, [](const Group& each) { return each.jobs.empty() ? UINT_MAX : each.working; });
        auto job = std::move(group->jobs.front());
        group->jobs.pop_front();
        --m_queued;
        ++group->working;
        guard.unlock();
        job();
        job = nullptr; // its directory descriptors close outside the lock
        guard.lock();
        // Groups live in a list: the iterator stays good while others come and go.
        if (!--group->working && group->jobs.empty())
            m_groups.erase(group);
    }
}

}
