// The pulse coordinator in virtual time, with a transport whose route check and pulse take
// chosen times and give chosen answers, and the real event log in a temporary directory.

#include "base/files.h"
#include "base/json.h"
#include "base/sleep.h"
#include "base/spawn.h"
#include "diag/korvane_recorder.h"
#include "pulse/korvane_whitelist_pulse_coordinator.h"
#include "testing/async_test.h"
#include "testing/fake_pulse_transport.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Result = KorvanePulseResult;
using Trigger = KorvanePulseTrigger;

using Wire = PulseWire;
using FakeTransport = FakePulseTransport;

NetworkPath wifi(const std::string& address) {
    NetworkPath path;
    path.satisfied = true;
    path.interfaces = {
        {"en0", InterfaceType::Wifi}, {"utun4", InterfaceType::Other}, {"lo0", InterfaceType::Loopback}};
    path.uses = {InterfaceType::Wifi, InterfaceType::Other};
    path.addresses = {{"utun4", "10.8.0.2"}, {"en0", address}, {"lo0", "127.0.0.1"}};
    return path;
}

class CoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path support = home.path();
        KorvaneRecorder::install(std::make_shared<KorvaneRecorder>(RecorderEnvironment{
            [support] { return std::optional(support); }, "1.0", 100, &loop.wallClock()}));
        coordinator = std::make_unique<KorvaneWhitelistPulseCoordinator>(
            [this] { return context; }, std::make_unique<FakeTransport>(wire));
        coordinator->start();
        coordinator->networkPathChanged(wifi("192.168.1.23"));
    }
    void TearDown() override {
        coordinator.reset();
        loop.runUntilIdle();
        KorvaneRecorder::install(nullptr);
    }

    struct Pending {
        std::shared_ptr<std::optional<bool>> result = std::make_shared<std::optional<bool>>();
        TaskHandle handle;
    };

    Pending start(Trigger trigger, bool forced = false) {
        Pending pending;
        auto run = [](KorvaneWhitelistPulseCoordinator& c, Trigger t, bool f,
                      std::shared_ptr<std::optional<bool>> out) -> Task<void> {
            *out = co_await c.send(t, f);
        };
        pending.handle = spawn(run(*coordinator, trigger, forced, pending.result));
        loop.runUntilIdle();
        return pending;
    }

    // Sends and lets virtual time run until the send has returned.
    std::optional<bool> send(Trigger trigger, bool forced = false) {
        Pending pending = start(trigger, forced);
        for (int i = 0; i < 400 && !*pending.result; ++i)
            loop.advance(10ms);
        return *pending.result;
    }

    Duration since(MonotonicTime from, std::size_t post) const {
        return std::chrono::duration_cast<Duration>(wire->posts.at(post).at - from);
    }

    // "event stage reason" for every log line, "+<ms>" when it has a duration.
    std::vector<std::string> events() const {
        std::vector<std::string> lines;
        std::error_code error;
        std::vector<fs::path> files;
        for (fs::directory_iterator it(home.path() / "Korvane" / "logs", error), end; !error && it != end;
             it.increment(error))
            files.push_back(it->path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            std::istringstream in(readFile(file).value_or(""));
            for (std::string text; std::getline(in, text);) {
                const Json line = Json::parse(text);
                std::string entry = line["event"].get<std::string>() + " " +
                                    line["stage"].get<std::string>() + " " +
                                    line["reason"].get<std::string>();
                if (line.contains("duration_ms"))
                    entry += " +" + std::to_string(line["duration_ms"].get<int>());
                lines.push_back(entry);
            }
        }
        return lines;
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    TempDir home;
    std::shared_ptr<Wire> wire = std::make_shared<Wire>();
    std::optional<KorvanePulseContext> context =
        KorvanePulseContext{"https://panel.example/base", "Bearer t", "1.0"};
    std::unique_ptr<KorvaneWhitelistPulseCoordinator> coordinator;
};

