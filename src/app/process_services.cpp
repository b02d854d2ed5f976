#include "app/process_services.h"

#include "app/korvane_application.h"
#include "base/spawn.h"
#include "diag/korvane_recorder.h"

namespace korvane {

void installProcessServices(Platform& platform) {
    Application& application = platform.application;
    setUncaughtTaskErrorHandler(
        [&application](const std::string& text) { application.systemLog("Korvane: " + text); });
    const Directories& directories = platform.directories;
    KorvaneRecorder::install(std::make_shared<KorvaneRecorder>(
        RecorderEnvironment{[&directories] { return directories.applicationSupport(); },
                            platform.bundle.infoString("CFBundleShortVersionString").value_or(""),
                            bundleBuild(platform.bundle), nullptr}));
}

} // namespace korvane
