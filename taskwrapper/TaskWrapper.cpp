#include "TaskWrapper.h"

#include "NotificationCenter.h"
#include "RunLoop.h"

#include <algorithm>

using namespace platform;

namespace {

// Once the child has been told to stop, the pipe is read until it ends; but a
// process that keeps it open (a grandchild, say) must not hold us: give up
// after a quiet spell, and in any case after a hard limit.
constexpr auto drainQuietSpell = std::chrono::milliseconds(200);
constexpr auto drainLimit = std::chrono::seconds(2);
// How long a child whose output has ended may take to end once asked.
constexpr auto terminationGrace = std::chrono::milliseconds(500);

}

std::shared_ptr<TaskWrapper> TaskWrapper::taskWrapperWithController(
    TaskWrapperController* controller, std::vector<std::string> arguments)
{
    std::shared_ptr<TaskWrapper> wrapper { new TaskWrapper };
    wrapper->initWithController(controller, std::move(arguments));
    return wrapper;
}

std::shared_ptr<TaskWrapper> TaskWrapper::taskWrapperWithController(
    TaskWrapperController* controller, std::string taskPath)
{
    std::shared_ptr<TaskWrapper> wrapper { new TaskWrapper };
    wrapper->initWithController(controller, std::move(taskPath));
    return wrapper;
}

std::shared_ptr<TaskWrapper> TaskWrapper::taskWrapperWithController(
    TaskWrapperController* controller, std::string taskPath, const std::vector<std::string>& arguments)
{
    std::shared_ptr<TaskWrapper> wrapper { new TaskWrapper };
    wrapper->initWithController(controller, std::move(taskPath), arguments);
    return wrapper;
}

void TaskWrapper::initWithController(TaskWrapperController* controller, std::vector<std::string> arguments)
{
    m_controller = controller;
    m_arguments = std::move(arguments);
    if (auto* info = dynamic_cast<TaskWrapperControllerInfo*>(controller))
        info->setTaskWrapper(shared_from_this());
}

void TaskWrapper::initWithController(TaskWrapperController* controller, std::string taskPath)
{
    initWithController(controller, std::vector<std::string> { std::move(taskPath) });
}

void TaskWrapper::initWithController(
    TaskWrapperController* controller, std::string taskPath, const std::vector<std::string>& arguments)
{
    std::vector<std::string> all;
    all.reserve(arguments.size() + 1);
    all.push_back(std::move(taskPath));
    all.insert(all.end(), arguments.begin(), arguments.end());
    initWithController(controller, std::move(all));
}

TaskWrapper::~TaskWrapper() { stopProcess(); }

std::optional<std::string> TaskWrapper::outputCopy() const
{
    return m_gatherOutput ? std::optional { m_output } : std::nullopt;
}

const std::shared_ptr<FileHandle>& TaskWrapper::outputHandle() const
{
    static const std::shared_ptr<FileHandle> none;
    if (!m_task || !m_task->standardOutput())
        return none;
    return m_task->standardOutput()->fileHandleForReading();
}

Result<void> TaskWrapper::startProcess() { return startProcessWithEnvironment(std::nullopt); }

Result<void> TaskWrapper::startProcessWithEnvironment(std::optional<Task::Environment> environment)
{
    if (m_task)
        return Error::failure("startProcess", "a wrapper runs one process", m_task->launchPath());
    if (m_arguments.empty())
        return Error::failure("startProcess", "no program to run");
    // The controller may let go of us from inside its handlers.
    auto protectedThis = shared_from_this();

    if (m_controller)
        m_controller->processStarted();
    m_task = std::make_unique<Task>();
    auto output = Pipe::pipe();
    if (!output)
        return output.error();
    m_task->setStandardOutput(*output);
    m_task->setStandardError(*output);
    m_task->setLaunchPath(m_arguments.front());
    m_task->setArguments({ m_arguments.begin() + 1, m_arguments.end() });
    auto input = Pipe::pipe();
    if (!input)
        return input.error();
    m_task->setStandardInput(*input);
    if (environment)
        m_task->setEnvironment(std::move(environment));

    NotificationCenter::defaultCenter().addObserver(
        this, [this](const Notification& notification) { getData(notification); }, FileHandleReadCompletionNotification,
        outputHandle().get());
    m_listening = true;
    outputHandle()->readInBackgroundAndNotify();
    return m_task->launch();
}

