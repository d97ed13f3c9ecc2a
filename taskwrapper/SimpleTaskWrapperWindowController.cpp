#include "SimpleTaskWrapperWindowController.h"

#include "SystemLog.h"

SimpleTaskWrapperWindowController::~SimpleTaskWrapperWindowController()
{
    // Let go while this is still whole: a wrapper that was never stopped
    // stops now and tells us so.
    m_wrapper.reset();
}

void SimpleTaskWrapperWindowController::appendOutput(std::string_view text)
{
    platform::systemLog(text);
}

void SimpleTaskWrapperWindowController::processStarted()
{
    platform::systemLog("Process started.");
}

void SimpleTaskWrapperWindowController::processFinished()
{
    platform::systemLog("Process finished.");
}

void SimpleTaskWrapperWindowController::setTaskWrapper(std::shared_ptr<TaskWrapper> wrapper)
{
    // Taking the new one before the old goes keeps a wrapper given twice alive.
    m_wrapper = std::move(wrapper);
}