TEST(PulseFingerprintTest, OnlyTheAddressesOfWifiAndWiredInterfacesInUseCount) {
    NetworkPath both = wifi("192.168.1.23");
    both.interfaces.push_back({"en5", InterfaceType::Wired});
    both.uses.push_back(InterfaceType::Wired);
    both.addresses.insert(both.addresses.end(),
                          {{"en5", "10.0.0.9"}, {"en0", "192.168.1.7"}, {"en0", "192.168.1.7"}});
    EXPECT_EQ(KorvaneWhitelistPulseCoordinator::fingerprint(both),
              "en0:192.168.1.23|en0:192.168.1.7|en5:10.0.0.9");
    both.uses = {InterfaceType::Wifi};
    EXPECT_EQ(KorvaneWhitelistPulseCoordinator::fingerprint(both), "en0:192.168.1.23|en0:192.168.1.7");

    NetworkPath unsatisfied = wifi("192.168.1.23"), cellular = unsatisfied, noAddress = unsatisfied;
    unsatisfied.satisfied = false;
    cellular.interfaces[0].type = InterfaceType::Cellular;
    cellular.uses = {InterfaceType::Cellular, InterfaceType::Other};
    noAddress.addresses.erase(noAddress.addresses.begin() + 1);
    for (const NetworkPath& none : {unsatisfied, cellular, noAddress, NetworkPath{}})
        EXPECT_EQ(KorvaneWhitelistPulseCoordinator::fingerprint(none), std::nullopt);
}

TEST_F(CoordinatorTest, OnePulsePerNetworkAMinuteUnlessForced) {
    const MonotonicTime begin = loop.now();
    EXPECT_TRUE(coordinator->shouldSendBeforeConnect());
    EXPECT_EQ(send(Trigger::Startup), true);
    ASSERT_EQ(wire->posts.size(), 1u);
    EXPECT_EQ(KorvanePhysicalPulse::url(wire->posts[0].endpoint),
              "https://panel.example/base/api/v1/user/whitelistPulse");
    EXPECT_EQ(wire->posts[0].authorization, "Bearer t");
    EXPECT_EQ(wire->posts[0].version, "1.0");
    EXPECT_EQ(wire->posts[0].timeout, 3s);
    EXPECT_EQ(wire->routeChecks, (std::vector<std::vector<std::string>>{{"en0"}}));
    EXPECT_FALSE(coordinator->shouldSendBeforeConnect()) << "accepted on this very network";

    loop.advance(59s);
    EXPECT_EQ(send(Trigger::Login), true) << "throttled, and the last pulse here was accepted";
    EXPECT_EQ(send(Trigger::Refresh, /*forced=*/true), true);
    EXPECT_EQ(wire->posts.size(), 2u) << "a forced pulse passes the throttle";
    EXPECT_EQ(since(begin, 1), 59100ms);

    wire->results = {Result::InvalidResponse};
    loop.advance(60s);
    EXPECT_EQ(send(Trigger::Wake), false);
    EXPECT_EQ(send(Trigger::BeforeConnect), true) << "throttled: the last accepted pulse was on this network";
    EXPECT_EQ(wire->posts.size(), 3u);

    coordinator->networkPathChanged(wifi("192.168.1.24"));
    EXPECT_TRUE(coordinator->shouldSendBeforeConnect()) << "another network";
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "whitelist_pulse_success startup  +100",
                            "whitelist_pulse_success refresh  +100",
                            "whitelist_pulse_failure wake invalid_response",
                        }));
}

TEST_F(CoordinatorTest, ASendWhilePulsingGetsThatPulsesOutcome) {
    wire->routeTime = 400ms;
    wire->postTime = 1s;
    wire->results = {Result::Unauthorized};
    Pending first = start(Trigger::Startup);
    Pending during = start(Trigger::Login); // during the route check: the slot is already taken
    loop.advance(600ms);
    Pending later = start(Trigger::BeforeConnect); // during the pulse itself
    loop.advance(1s);
    EXPECT_EQ(*first.result, false);
    EXPECT_EQ(*during.result, false);
    EXPECT_EQ(*later.result, false);
    EXPECT_EQ(wire->routeChecks.size(), 1u);
    EXPECT_EQ(wire->posts.size(), 1u);
    EXPECT_EQ(events(), std::vector<std::string>{"whitelist_pulse_failure startup unauthorized"});

    loop.advance(60s);
    first = start(Trigger::Startup);
    during = start(Trigger::Login);
    loop.advance(2s);
    EXPECT_EQ(*first.result, true);
    EXPECT_EQ(*during.result, true);
    EXPECT_EQ(wire->posts.size(), 2u);
}

