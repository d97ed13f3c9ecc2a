// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "Task.h"

#include "FileHandle.h"
#include "RunLoop.h"
#include "ThreadAffinity.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

extern char** environ;

// glibc's <sys/pidfd.h> lacks C linkage in C++; call the kernel directly.
static int pidfd_open(pid_t pid, unsigned flags) { return static_cast<int>(syscall(SYS_pidfd_open, pid, flags)); }

static int pidfd_send_signal(int pidfd, int signal, siginfo_t* info, unsigned flags)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, info, flags));
}

namespace platform {

namespace {

// Children whose Task went away before they ended. Each is reaped when its
// pidfd turns readable in the run loop, or by a sweep at the next launch, so
// no zombie outlives its exit for long. One for each thread, like the run loop it watches with.
class OrphanReaper {
public:
    static OrphanReaper& current()
    {
        // Its watches hold the run loop only weakly, so either may go first when the thread ends.
        thread_local OrphanReaper reaper;
        return reaper;
    }

    // The pid names the child as long as it is not reaped, which only we do.
    void adopt(ScopedFD exitDescriptor, pid_t pid)
    {
        m_thread.assertIsCurrent();
        int fd = exitDescriptor.get();
        auto& orphan = m_orphans[fd];
        orphan.exitDescriptor = std::move(exitDescriptor);
        orphan.pid = pid;
        orphan.watch = RunLoop::current().watchReadable(fd, [this, fd, pid] {
            if (reaped(pid))
                m_orphans.erase(fd);
        });
    }

    void sweep()
    {
        m_thread.assertIsCurrent();
        std::erase_if(m_orphans, [](const auto& entry) { return reaped(entry.second.pid); });
    }

private:
    static bool reaped(pid_t pid)
    {
        siginfo_t info {};
        int result;
        do
            result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
        while (result < 0 && errno == EINTR);
        // ECHILD: someone else reaped it; nothing left to wait for either way.
        return result < 0 || info.si_pid != 0;
    }

    struct Orphan {
        ScopedFD exitDescriptor;
        pid_t pid { -1 };
        RunLoop::Registration watch;
    };
    std::unordered_map<int, Orphan> m_orphans;
    ThreadAffinity m_thread;
};

// The null-terminated array of pointers that exec wants, into strings that must outlive it.
std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers(strings.size() + 1, nullptr);
    std::ranges::transform(strings, pointers.begin(), [](std::string& string) { return string.data(); });
    return pointers;
}

}

// A posix_spawn* setup call that fails is an error naming it.
#define SPAWN_CHECK(call, ...)                                                                                         \
    do {                                                                                                               \
        if (int error = call(__VA_ARGS__))                                                                             \
            return Error::fromSyscall(#call, error, program);                                                          \
    } while (0)

void Task::setStandardInput(std::shared_ptr<Pipe> pipe)
{
    m_standardInput = pipe ? pipe->fileHandleForReading()->fileDescriptor() : -1;
    m_standardInputPipe = std::move(pipe);
}

void Task::setStandardOutput(std::shared_ptr<Pipe> pipe)
{
    m_standardOutput = pipe ? pipe->fileHandleForWriting()->fileDescriptor() : -1;
    m_standardOutputPipe = std::move(pipe);
}

void Task::setStandardError(std::shared_ptr<Pipe> pipe)
{
    m_standardError = pipe ? pipe->fileHandleForWriting()->fileDescriptor() : -1;
    m_standardErrorPipe = std::move(pipe);
}

// Where the kernel has no pidfd_open (before 5.3, or under a tool that does not
// know the call): an eventfd that a thread signals once the child has exited,
// without reaping it, so the pid stays ours until Task reaps it.
static ScopedFD exitEvent(pid_t pid)
{
    ScopedFD event { ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) };
    if (!event)
        return {};
    ScopedFD signalled { ::fcntl(event.get(), F_DUPFD_CLOEXEC, 0) };
    if (!signalled)
        return {};
    std::thread([pid, signalled = std::move(signalled)] {
        siginfo_t info {};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) { }
        uint64_t one = 1;
        while (::write(signalled.get(), &one, sizeof one) < 0 && errno == EINTR) { }
    }).detach();
    return event;
}

