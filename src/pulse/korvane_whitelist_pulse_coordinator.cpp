#include "pulse/korvane_whitelist_pulse_coordinator.h"

#include "base/blocking.h"
#include "base/errors.h"
#include "base/resume_once.h"
#include "base/sleep.h"
#include "diag/korvane_recorder.h"

#include <algorithm>

namespace korvane {

namespace {

namespace Cadence = KorvanePulseCadence;

constexpr std::string_view kSkipped = "whitelist_pulse_skipped";
constexpr std::string_view kFailure = "whitelist_pulse_failure";
constexpr std::string_view kSuccess = "whitelist_pulse_success";
constexpr std::string_view kNoPhysicalPath = "no_physical_path";
constexpr std::string_view kRouteNotPhysical = "route_not_physical";

bool isTransient(KorvanePulseResult result) {
    return result == KorvanePulseResult::ServerError || result == KorvanePulseResult::TimedOut ||
           result == KorvanePulseResult::TransportError;
}

class PhysicalPulseTransport final : public KorvanePulseTransport {
public:
    Task<bool> routeIsPhysical(std::string host, std::vector<std::string> allowedInterfaces) override {
        auto lookup = [host = std::move(host), allowed = std::move(allowedInterfaces)] {
            return KorvanePhysicalPulse::routeIsPhysical(host, allowed);
        };
        co_return co_await blocking(std::move(lookup));
    }

    Task<KorvanePulseResult> post(KorvanePulseEndpoint endpoint, std::string authorization,
                                  std::string version, Duration timeout) override {
        co_return co_await KorvanePhysicalPulse::post(std::move(endpoint), std::move(authorization),
                                                      std::move(version), timeout);
    }
};

} // namespace

namespace detail {

// The pulse in flight, shared by the task that runs it and every send waiting for its outcome.
struct PulseInFlight {
    explicit PulseInFlight(std::uint64_t forGeneration) : generation(forGeneration) {}
    std::uint64_t generation;
    bool done = false;
    bool accepted = false;
    std::vector<std::shared_ptr<ResumeOnce>> waiters;
};

} // namespace detail

namespace {

// Waits for a pulse's outcome; cancelling the waiting task leaves the pulse running for others.
class InFlightAwaiter {
public:
    explicit InFlightAwaiter(std::shared_ptr<detail::PulseInFlight> flight) : flight_(std::move(flight)) {}
    InFlightAwaiter(const InFlightAwaiter&) = delete;
    InFlightAwaiter& operator=(const InFlightAwaiter&) = delete;
    ~InFlightAwaiter() {
        if (wait_) wait_->abandon();
    }

