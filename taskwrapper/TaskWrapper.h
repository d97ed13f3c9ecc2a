#pragma once

#include "Error.h"
#include "FileHandle.h"
#include "RunLoop.h"
#include "Task.h"
#include "TaskWrapperController.h"
#include "TaskWrapperControllerInfo.h"
#include "UTF8Decoder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class Notification;
}

// Runs one child process with its standard output and standard error on one
// pipe, hands each piece of output to the controller as it arrives and, when
// asked to, gathers all of it. Everything runs on the thread that starts it,
// driven by that thread's run loop.
//
// The wrapper never owns its controller. A controller that adopts
// TaskWrapperControllerInfo is handed the wrapper at creation and keeps it alive.
class TaskWrapper : public std::enable_shared_from_this<TaskWrapper> {
public:
    // arguments[0] is the program; the rest are its arguments.
    static std::shared_ptr<TaskWrapper> taskWrapperWithController(
        TaskWrapperController*, std::vector<std::string> arguments);
    // The program alone, run without arguments.
    static std::shared_ptr<TaskWrapper> taskWrapperWithController(TaskWrapperController*, std::string taskPath);
    // The program, then the given arguments; the caller's list is left as it is.
    static std::shared_ptr<TaskWrapper> taskWrapperWithController(
        TaskWrapperController*, std::string taskPath, const std::vector<std::string>& arguments);

    ~TaskWrapper();
    TaskWrapper(const TaskWrapper&) = delete;
    TaskWrapper& operator=(const TaskWrapper&) = delete;

    // Starts the child with our environment. A program that cannot be started
    // is an error (processStarted has been sent by then). A wrapper runs one
    // process: a second start is refused and changes nothing.
    platform::Result<void> startProcess();
    // The same with the child's whole environment given; none means ours.
    platform::Result<void> startProcessWithEnvironment(std::optional<platform::Task::Environment>);
    // Stops listening, asks the child to terminate, hands over what is left in
    // the pipe and tells the controller (the first time only) that it is done.
    void stopProcess();
    // Waits until the child has exited, delivering its output meanwhile, then stops.
    void waitUntilExit();

    // The gathered output itself (it grows while gathering goes on), or none
    // while gathering is off.
    const std::string* output() const { return m_gatherOutput ? &m_output : nullptr; }
    // A copy of it as it is now, or none while gathering is off.
    std::optional<std::string> outputCopy() const;
    bool gatherOutput() const { return m_gatherOutput; }
    void setGatherOutput(bool gatherOutput) { m_gatherOutput = gatherOutput; }
    // Only the first limit bytes are gathered; the rest still goes to the controller.
    void setGatherLimit(size_t limit) { m_gatherLimit = limit; }

    // Whether the wrapper asked the child to terminate only after its output
    // had ended: a child then ended by that request (or by the kill that
    // follows it after a short grace) did not crash.
    bool terminatedAfterEndOfOutput() const { return m_terminatedAfterEndOfOutput; }

    // None after the first stop.
    TaskWrapperController* controller() const { return m_controller; }
    // None before the start.
    platform::Task* task() const { return m_task.get(); }
    const std::vector<std::string>& arguments() const { return m_arguments; }

    // The handler of the read completions; the start registers it.
    void getData(const platform::Notification&);

private:
    TaskWrapper() = default;
    void initWithController(TaskWrapperController*, std::vector<std::string> arguments);
    void initWithController(TaskWrapperController*, std::string taskPath);
    void initWithController(TaskWrapperController*, std::string taskPath, const std::vector<std::string>& arguments);

    void handOver(std::string_view text);
    void gather(std::string_view text);
    void drain();
    const std::shared_ptr<platform::FileHandle>& outputHandle() const;

    std::unique_ptr<platform::Task> m_task;
    TaskWrapperController* m_controller { nullptr };
    std::vector<std::string> m_arguments;
    bool m_gatherOutput { false };
    std::string m_output;
    size_t m_gatherLimit { SIZE_MAX };

    platform::UTF8Decoder m_decoder;
    bool m_listening { false };
    // Set once the pipe is known to hold nothing more worth waiting for.
    bool m_outputDone { false };
    // The read end saw end of file.
    bool m_outputEnded { false };
    bool m_terminatedAfterEndOfOutput { false };
    platform::RunLoop::Registration m_killTimer;
};
