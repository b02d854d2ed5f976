#include "diag/launch_health.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/json.h"
#include "diag/korvane_recorder.h"

#include <cerrno>

namespace korvane {

void publishLaunchHealth(const std::filesystem::path& supportDir, const LaunchHealth& health) {
    const Json record = {
        {"build", health.build},
        {"version", health.version},
        {"pid", health.pid},
        {"ui_ready", health.uiReady},
        {"connected", health.connected},
        {"core_running", health.coreRunning},
        {"socks_ready", health.socksReady},
        {"startup_ready", health.startupReady},
        {"account_summary_ready", health.accountSummaryReady},
    };
    const auto updates = supportDir / "updates";
    try {
        if (!createPrivateDirectories(updates)) throw FileError(ENOTDIR);
        writeFileAtomically(updates / "launch-health.json", encodeJson(record), 0600);
    } catch (const std::exception&) {
        KorvaneRecorder::record("launch_health_failure", "", "write_failed");
    }
}

} // namespace korvane