    bool await_ready() const noexcept { return flight_->done; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) {
        wait_ = std::make_shared<ResumeOnce>();
        flight_->waiters.push_back(wait_);
        wait_->suspend(h, stopTokenOf(h));
    }
    bool await_resume() {
        if (wait_) wait_->finish();
        return flight_->accepted;
    }

private:
    std::shared_ptr<detail::PulseInFlight> flight_;
    std::shared_ptr<ResumeOnce> wait_;
};

} // namespace

std::string_view stageName(KorvanePulseTrigger trigger) {
    switch (trigger) {
    case KorvanePulseTrigger::Startup:
        return "startup";
    case KorvanePulseTrigger::Login:
        return "login";
    case KorvanePulseTrigger::Otp:
        return "otp";
    case KorvanePulseTrigger::Refresh:
        return "refresh";
    case KorvanePulseTrigger::BeforeConnect:
        return "before_connect";
    case KorvanePulseTrigger::Network:
        return "network";
    case KorvanePulseTrigger::Wake:
        return "wake";
    case KorvanePulseTrigger::Retry:
        return "retry";
    }
    return "";
}

std::unique_ptr<KorvanePulseTransport> makePhysicalPulseTransport() {
    return std::make_unique<PhysicalPulseTransport>();
}

KorvaneWhitelistPulseCoordinator::KorvaneWhitelistPulseCoordinator(
    ContextProvider context, std::unique_ptr<KorvanePulseTransport> transport)
    : context_(std::move(context)), transport_(std::move(transport)) {}

KorvaneWhitelistPulseCoordinator::~KorvaneWhitelistPulseCoordinator() { scope_.discard(); }

void KorvaneWhitelistPulseCoordinator::start() { started_ = true; }

std::vector<std::string> KorvaneWhitelistPulseCoordinator::activeInterfaces(const NetworkPath& path) {
    std::vector<std::string> names;
    if (!path.satisfied) return names;
    for (const auto& interface : path.interfaces) {
        if (interface.type != InterfaceType::Wifi && interface.type != InterfaceType::Wired) continue;
        if (std::find(path.uses.begin(), path.uses.end(), interface.type) == path.uses.end()) continue;
        if (std::find(names.begin(), names.end(), interface.name) == names.end())
            names.push_back(interface.name);
    }
    return names;
}

std::optional<std::string> KorvaneWhitelistPulseCoordinator::fingerprint(const NetworkPath& path) {
    const auto active = activeInterfaces(path);
    std::vector<std::string> entries;
    for (const auto& address : path.addresses) {
        if (std::find(active.begin(), active.end(), address.name) != active.end())
            entries.push_back(address.name + ":" + address.ipv4);
    }
    if (entries.empty()) return std::nullopt;
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    std::string joined = entries.front();
    for (std::size_t i = 1; i < entries.size(); ++i)
        joined.append("|").append(entries[i]);
    return joined;
}

Task<bool> KorvaneWhitelistPulseCoordinator::send(KorvanePulseTrigger trigger, bool forcedRetry) {
    for (;;) {
        const auto context = context_ ? context_() : std::nullopt;
        if (!context) co_return false;
        auto endpoint = KorvanePhysicalPulse::endpoint(context->apiBase);
        if (!endpoint || !context->auth.starts_with(KorvanePhysicalPulse::kBearerPrefix)) co_return false;
        const auto key = fingerprint(path_);
        if (!key) {
            KorvaneRecorder::record(kSkipped, stageName(trigger), kNoPhysicalPath);
            co_return false;
        }

        if (active_) {
            const auto flight = active_;
            const bool sameGeneration = flight->generation == generation_;
            const bool accepted = co_await InFlightAwaiter(flight);
            if (sameGeneration) co_return accepted;
            // A pulse from before a sign-out or a network change says nothing about now: this
            // send goes on its own once that one has ended, so that two never run at once.
            continue;
        }

        const MonotonicTime now = mainExecutor().now();
        if (!forcedRetry) {
            const auto attempt = lastAttemptByNetwork_.find(*key);
            if (attempt != lastAttemptByNetwork_.end() && now - attempt->second < Cadence::kThrottle)
                co_return lastSucceededNetwork_ == key;
        }

        // The slot is taken here, before anything is awaited: a send arriving while the route
        // is checked joins this pulse instead of starting another.
        auto flight = std::make_shared<detail::PulseInFlight>(generation_);
        active_ = flight;
        scope_.spawn(runPulse(flight, trigger, *key, std::move(*endpoint), *context));
        co_return co_await InFlightAwaiter(flight);
    }
}

Task<void> KorvaneWhitelistPulseCoordinator::runPulse(std::shared_ptr<detail::PulseInFlight> flight,
                                                      KorvanePulseTrigger trigger, std::string key,
                                                      KorvanePulseEndpoint endpoint,
                                                      KorvanePulseContext context) {
    const std::string_view stage = stageName(trigger);
    const MonotonicTime deadline = mainExecutor().now() + Cadence::kDeadline;

    bool physical = false;
    try {
        physical = co_await transport_->routeIsPhysical(endpoint.host, activeInterfaces(path_));
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception&) {
        physical = false;
    }
    // Signed out, or on another network, while the route was checked: the check was for a
    // network or an account that is gone.
    if (flight->generation != generation_) {
        settle(flight, false);
        co_return;
    }
    if (!physical) {
        KorvaneRecorder::record(kSkipped, stage, kRouteNotPhysical);
        settle(flight, false);
        co_return;
    }

    const MonotonicTime checked = mainExecutor().now();
    noteAttempt(key, checked);
    const Duration remaining = std::chrono::duration_cast<Duration>(deadline - checked);
    if (remaining <= Cadence::kShortestPost) {
        KorvaneRecorder::record(kFailure, stage, failureReason(KorvanePulseResult::TimedOut));
        settle(flight, false);
        co_return;
    }

    KorvanePulseResult result = KorvanePulseResult::TransportError;
    try {
        result = co_await transport_->post(endpoint, context.auth, context.version,
                                           std::min(remaining, Cadence::kDeadline));
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception&) {
        result = KorvanePulseResult::TransportError;
    }
    if (result == KorvanePulseResult::Accepted) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(mainExecutor().now() - checked);
        KorvaneRecorder::record(kSuccess, stage, "", elapsed.count());
    } else {
        KorvaneRecorder::record(kFailure, stage, failureReason(result));
    }

