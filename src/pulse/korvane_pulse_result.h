#pragma once

#include <string_view>

namespace korvane {

// How one whitelist pulse ended.
enum class KorvanePulseResult {
    Accepted,
    Unauthorized,
    RateLimited,
    ServerError,
    TimedOut,
    TransportError,
    InvalidResponse,
    // Part of the set (and of the event log's reasons) although no transport produces it.
    UnsafeNetwork,
};

// The reason written to the event log for a result that is not Accepted ("" for Accepted).
std::string_view failureReason(KorvanePulseResult result);

} // namespace korvane
