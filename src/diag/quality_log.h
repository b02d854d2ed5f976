#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane {

// The single entry point for reporting a named event of the client. Every report is
// written to the local event log; sending to the service comes with the panel client.
namespace QualityLog {
void report(std::string_view event, std::string_view routeMode = {},
            std::optional<std::int64_t> durationMs = {}, std::string_view reason = {},
            std::string_view stage = {});
} // namespace QualityLog

} // namespace korvane