void TaskWrapper::getData(const Notification& notification)
{
    auto protectedThis = shared_from_this();
    if (!m_listening)
        return;
    const auto* data = notification.userInfoItem<std::span<char>>(FileHandleNotificationDataItem);
    if (!data || data->empty()) {
        // A failed read is no end of output: what the child does next is not its own choice.
        m_outputEnded = !notification.userInfoItem<Error>(FileHandleErrorItem);
        stopProcess();
        return;
    }
    handOver(m_decoder.decodeInPlace(*data, FileHandleReadHeadroom));
    // A handler may have stopped us meanwhile.
    if (m_listening)
        outputHandle()->readInBackgroundAndNotify();
}

void TaskWrapper::handOver(std::string_view text)
{
    if (text.empty())
        return;
    if (m_gatherOutput)
        gather(text);
    if (!m_controller)
        return;
    // A stop from inside the controller decodes more with the same decoder:
    // text in the decoder's buffer is taken out of it first, so that it stays
    // valid for the whole call.
    std::string owned;
    m_controller->appendOutput(m_decoder.detach(text, owned));
}

void TaskWrapper::gather(std::string_view text)
{
    // Large output grows the string eightfold rather than twofold: capacity
    // not yet written costs only address space, while every regrowth copies
    // (and faults in) everything gathered so far.
    constexpr size_t largeOutput = 1 << 20;
    text = text.substr(0, m_gatherLimit - std::min(m_gatherLimit, m_output.size()));
    size_t needed = m_output.size() + text.size();
    if (needed > m_output.capacity() && m_output.capacity() >= largeOutput)
        m_output.reserve(std::max(needed, m_output.capacity() * 8));
    m_output.append(text);
}

void TaskWrapper::drain()
{
    const auto& handle = outputHandle();
    if (handle && handle->fileDescriptor() >= 0) {
        auto now = RunLoop::Clock::now();
        auto limit = now + drainLimit;
        for (;;) {
            // Once the output has ended (or we gave up on it), only what is there now.
            auto waitUntil = m_outputDone ? now : std::min(now + drainQuietSpell, limit);
            auto ready = handle->waitForDataUntil(waitUntil);
            if (!ready || !*ready) {
                m_outputDone = true;
                break;
            }
            auto data = handle->availableData();
            if (!data || data->empty()) {
                m_outputDone = true;
                break;
            }
            handOver(m_decoder.decode(*data));
            now = RunLoop::Clock::now();
            if (now >= limit) {
                m_outputDone = true;
                break;
            }
        }
    }
    // Bytes of a character that never got finished are not dropped silently.
    handOver(m_decoder.finish());
}

void TaskWrapper::stopProcess()
{
    // Null while we are being destroyed, which is fine: nothing else is left then.
    auto protectedThis = weak_from_this().lock();
    if (const auto& handle = outputHandle()) {
        NotificationCenter::defaultCenter().removeObserver(this, FileHandleReadCompletionNotification, handle.get());
        // Nothing has been read for a pending read yet; the drain takes it all.
        handle->cancelBackgroundRead();
    }
    m_listening = false;
    if (m_task && m_task->isRunning()) {
        m_task->terminate();
        m_terminatedAfterEndOfOutput = m_outputEnded;
        // A child that ignores the request after its output has ended is made to end.
        if (m_outputEnded && !m_killTimer.isActive())
            m_killTimer = RunLoop::current().scheduleTimer(RunLoop::Clock::now() + terminationGrace, [this] {
                if (m_task->isRunning())
                    m_task->kill();
            });
    }
    drain();
    // Forgotten before it is told, so a stop from inside processFinished is not told again.
    if (auto* controller = std::exchange(m_controller, nullptr))
        controller->processFinished();
}

void TaskWrapper::waitUntilExit()
{
    auto protectedThis = shared_from_this();
    if (m_task)
        m_task->waitUntilExit();
    stopProcess();
}
