#pragma once

// The whitelist pulse on the wire: the panel learns that this account is online from the
// address it sees, so the pulse must leave over the physical network, never through the proxy
// core or another tunnel. It is one hand-built HTTP/1.1 request over a TLS connection the
// client opens itself (no proxy of any kind, TLS 1.2 or later, the panel's certificate and host
// name verified against the system's trust store), and the answer is classified.

#include "base/executor.h"
#include "base/resume_once.h"
#include "base/task.h"
#include "pulse/korvane_pulse_result.h"

#include <coroutine>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Where pulses go, taken apart.
struct KorvanePulseEndpoint {
    std::string host;        // an IPv6 literal without its brackets
    std::optional<int> port; // as the panel base gave it; none for the default
    std::string path;        // percent-encoded, ending with the pulse path
    bool operator==(const KorvanePulseEndpoint&) const = default;
};

namespace detail {
class PulseExchange;
}

// co_await KorvanePhysicalPulse::post(...): the result of one pulse. Never throws but
// Cancelled, when the awaiting task is cancelled (which also closes the connection).
class PulsePostAwaiter {
public:
    PulsePostAwaiter(KorvanePulseEndpoint endpoint, std::string authorization, std::string version,
                     Duration timeout);
    PulsePostAwaiter(PulsePostAwaiter&&) noexcept;
    PulsePostAwaiter& operator=(PulsePostAwaiter&&) = delete;
    ~PulsePostAwaiter();

    // Inputs unfit to send end the wait before it starts.
    bool await_ready() const noexcept;
    template <class P> void await_suspend(std::coroutine_handle<P> h) { start(h, stopTokenOf(h)); }
    KorvanePulseResult await_resume();

private:
    void start(std::coroutine_handle<> h, std::stop_token token);
    std::shared_ptr<detail::PulseExchange> exchange_;
};

namespace KorvanePhysicalPulse {

// The pulse URL's path below the panel base.
inline constexpr std::string_view kPulsePath = "/api/v1/user/whitelistPulse";
// What every credential sent with a pulse starts with.
inline constexpr std::string_view kBearerPrefix = "Bearer ";
// The port of an endpoint that names none.
inline constexpr int kDefaultPort = 443;

// The pulse endpoint of a panel base: an https URL with a host and nothing but a path
// besides; none otherwise.
std::optional<KorvanePulseEndpoint> endpoint(std::string_view base);
// The URL text of an endpoint.
std::string url(const KorvanePulseEndpoint& endpoint);
// The complete request, byte for byte; none when the endpoint or the credential is unfit to
// send (a credential must be "Bearer " + printable ASCII, at most 4096 bytes).
std::optional<std::string> request(const KorvanePulseEndpoint& endpoint, std::string_view authorization,
                                   std::string_view version);
// Sends one pulse. Invalid inputs are not sent and give InvalidResponse at once; no answer
// within the timeout (at least 0.1 s) gives TimedOut.
PulsePostAwaiter post(KorvanePulseEndpoint endpoint, std::string authorization, std::string version,
                      Duration timeout);

// The answer received so far (see PulseResponseParser); none while more bytes are needed.
std::optional<KorvanePulseResult> parseResponse(std::string_view data, bool finished);
// HTTP/1.1 chunked transfer decoding of a whole body.
std::optional<std::string> decodeChunks(std::string_view data);

// The interface named by the route lookup's output: the first line that starts with
// "interface:" decides, and its name must be 1 to 32 letters and digits.
std::optional<std::string> routeInterface(std::string_view output);
// Whether the route to host leaves through one of the allowed interfaces. Any failure of the
// lookup counts as not physical. Blocks for up to about a second: call it off the main thread.
bool routeIsPhysical(const std::string& host, const std::vector<std::string>& allowedInterfaces);

} // namespace KorvanePhysicalPulse

} // namespace korvane