TEST_F(CoordinatorTest, TransientFailuresAreRetriedAfterTwoAndTenSeconds) {
    const struct {
        Result result;
        bool retried;
    } cases[] = {
        {Result::ServerError, true},   {Result::TimedOut, true},     {Result::TransportError, true},
        {Result::Unauthorized, false}, {Result::RateLimited, false}, {Result::InvalidResponse, false},
    };
    for (const auto& c : cases) {
        coordinator->resetForLogout(); // forgets the throttle between cases
        wire->posts.clear();
        wire->results = {c.result, c.result, c.result};
        const MonotonicTime begin = loop.now();
        EXPECT_EQ(send(Trigger::Wake), false);
        loop.advance(60s);
        const std::string reason(failureReason(c.result));
        if (!c.retried) {
            EXPECT_EQ(wire->posts.size(), 1u) << reason;
            continue;
        }
        ASSERT_EQ(wire->posts.size(), 3u) << reason;
        EXPECT_EQ(since(begin, 1), 2100ms) << "2 s after the failure";
        EXPECT_EQ(since(begin, 2), 10200ms) << "8 s after the retry's failure";
    }
    EXPECT_EQ(events().back(), "whitelist_pulse_failure wake invalid_response");
    EXPECT_EQ(events()[2], "whitelist_pulse_failure retry server_error");

    coordinator->resetForLogout();
    wire->posts.clear();
    wire->results = {Result::ServerError};
    EXPECT_EQ(send(Trigger::Network), false);
    loop.advance(60s);
    EXPECT_EQ(wire->posts.size(), 2u) << "an accepted retry ends the retries";
    EXPECT_EQ(events().back(), "whitelist_pulse_success retry  +100");
}

TEST_F(CoordinatorTest, ANetworkChangeOrASignOutCancelsTheRetries) {
    wire->results = {Result::ServerError};
    EXPECT_EQ(send(Trigger::Wake), false);
    loop.advance(1s);
    coordinator->networkPathChanged(wifi("10.1.1.5"));
    loop.advance(60s);
    ASSERT_EQ(wire->posts.size(), 2u) << "no retry; one pulse for the new network";
    EXPECT_EQ(events().back(), "whitelist_pulse_success network  +100");
    EXPECT_EQ(wire->routeChecks.back(), std::vector<std::string>{"en0"});

    wire->results = {Result::TimedOut};
    loop.advance(60s);
    EXPECT_EQ(send(Trigger::Wake), false);
    loop.advance(1s);
    coordinator->resetForLogout();
    loop.advance(60s);
    EXPECT_EQ(wire->posts.size(), 3u) << "no retry after sign-out";
    EXPECT_EQ(send(Trigger::Login), true) << "and the throttle is forgotten";
    EXPECT_EQ(wire->posts.size(), 4u);
}

TEST_F(CoordinatorTest, NetworkChangesSettleBeforeOnePulse) {
    loop.advance(60s);
    EXPECT_TRUE(wire->posts.empty()) << "the first path after start is only the baseline";

    NetworkPath sameNetwork = wifi("192.168.1.23");
    sameNetwork.addresses.push_back({"utun4", "10.8.0.3"});
    coordinator->networkPathChanged(sameNetwork);
    loop.advance(60s);
    EXPECT_TRUE(wire->posts.empty()) << "the fingerprint did not change";

    const MonotonicTime changed = loop.now();
    coordinator->networkPathChanged(wifi("10.0.0.2"));
    loop.advance(1500ms);
    coordinator->networkPathChanged(wifi("10.0.0.3"));
    loop.advance(60s);
    ASSERT_EQ(wire->posts.size(), 1u);
    EXPECT_EQ(since(changed, 0), 3500ms) << "2 s after the last change";
    EXPECT_FALSE(coordinator->shouldSendBeforeConnect()) << "accepted on the second network";

    coordinator->networkPathChanged(NetworkPath{});
    loop.advance(60s);
    EXPECT_EQ(wire->posts.size(), 1u) << "losing the network sends nothing";
    EXPECT_TRUE(coordinator->shouldSendBeforeConnect());
    EXPECT_EQ(events(), std::vector<std::string>{"whitelist_pulse_success network  +100"});
}

