#pragma once

#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/directories.h"
#include "platform/user_defaults.h"
#include "platform/windows.h"
#include "platform/workspace.h"

namespace korvane {

// Everything the controller reaches of the operating system and the windowing system.
// The shell owns the implementations; they outlive the controller.
struct Platform {
    Application& application;
    Bundle& bundle;
    Directories& directories;
    UserDefaults& defaults;
    WindowSystem& windows;
    Workspace& workspace;
};

} // namespace korvane
