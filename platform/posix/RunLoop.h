#pragma once

#include "Error.h"
#include "ThreadAffinity.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// The thread's event loop: descriptor watches and one-shot timers, waited for
// with poll(2). Callbacks run on the thread that runs the loop, also while a
// callback runs the loop again (nested runs are allowed). Each thread has its
// own; it is used on that thread only.
class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Owns one registration; destroying it (or reset) unregisters, also from
    // inside the registration's own callback.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration&&) noexcept;
        Registration& operator=(Registration&&) noexcept;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        ~Registration() { reset(); }

        bool isActive() const;
        void reset();

    private:
        friend class RunLoop;
        struct State;
        Registration(std::weak_ptr<State>, uint64_t identifier);
        std::weak_ptr<State> m_state;
        uint64_t m_identifier { 0 };
    };

    static RunLoop& current();

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Calls the callback whenever fd is readable, hung up or in error, until the
    // registration goes away.
    [[nodiscard]] Registration watchReadable(int fd, std::function<void()>);
    // Calls the callback once, at the first turn of the loop after the deadline.
    [[nodiscard]] Registration scheduleTimer(Clock::time_point deadline, std::function<void()>);

    // Runs turns until done() holds or the deadline passes; also returns when
    // nothing is registered any more, since then nothing can change. Returns
    // done(), or the error of a wait that failed.
    Result<bool> runUntil(const std::function<bool()>& done, std::optional<Clock::time_point> deadline = {});
    // One turn: waits until something is ready (at most until the deadline)
    // and dispatches it. False when there was nothing to wait for.
    Result<bool> runOnce(std::optional<Clock::time_point> deadline = {});

private:
    std::shared_ptr<Registration::State> m_state;
    ThreadAffinity m_thread;
};

}
