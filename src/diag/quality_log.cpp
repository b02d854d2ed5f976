#include "diag/quality_log.h"

#include "diag/korvane_recorder.h"

namespace korvane {

void QualityLog::report(std::string_view event, std::string_view /*routeMode*/,
                        std::optional<std::int64_t> durationMs, std::string_view reason,
                        std::string_view stage) {
    KorvaneRecorder::record(event, stage, reason, durationMs, std::nullopt);
}

} // namespace korvane
