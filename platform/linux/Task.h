#pragma once

#include "Error.h"
#include "ScopedFD.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

class Pipe;

// One child process. Spawned directly from an argument vector, never through
// a shell; the child gets no descriptor but its three standard streams
// and the one passed descriptor.
class Task {
public:
    using Environment = std::map<std::string, std::string>;

    Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task();

    void setLaunchPath(std::string path) { m_launchPath = std::move(path); }
    const std::string& launchPath() const { return m_launchPath; }
    // The program that runs for the launch path, when that is another one (a
    // tool standing in for a system program), and the argv[0] it gets.
    void setExecutable(std::string path, std::string argument0)
    {
        m_executable = std::move(path);
        m_argument0 = std::move(argument0);
    }
    // What launch runs: the executable when one was set, else the launch path.
    const std::string& executable() const { return m_executable.empty() ? m_launchPath : m_executable; }
    void setArguments(std::vector<std::string> arguments) { m_arguments = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return m_arguments; }
    // Replaces the child's whole environment; unset, it inherits ours.
    void setEnvironment(std::optional<Environment> environment) { m_environment = std::move(environment); }
    const std::optional<Environment>& environment() const { return m_environment; }

    // Descriptors the child gets as 0, 1 and 2; unset, it inherits ours.
    // The task does not own them: whoever made them keeps them open until launch.
    void setStandardInput(int fd) { m_standardInput = fd; }
    void setStandardOutput(int fd) { m_standardOutput = fd; }
    void setStandardError(int fd) { m_standardError = fd; }
    // Pipes instead: the child gets the read end of the input pipe and the
    // write ends of the output pipes; launch closes our copies of those ends,
    // so end of file reaches us once the child (and what it started) is done.
    // Output and error may be the same pipe.
    void setStandardInput(std::shared_ptr<Pipe>);
    void setStandardOutput(std::shared_ptr<Pipe>);
    void setStandardError(std::shared_ptr<Pipe>);
    const std::shared_ptr<Pipe>& standardOutput() const { return m_standardOutputPipe; }
    // One more descriptor the child gets, as 3 (a status pipe, say); not owned
    // either. A variable named too tells the child the number: NAME=3.
    void setPassedDescriptor(int fd, std::string variable = {})
    {
        m_passedDescriptor = fd;
        m_passedDescriptorVariable = std::move(variable);
    }
    // The child leads a session of its own instead of just a process group.
    void setStartsNewSession(bool startsNewSession) { m_startsNewSession = startsNewSession; }

    // A program that cannot be started is an error; the task is then done
    // with (it never runs) and our ends of its pipes are closed all the same.
    Result<void> launch();
    // Blocks until the child has exited, and reaps it. The current thread's run
    // loop keeps dispatching meanwhile; the exit is seen through the pidfd.
    void waitUntilExit();
    // Asks a running child to end (SIGTERM); never signals a reaped or reused pid.
    void terminate();
    // Makes it end (SIGKILL), with the same care.
    void kill();
    bool isRunning();
    bool hasLaunched() const { return m_pid > 0; }

    pid_t processIdentifier() const { return m_pid; }
    // Readable once the child has exited: its pidfd, or where the kernel has
    // no pidfd_open, an event a watcher thread signals.
    int processDescriptor() const { return m_pidfd.get(); }
    // The exit code, or the signal number when the child was killed.
    int terminationStatus() const { return m_terminationStatus; }
    bool terminatedBySignal() const { return m_terminatedBySignal; }
    // Ended by a signal that terminate() or kill() sent it, not by one of its own or another's.
    bool terminatedOnRequest() const;
    // A signal as people know it: "Killed", "Segmentation fault".
    static std::string signalDescription(int signal);

private:
    Result<pid_t> spawn(const std::string& program, const std::string& argument0);
    std::vector<std::string> childEnvironment() const;
    Result<void> watchExit(pid_t, const std::string& program);
    void closeChildEnds();
    bool reap(bool block);
    void sendSignal(int signal);

    std::string m_launchPath;
    std::string m_executable;
    std::string m_argument0;
    std::vector<std::string> m_arguments;
    std::optional<Environment> m_environment;
    int m_standardInput { -1 };
    int m_standardOutput { -1 };
    int m_standardError { -1 };
    int m_passedDescriptor { -1 };
    std::string m_passedDescriptorVariable;
    bool m_startsNewSession { false };
    std::shared_ptr<Pipe> m_standardInputPipe;
    std::shared_ptr<Pipe> m_standardOutputPipe;
    std::shared_ptr<Pipe> m_standardErrorPipe;

    pid_t m_pid { -1 };
    ScopedFD m_pidfd;
    bool m_hasPidfd { false }; // else m_pidfd is the exit event
    bool m_reaped { false };
    int m_terminationStatus { 0 };
    bool m_terminatedBySignal { false };
    std::set<int> m_signalsSent;
};

}
