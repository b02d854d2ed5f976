#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace korvane {

// How far this process got, as the launch-health record tells it to anyone looking from
// outside: nothing in the client reads it back.
struct LaunchHealth {
    std::int64_t build = 0;
    std::string version;
    int pid = 0;
    bool uiReady = false;
    bool connected = false;
    bool coreRunning = false;
    bool socksReady = false;
    bool startupReady = false;
    bool accountSummaryReady = false;
};

// Replaces updates/launch-health.json below the support directory (the folder created 0700
// when missing; the file atomically, 0600). Never fails: a write that does not succeed leaves
// the previous file and records "launch_health_failure" in the event log.
void publishLaunchHealth(const std::filesystem::path& supportDir, const LaunchHealth& health);

} // namespace korvane
