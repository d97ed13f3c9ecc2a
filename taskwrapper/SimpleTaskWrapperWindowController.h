#pragma once

#include "SimpleTaskWrapperController.h"
#include "WindowController.h"

// SimpleTaskWrapperController on a window controller: the same logging and
// the same hold on its wrapper.
class SimpleTaskWrapperWindowController : public platform::WindowController, public SimpleTaskWrapperController {
public:
    using platform::WindowController::WindowController;
};
