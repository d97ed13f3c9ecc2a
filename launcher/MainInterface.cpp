#include "Application.h"
#include "MyApplicationDelegate.h"

// The application's interface description: it makes the one delegate.
static platform::MainInterface mainInterface { []() -> std::unique_ptr<platform::ApplicationDelegate> {
    return std::make_unique<MyApplicationDelegate>();
} };
