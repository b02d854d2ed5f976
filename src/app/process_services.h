#pragma once

#include "platform/platform.h"

namespace korvane {

// What every shell installs once per process before the controller starts: the event log
// below the user's Application Support folder, and the system log as the place where errors
// that escape a background task are reported.
void installProcessServices(Platform& platform);

} // namespace korvane
