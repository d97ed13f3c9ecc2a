#pragma once

#include <memory>

class TaskWrapper;

// A controller that holds its wrapper; the wrapper's initialiser hands itself over.
class TaskWrapperControllerInfo {
public:
    virtual ~TaskWrapperControllerInfo() = default;

    virtual void setTaskWrapper(std::shared_ptr<TaskWrapper>) = 0;
    virtual TaskWrapper* taskWrapper() const = 0;
};
