#pragma once

#include <string_view>

// The events of one run of a TaskWrapper.
class TaskWrapperController {
public:
    virtual ~TaskWrapperController() = default;

    // One output chunk: the decoded text of one read of the child's joined
    // standard output and standard error. Valid for the call only.
    virtual void appendOutput(std::string_view text) = 0;
    // The wrapper is about to start the child; it does not exist yet.
    virtual void processStarted() = 0;
    // The child has been stopped and the rest of its output handed over; no
    // event follows.
    virtual void processFinished() = 0;
};
