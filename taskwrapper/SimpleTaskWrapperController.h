#pragma once

#include "TaskWrapper.h"
#include "TaskWrapperController.h"
#include "TaskWrapperControllerInfo.h"

#include <memory>

// Writes every event of its wrapper to the system log and keeps the wrapper alive.
class SimpleTaskWrapperController : public TaskWrapperController, public TaskWrapperControllerInfo {
public:
    SimpleTaskWrapperController() = default;
    ~SimpleTaskWrapperController() override;

    void appendOutput(std::string_view text) override;
    void processStarted() override;
    void processFinished() override;

    void setTaskWrapper(std::shared_ptr<TaskWrapper>) override;
    TaskWrapper* taskWrapper() const override { return m_wrapper.get(); }

private:
    std::shared_ptr<TaskWrapper> m_wrapper;
};