void Task::closeChildEnds()
{
    if (m_standardInputPipe)
        m_standardInputPipe->fileHandleForReading()->closeFile();
    if (m_standardOutputPipe)
        m_standardOutputPipe->fileHandleForWriting()->closeFile();
    if (m_standardErrorPipe)
        m_standardErrorPipe->fileHandleForWriting()->closeFile();
}

Result<void> Task::launch()
{
    if (m_pid > 0)
        return Error::failure("launch", "the task has already been launched", m_launchPath);
    OrphanReaper::current().sweep();
    const std::string& program = executable();
    auto pid = spawn(program, m_executable.empty() ? m_launchPath : m_argument0);
    // Whatever happened, our copies of the child's pipe ends must go, or the
    // reader would never see end of file.
    closeChildEnds();
    if (!pid)
        return pid.error();
    return watchExit(*pid, program);
}

// The environment set, or ours; the passed descriptor's variable joins either.
std::vector<std::string> Task::childEnvironment() const
{
    std::vector<std::string> variables;
    for (const auto& [name, value] : m_environment.value_or(Environment {}))
        variables.emplace_back(name).append("=").append(value);
    if (m_passedDescriptorVariable.empty())
        return variables;
    std::string assignment = m_passedDescriptorVariable + "=";
    for (char** variable = environ; !m_environment && *variable; ++variable)
        variables.emplace_back(*variable);
    std::erase_if(variables, [&](const std::string& variable) { return variable.starts_with(assignment); });
    variables.push_back(assignment + "3");
    return variables;
}

