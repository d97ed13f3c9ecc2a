#include "SimpleTaskWrapperController.h"

#include "SystemLog.h"

SimpleTaskWrapperController::~SimpleTaskWrapperController()
{
    // Let go while this is still whole: a wrapper that was never stopped
    // stops now and tells us so.
    m_wrapper.reset();
}

void SimpleTaskWrapperController::appendOutput(std::string_view text) { platform::systemLog(text); }

void SimpleTaskWrapperController::processStarted() { platform::systemLog("Process started."); }

void SimpleTaskWrapperController::processFinished() { platform::systemLog("Process finished."); }

void SimpleTaskWrapperController::setTaskWrapper(std::shared_ptr<TaskWrapper> wrapper)
{
    // Taking the new one before the old goes keeps a wrapper given twice alive.
    m_wrapper = std::move(wrapper);
}