    // What happened is logged, but a pulse that outlived a sign-out or a network change counts
    // for nobody: not for the next account, not for the new network, and it is not retried.
    if (flight->generation != generation_) {
        settle(flight, false);
        co_return;
    }
    if (result == KorvanePulseResult::Accepted) {
        lastSucceededNetwork_ = key;
        successfulThisLaunch_ = true;
    } else if (trigger != KorvanePulseTrigger::Retry && isTransient(result)) {
        scheduleRetries(key, generation_);
    }
    settle(flight, result == KorvanePulseResult::Accepted);
}

void KorvaneWhitelistPulseCoordinator::settle(const std::shared_ptr<detail::PulseInFlight>& flight,
                                              bool accepted) {
    flight->accepted = accepted;
    flight->done = true;
    if (active_ == flight) active_.reset();
    // Later, not here: the waiters must not run inside the pulse's own frame.
    for (auto& waiter : std::exchange(flight->waiters, {}))
        waiter->completeLater();
}

void KorvaneWhitelistPulseCoordinator::noteAttempt(const std::string& key, MonotonicTime at) {
    // Entries past the throttle decide nothing any more; without this the map would grow by
    // one entry for every address the machine ever had.
    std::erase_if(lastAttemptByNetwork_,
                  [&](const auto& entry) { return at - entry.second >= Cadence::kThrottle; });
    lastAttemptByNetwork_[key] = at;
}

void KorvaneWhitelistPulseCoordinator::scheduleRetries(std::string expectedKey, std::uint64_t forGeneration) {
    retryTask_.cancel();
    retryTask_ = scope_.spawn(retryAfterFailure(std::move(expectedKey), forGeneration));
}

Task<void> KorvaneWhitelistPulseCoordinator::retryAfterFailure(std::string expectedKey,
                                                               std::uint64_t forGeneration) {
    for (const Duration delay : Cadence::kRetryDelays) {
        co_await sleep(delay);
        if (generation_ != forGeneration || fingerprint(path_) != expectedKey) co_return;
        if (co_await send(KorvanePulseTrigger::Retry, true)) co_return;
    }
}

Task<void> KorvaneWhitelistPulseCoordinator::pulseAfterNetworkChange(std::uint64_t forGeneration) {
    co_await sleep(Cadence::kNetworkDebounce);
    if (generation_ != forGeneration) co_return;
    co_await send(KorvanePulseTrigger::Network, false);
}

Task<void> KorvaneWhitelistPulseCoordinator::sendIgnoringResult(KorvanePulseTrigger trigger) {
    co_await send(trigger, false);
}

void KorvaneWhitelistPulseCoordinator::sendInBackground(KorvanePulseTrigger trigger) {
    scope_.spawn(sendIgnoringResult(trigger));
}

bool KorvaneWhitelistPulseCoordinator::shouldSendBeforeConnect() const {
    const auto key = fingerprint(path_);
    if (!key) return true;
    if (successfulThisLaunch_ && lastSucceededNetwork_) return *lastSucceededNetwork_ != *key;
    return true;
}

void KorvaneWhitelistPulseCoordinator::resetForLogout() {
    networkDebounce_.cancel();
    retryTask_.cancel();
    ++generation_;
    lastAttemptByNetwork_.clear();
    lastSucceededNetwork_.reset();
    successfulThisLaunch_ = false;
}

void KorvaneWhitelistPulseCoordinator::networkPathChanged(const NetworkPath& path) {
    path_ = path;
    if (!started_) return;
    const auto key = fingerprint(path);
    const bool first = !firstPathReceived_;
    firstPathReceived_ = true;
    if (key == lastObservedNetwork_) return;
    lastObservedNetwork_ = key;
    ++generation_;
    retryTask_.cancel();
    networkDebounce_.cancel();
    if (first || !key) return; // the first path is the baseline; without a network there is nothing to send
    networkDebounce_ = scope_.spawn(pulseAfterNetworkChange(generation_));
}

} // namespace korvane