Result<pid_t> Task::spawn(const std::string& program, const std::string& argument0)
{
    std::vector<std::string> arguments { argument0 };
    arguments.insert(arguments.end(), m_arguments.begin(), m_arguments.end());
    auto argv = pointersTo(arguments);
    bool inherits = !m_environment && m_passedDescriptorVariable.empty();
    std::vector<std::string> variables = inherits ? std::vector<std::string> {} : childEnvironment();
    auto envp = pointersTo(variables);

    posix_spawnattr_t attributes;
    SPAWN_CHECK(posix_spawnattr_init, &attributes);
    auto destroyAttributes = [](posix_spawnattr_t* object) { posix_spawnattr_destroy(object); };
    std::unique_ptr<posix_spawnattr_t, decltype(destroyAttributes)> attributesOwner { &attributes };
    posix_spawn_file_actions_t actions;
    SPAWN_CHECK(posix_spawn_file_actions_init, &actions);
    auto destroyActions = [](posix_spawn_file_actions_t* object) { posix_spawn_file_actions_destroy(object); };
    std::unique_ptr<posix_spawn_file_actions_t, decltype(destroyActions)> actionsOwner { &actions };

    // The child starts with no blocked signals, default handlers and a process group of its own.
    sigset_t signals;
    sigemptyset(&signals);
    SPAWN_CHECK(posix_spawnattr_setsigmask, &attributes, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    SPAWN_CHECK(posix_spawnattr_setsigdefault, &attributes, &signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (m_startsNewSession) {
        flags |= POSIX_SPAWN_SETSID;
    } else {
        SPAWN_CHECK(posix_spawnattr_setpgroup, &attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    SPAWN_CHECK(posix_spawnattr_setflags, &attributes, flags);

    int streams[3] = { m_standardInput, m_standardOutput, m_standardError };
    for (int target = 0; target < 3; ++target) {
        if (streams[target] >= 0)
            SPAWN_CHECK(posix_spawn_file_actions_adddup2, &actions, streams[target], target);
    }
    // dup2 onto itself clears close-on-exec, as the fd's own number may already be 3.
    if (m_passedDescriptor >= 0)
        SPAWN_CHECK(posix_spawn_file_actions_adddup2, &actions, m_passedDescriptor, 3);
    SPAWN_CHECK(posix_spawn_file_actions_addclosefrom_np, &actions, m_passedDescriptor >= 0 ? 4 : 3);

    pid_t pid = -1;
    SPAWN_CHECK(
        posix_spawn, &pid, program.c_str(), &actions, &attributes, argv.data(), inherits ? environ : envp.data());
    return pid;
}

Result<void> Task::watchExit(pid_t pid, const std::string& program)
{
    m_pid = pid;
    // pidfds are close-on-exec by nature.
    m_pidfd = ScopedFD { pidfd_open(pid, 0) };
    m_hasPidfd = m_pidfd.isValid();
    if (!m_pidfd && errno == ENOSYS)
        m_pidfd = exitEvent(pid);
    if (!m_pidfd) {
        // Without a pidfd we cannot signal safely; reap it now rather than leak a zombie.
        Error failure = Error::fromErrno("pidfd_open", program);
        ::kill(pid, SIGKILL);
        reap(true);
        return failure;
    }
    return {};
}

std::string Task::signalDescription(int signal)
{
    // Unlike strsignal, safe on any thread.
    if (const char* description = sigdescr_np(signal))
        return description;
    return "signal " + std::to_string(signal);
}

bool Task::reap(bool block)
{
    if (m_reaped || m_pid <= 0)
        return m_reaped;
    siginfo_t info {};
    int options = WEXITED | (block ? 0 : WNOHANG);
    int result;
    do
        result = m_hasPidfd ? waitid(P_PIDFD, static_cast<id_t>(m_pidfd.get()), &info, options)
                            : waitid(P_PID, static_cast<id_t>(m_pid), &info, options);
    while (result < 0 && errno == EINTR);
    if (result < 0 || info.si_pid == 0)
        return false;
    m_reaped = true;
    m_terminatedBySignal = info.si_code != CLD_EXITED;
    m_terminationStatus = info.si_status;
    return true;
}

void Task::waitUntilExit()
{
    if (m_pid <= 0 || m_reaped)
        return;
    if (!m_pidfd) {
        reap(true);
        return;
    }
    auto watch = RunLoop::current().watchReadable(m_pidfd.get(), [this] { reap(false); });
    // The loop gives up only when its wait fails (our own watch leaves it
    // something to wait for); then the exit is waited for without it.
    if (auto reaped = RunLoop::current().runUntil([this] { return m_reaped; }); !reaped || !*reaped)
        reap(true);
}

bool Task::isRunning() { return m_pid > 0 && !reap(false); }

void Task::sendSignal(int signal)
{
    // The pidfd names this child only: once reaped the signal fails with ESRCH
    // instead of reaching whoever got the pid next.
    bool sent = false;
    if (m_hasPidfd && !m_reaped)
        sent = pidfd_send_signal(m_pidfd.get(), signal, nullptr, 0) == 0;
    // Without one, the pid is as safe while the child is not reaped: a zombie keeps it.
    else if (m_pid > 0 && !m_reaped)
        sent = ::kill(m_pid, signal) == 0;
    if (sent)
        m_signalsSent.insert(signal);
}

bool Task::terminatedOnRequest() const
{
    return m_reaped && m_terminatedBySignal && m_signalsSent.contains(m_terminationStatus);
}

void Task::terminate() { sendSignal(SIGTERM); }

void Task::kill() { sendSignal(SIGKILL); }

Task::~Task()
{
    // A child still running is not killed (it may be meant to outlive us), but
    // it is not left to become a zombie either.
    if (!reap(false) && m_pidfd)
        OrphanReaper::current().adopt(std::move(m_pidfd), m_pid);
}

}
