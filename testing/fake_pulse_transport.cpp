#include "testing/fake_pulse_transport.h"

#include "base/sleep.h"

namespace korvane::testing {

Task<bool> FakePulseTransport::routeIsPhysical(std::string, std::vector<std::string> allowedInterfaces) {
    auto wire = wire_;
    wire->routeChecks.push_back(std::move(allowedInterfaces));
    if (wire->routeTime.count() > 0) co_await sleep(wire->routeTime);
    co_return wire->physical;
}

Task<KorvanePulseResult> FakePulseTransport::post(KorvanePulseEndpoint endpoint, std::string authorization,
                                                  std::string version, Duration timeout) {
    auto wire = wire_;
    wire->posts.push_back(
        {mainExecutor().now(), std::move(endpoint), std::move(authorization), std::move(version), timeout});
    co_await sleep(wire->postTime);
    wire->postsEnded.push_back(mainExecutor().now());
    if (wire->results.empty()) co_return KorvanePulseResult::Accepted;
    const KorvanePulseResult result = wire->results.front();
    wire->results.pop_front();
    co_return result;
}

} // namespace korvane::testing
