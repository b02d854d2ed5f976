#pragma once

// A whitelist pulse transport for tests: the route check and the pulse take chosen times of the
// executor (virtual under a manual loop) and give chosen answers; every call is recorded.

#include "pulse/korvane_whitelist_pulse_coordinator.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace korvane::testing {

struct PulseCall {
    MonotonicTime at;
    KorvanePulseEndpoint endpoint;
    std::string authorization;
    std::string version;
    Duration timeout;
};

// What the fake transport answers and what it was asked; shared with the test.
struct PulseWire {
    bool physical = true;
    Duration routeTime{0};
    Duration postTime{100};
    std::deque<KorvanePulseResult> results; // one per pulse, then Accepted
    std::vector<std::vector<std::string>> routeChecks;
    std::vector<PulseCall> posts;
    std::vector<MonotonicTime> postsEnded;
};

class FakePulseTransport final : public KorvanePulseTransport {
public:
    explicit FakePulseTransport(std::shared_ptr<PulseWire> wire) : wire_(std::move(wire)) {}

    Task<bool> routeIsPhysical(std::string host, std::vector<std::string> allowedInterfaces) override;
    Task<KorvanePulseResult> post(KorvanePulseEndpoint endpoint, std::string authorization,
                                  std::string version, Duration timeout) override;

private:
    std::shared_ptr<PulseWire> wire_;
};

} // namespace korvane::testing
