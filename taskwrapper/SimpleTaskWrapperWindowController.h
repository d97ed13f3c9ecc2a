#pragma once

#include "TaskWrapper.h"
#include "TaskWrapperController.h"
#include "TaskWrapperControllerInfo.h"
#include "WindowController.h"

#include <memory>

// The same as SimpleTaskWrapperController, on a window controller.
class SimpleTaskWrapperWindowController : public platform::WindowController, public TaskWrapperController, public TaskWrapperControllerInfo {
public:
    using platform::WindowController::WindowController;
    ~SimpleTaskWrapperWindowController() override;

    void appendOutput(std::string_view text) override;
    void processStarted() override;
    void processFinished() override;

    void setTaskWrapper(std::shared_ptr<TaskWrapper>) override;
    TaskWrapper* taskWrapper() const override { return m_wrapper.get(); }

private:
    std::shared_ptr<TaskWrapper> m_wrapper;
};
