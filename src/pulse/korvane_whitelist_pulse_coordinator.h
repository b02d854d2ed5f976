#pragma once

// KorvaneWhitelistPulseCoordinator decides when a whitelist pulse goes out: after start-up,
// sign-in, a refresh, before connecting, after waking and when the network changes. It knows
// the current physical network by a fingerprint, sends at most one pulse per network per
// minute unless forced, never runs two pulses at once (a send that arrives meanwhile gets that
// pulse's outcome), gives up on a network whose route to the panel is not physical, and
// retries twice after transient failures. Every outcome goes to the event log.
//
// Main thread only. Its debounced and retried pulses are children of its own task scope:
// destroying the coordinator discards them. Tasks of others that await send() must end before
// the coordinator does (the controller discards its own tasks first).

#include "base/executor.h"
#include "base/task.h"
#include "base/task_scope.h"
#include "platform/network_path.h"
#include "pulse/korvane_physical_pulse.h"
#include "pulse/korvane_pulse_result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// What a pulse is sent with; asked for afresh each time, none while nobody is signed in.
struct KorvanePulseContext {
    std::string apiBase; // the panel base
    std::string auth;    // the stored credential, "Bearer ..."
    std::string version; // the application's short version
};

// Why a pulse is sent; its stage name goes to the event log.
enum class KorvanePulseTrigger { Startup, Login, Otp, Refresh, BeforeConnect, Network, Wake, Retry };
std::string_view stageName(KorvanePulseTrigger trigger);

namespace KorvanePulseCadence {
// A transient failure is retried after the first delay and, failing again, after the second.
inline constexpr Duration kRetryDelays[] = {std::chrono::seconds(2), std::chrono::seconds(8)};
// A network change is acted on once the path has been stable this long.
inline constexpr Duration kNetworkDebounce = std::chrono::seconds(2);
// At most one unforced pulse per network in this time.
inline constexpr Duration kThrottle = std::chrono::seconds(60);
// From the route check to the answer.
inline constexpr Duration kDeadline = std::chrono::seconds(3);
// Less than this left of the deadline after the route check: the pulse is not even sent.
inline constexpr Duration kShortestPost = std::chrono::milliseconds(100);
} // namespace KorvanePulseCadence

// The two things a pulse needs from the world outside; tests substitute them.
class KorvanePulseTransport {
public:
    virtual ~KorvanePulseTransport() = default;
    // Whether the route to host leaves through one of the allowed interfaces. Never blocks the
    // main thread.
    virtual Task<bool> routeIsPhysical(std::string host, std::vector<std::string> allowedInterfaces) = 0;
    virtual Task<KorvanePulseResult> post(KorvanePulseEndpoint endpoint, std::string authorization,
                                          std::string version, Duration timeout) = 0;
};

// The real transport: the route lookup on the work pool, the pulse over its own TLS connection.
std::unique_ptr<KorvanePulseTransport> makePhysicalPulseTransport();

namespace detail {
struct PulseInFlight;
}

class KorvaneWhitelistPulseCoordinator {
public:
    using ContextProvider = std::function<std::optional<KorvanePulseContext>()>;

    explicit KorvaneWhitelistPulseCoordinator(
        ContextProvider context,
        std::unique_ptr<KorvanePulseTransport> transport = makePhysicalPulseTransport());
    ~KorvaneWhitelistPulseCoordinator();
    KorvaneWhitelistPulseCoordinator(const KorvaneWhitelistPulseCoordinator&) = delete;
    KorvaneWhitelistPulseCoordinator& operator=(const KorvaneWhitelistPulseCoordinator&) = delete;

    // Begins following path changes: the first path handed over afterwards is the baseline and
    // sends nothing. Paths handed over before only set the current path. Once only.
    void start();

    // Sends a pulse unless one is running (then its outcome is this call's) or, unforced, this
    // network had an attempt less than a minute ago (then: whether this network's last pulse
    // was accepted). True when the pulse was accepted. Never throws but Cancelled.
    Task<bool> send(KorvanePulseTrigger trigger, bool forcedRetry = false);
    // send(trigger) as a child of the coordinator, for callers that do not wait for it.
    void sendInBackground(KorvanePulseTrigger trigger);

    // Whether connecting should be preceded by a pulse: unless one was accepted on this very
    // network since launch or sign-out.
    bool shouldSendBeforeConnect() const;

    // Sign-out: pending network and retry pulses are dropped, the throttle and the successes
    // are forgotten, and a pulse still running counts for nobody.
    void resetForLogout();

    // A new network path from the system's monitor.
    void networkPathChanged(const NetworkPath& path);

    // The names of the path's Wi-Fi and wired interfaces in use; none unless it is satisfied.
    static std::vector<std::string> activeInterfaces(const NetworkPath& path);
    // "name:address" for every IPv4 address of an active interface, sorted, joined by "|";
    // none without one.
    static std::optional<std::string> fingerprint(const NetworkPath& path);

private:
    Task<void> runPulse(std::shared_ptr<detail::PulseInFlight> flight, KorvanePulseTrigger trigger,
                        std::string key, KorvanePulseEndpoint endpoint, KorvanePulseContext context);
    void settle(const std::shared_ptr<detail::PulseInFlight>& flight, bool accepted);
    void scheduleRetries(std::string expectedKey, std::uint64_t forGeneration);
    Task<void> retryAfterFailure(std::string expectedKey, std::uint64_t forGeneration);
    Task<void> pulseAfterNetworkChange(std::uint64_t forGeneration);
    Task<void> sendIgnoringResult(KorvanePulseTrigger trigger);
    void noteAttempt(const std::string& key, MonotonicTime at);

    ContextProvider context_;
    std::unique_ptr<KorvanePulseTransport> transport_;
    NetworkPath path_;
    std::shared_ptr<detail::PulseInFlight> active_;
    TaskHandle networkDebounce_;
    TaskHandle retryTask_;
    std::map<std::string, MonotonicTime> lastAttemptByNetwork_;
    std::optional<std::string> lastSucceededNetwork_;
    bool successfulThisLaunch_ = false;
    bool started_ = false;
    bool firstPathReceived_ = false;
    std::optional<std::string> lastObservedNetwork_;
    std::uint64_t generation_ = 0;
    // Last, so it goes first: its children use everything above.
    TaskScope scope_;
};

} // namespace korvane
