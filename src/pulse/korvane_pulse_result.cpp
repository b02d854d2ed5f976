#include "pulse/korvane_pulse_result.h"

namespace korvane {

std::string_view failureReason(KorvanePulseResult result) {
    switch (result) {
    case KorvanePulseResult::Accepted:
        return "";
    case KorvanePulseResult::Unauthorized:
        return "unauthorized";
    case KorvanePulseResult::RateLimited:
        return "rate_limited";
    case KorvanePulseResult::ServerError:
        return "server_error";
    case KorvanePulseResult::TimedOut:
        return "timeout";
    case KorvanePulseResult::TransportError:
        return "transport_error";
    case KorvanePulseResult::InvalidResponse:
        return "invalid_response";
    case KorvanePulseResult::UnsafeNetwork:
        return "unsafe_network";
    }
    return "invalid_response";
}

} // namespace korvane