TEST_F(CoordinatorTest, WithoutAPhysicalRouteNothingIsSentOrThrottled) {
    NetworkPath cellular = wifi("100.64.0.2");
    cellular.interfaces[0].type = InterfaceType::Cellular;
    cellular.uses = {InterfaceType::Cellular, InterfaceType::Other};
    coordinator->networkPathChanged(cellular);
    EXPECT_EQ(send(Trigger::Wake), false);
    EXPECT_TRUE(wire->routeChecks.empty());

    coordinator->networkPathChanged(wifi("192.168.1.23"));
    wire->physical = false;
    EXPECT_EQ(send(Trigger::Refresh), false);
    EXPECT_EQ(send(Trigger::Refresh), false);
    EXPECT_EQ(wire->routeChecks.size(), 2u) << "a refused route is no attempt: checked again";
    EXPECT_TRUE(wire->posts.empty());
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "whitelist_pulse_skipped wake no_physical_path",
                            "whitelist_pulse_skipped refresh route_not_physical",
                            "whitelist_pulse_skipped refresh route_not_physical",
                        }));
}

TEST_F(CoordinatorTest, ARouteCheckThatEatsTheDeadlineCountsAsATimedOutAttempt) {
    wire->routeTime = 2950ms;
    EXPECT_EQ(send(Trigger::Startup), false);
    EXPECT_TRUE(wire->posts.empty());
    EXPECT_EQ(send(Trigger::Login), false) << "the attempt counts for the throttle";
    EXPECT_EQ(wire->routeChecks.size(), 1u);
    EXPECT_EQ(events(), std::vector<std::string>{"whitelist_pulse_failure startup timeout"});

    loop.advance(60s);
    wire->routeTime = 2800ms;
    EXPECT_EQ(send(Trigger::Login), true);
    ASSERT_EQ(wire->posts.size(), 1u);
    EXPECT_EQ(wire->posts[0].timeout, 200ms) << "what is left of the 3 s";
}

TEST_F(CoordinatorTest, APulseThatOutlivesASignOutCountsForNobody) {
    wire->postTime = 1s;
    Pending old = start(Trigger::Startup);
    loop.advance(500ms);
    coordinator->resetForLogout();
    context->auth = "Bearer next-account";
    Pending next = start(Trigger::Login);
    loop.advance(500ms);
    EXPECT_EQ(*old.result, false) << "accepted, but for the account that left";
    EXPECT_FALSE(next.result->has_value()) << "the new account's pulse waits for the old one to end";
    loop.advance(2s);
    EXPECT_EQ(*next.result, true);
    ASSERT_EQ(wire->posts.size(), 2u);
    EXPECT_EQ(wire->posts[1].authorization, "Bearer next-account");
    EXPECT_GE(wire->posts[1].at, wire->postsEnded[0]) << "never two pulses at once";
    EXPECT_FALSE(coordinator->shouldSendBeforeConnect());

    // Signed out during the route check: nothing is sent with the old credential.
    wire->routeTime = 500ms;
    loop.advance(60s);
    Pending checking = start(Trigger::Wake);
    loop.advance(200ms);
    coordinator->resetForLogout();
    loop.advance(2s);
    EXPECT_EQ(*checking.result, false);
    EXPECT_EQ(wire->posts.size(), 2u);
    EXPECT_TRUE(coordinator->shouldSendBeforeConnect());
}

TEST_F(CoordinatorTest, WithoutASignInOrAUsableEndpointItEndsSilently) {
    const std::optional<KorvanePulseContext> contexts[] = {
        std::nullopt,
        KorvanePulseContext{"http://panel.example", "Bearer t", "1.0"},
        KorvanePulseContext{"https://panel.example?x=1", "Bearer t", "1.0"},
        KorvanePulseContext{"https://panel.example", "Basic dXNlcg==", "1.0"},
    };
    for (const auto& c : contexts) {
        context = c;
        EXPECT_EQ(send(Trigger::Startup), false);
    }
    EXPECT_TRUE(wire->routeChecks.empty());
    EXPECT_TRUE(events().empty());
}

TEST_F(CoordinatorTest, DestroyingTheCoordinatorDiscardsItsPendingPulses) {
    wire->results = {Result::ServerError};
    coordinator->sendInBackground(Trigger::Wake);
    loop.advance(1s);
    ASSERT_EQ(wire->posts.size(), 1u);
    coordinator->networkPathChanged(wifi("10.0.0.2")); // a debounced pulse is pending too
    wire->postTime = 10s;
    loop.advance(2500ms); // and that one is on the wire
    ASSERT_EQ(wire->posts.size(), 2u);
    coordinator.reset();
    loop.advance(60s);
    EXPECT_EQ(wire->posts.size(), 2u);
    EXPECT_EQ(wire->postsEnded.size(), 1u) << "the pulse on the wire was dropped with its coordinator";
}

} // namespace
