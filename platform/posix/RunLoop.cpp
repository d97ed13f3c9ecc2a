// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
#include "RunLoop.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <poll.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

struct Source {
    int fd { -1 }; // -1: a timer
    RunLoop::Clock::time_point deadline;
    std::function<void()> callback;
    bool active { true };
};

}

struct RunLoop::Registration::State {
    // Ordered by identifier, so sources fire in the order they were registered.
    std::map<uint64_t, std::shared_ptr<Source>> sources;
    uint64_t nextIdentifier { 1 };

    uint64_t add(Source source)
    {
        sources.emplace(nextIdentifier, std::make_shared<Source>(std::move(source)));
        return nextIdentifier++;
    }

    void remove(uint64_t identifier)
    {
        auto found = sources.find(identifier);
        if (found == sources.end())
            return;
        found->second->active = false;
        sources.erase(found);
    }
};

RunLoop::Registration::Registration(std::weak_ptr<State> state, uint64_t identifier)
    : m_state(std::move(state))
    , m_identifier(identifier)
{
}

RunLoop::Registration::Registration(Registration&& other) noexcept
    : m_state(std::move(other.m_state))
    , m_identifier(std::exchange(other.m_identifier, 0))
{
}

RunLoop::Registration& RunLoop::Registration::operator=(Registration&& other) noexcept
{
    if (this != &other) {
        reset();
        m_state = std::move(other.m_state);
        m_identifier = std::exchange(other.m_identifier, 0);
    }
    return *this;
}

bool RunLoop::Registration::isActive() const
{
    auto state = m_state.lock();
    return state && state->sources.contains(m_identifier);
}

void RunLoop::Registration::reset()
{
    // The loop may already be gone (a registration kept past thread exit).
    if (auto state = m_state.lock())
        state->remove(m_identifier);
    m_state.reset();
    m_identifier = 0;
}

RunLoop& RunLoop::current()
{
    thread_local RunLoop loop;
    return loop;
}

RunLoop::RunLoop()
    : m_state(std::make_shared<Registration::State>())
{
}

RunLoop::~RunLoop() = default;

RunLoop::Registration RunLoop::watchReadable(int fd, std::function<void()> callback)
{
    m_thread.assertIsCurrent();
    return Registration { m_state, m_state->add({ fd, {}, std::move(callback) }) };
}

RunLoop::Registration RunLoop::scheduleTimer(Clock::time_point deadline, std::function<void()> callback)
{
    m_thread.assertIsCurrent();
    return Registration { m_state, m_state->add({ -1, deadline, std::move(callback) }) };
}

Result<bool> RunLoop::runOnce(std::optional<Clock::time_point> deadline)
{
    m_thread.assertIsCurrent();
    // Keeps the state alive even if a callback destroys this loop's owner.
    auto state = m_state;
    if (state->sources.empty())
        return false;

    std::vector<pollfd> fds;
    std::vector<std::pair<uint64_t, std::shared_ptr<Source>>> watched;
    std::optional<Clock::time_point> wake = deadline;
    for (const auto& [identifier, source] : state->sources) {
        if (source->fd >= 0) {
            fds.push_back({ source->fd, POLLIN, 0 });
            watched.emplace_back(identifier, source);
        } else if (!wake || source->deadline < *wake) {
            wake = source->deadline;
        }
    }

    int timeout = -1;
    if (wake) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR)
        return Error::fromErrno("poll");

    // Gather first, dispatch after: callbacks may add and remove sources.
    std::vector<std::pair<uint64_t, std::shared_ptr<Source>>> fired;
    for (size_t index = 0; ready > 0 && index < fds.size(); ++index) {
        if (fds[index].revents)
            fired.push_back(watched[index]);
    }
    auto now = Clock::now();
    for (const auto& [identifier, source] : state->sources) {
        if (source->fd < 0 && source->deadline <= now)
            fired.emplace_back(identifier, source);
    }
    std::sort(fired.begin(), fired.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    for (auto& [identifier, source] : fired) {
        if (!source->active)
            continue;
        if (source->fd < 0)
            state->remove(identifier); // one-shot
        // The source stays alive through this call even if it is unregistered meanwhile.
        auto keep = source;
        keep->callback();
    }
    return true;
}

Result<bool> RunLoop::runUntil(const std::function<bool()>& done, std::optional<Clock::time_point> deadline)
{
    while (!done()) {
        if (deadline && Clock::now() >= *deadline)
            return false;
        auto turned = runOnce(deadline);
        if (!turned)
            return turned.error();
        if (!*turned)
            return done();
    }
    return true;
}

}
