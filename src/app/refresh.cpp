// The full refresh of profile, subscription and cache, the throttled account-summary
// refresh, and the node availability tests they restart.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "diag/korvane_recorder.h"
#include "panel/node_cache.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace korvane {

namespace {

// A result that arrived for an account that is no longer the signed-in one.
class StaleCredential : public std::runtime_error {
public:
    StaleCredential() : std::runtime_error("已取消") {}
};

} // namespace

Task<void> KorvaneApplication::refresh(bool skipRemote) {
    if (!account_.signedIn()) throw KorvaneError("请先登录");
    const std::string captured = *account_.credential();
    const std::uint64_t generation = account_.generation();
    co_await stopNodeTests();
    if (!skipRemote) co_await remote_.refresh(http_);
    account_.noteAttempt(mainExecutor().now());

    Subscription subscription = co_await xboard_.subscription(remote_, captured);
    if (account_.generation() != generation) throw StaleCredential();
    account_.setOverview(subscription.overview);

    auto [text, list] = co_await xboard_.nodes(subscription.url);
    if (account_.generation() != generation) throw StaleCredential();
    const bool selectionListed = std::any_of(list.begin(), list.end(),
                                             [this](const Node& node) { return node.name == selectedNode_; });
    if (!selectionListed) {
        selectedNode_.clear();
        platform_.defaults.remove(SettingsKey::kSelectedNode);
    }
    replaceSubscription({std::move(text), std::move(list)});
    startNodeTests();
}

void KorvaneApplication::replaceSubscription(CachedSubscription subscription) {
    subscription_ = std::move(subscription);
    if (!supportDir_) return;
    if (!subscription_.yaml.empty()) {
        writeSubscriptionCache(*supportDir_, subscription_.yaml, subscription_.nodes);
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(*supportDir_ / "subscription.yaml", ignored);
    std::filesystem::remove(*supportDir_ / "nodes.json", ignored);
}

void KorvaneApplication::requestAccountRefresh(int minimumIntervalSeconds) {
    if (!startupReady_ || !account_.signedIn() || activity_.busy() || activity_.exiting() ||
        activity_.updateUnderWay() || account_.summaryInFlight()) {
        return;
    }
    const MonotonicTime now = mainExecutor().now();
    if (!account_.summaryDue(now, std::chrono::seconds(minimumIntervalSeconds))) return;
    account_.setSummaryInFlight(true);
    account_.noteAttempt(now);
    tasks_.spawn(accountSummaryTask(*account_.credential()));
}

Task<void> KorvaneApplication::accountSummaryTask(std::string credential) {
    std::optional<AccountOverview> overview;
    try {
        const Json profile = co_await xboard_.accountProfile(remote_, credential);
        overview = AccountOverview(profile, wallClock().now());
    } catch (const Cancelled&) {
        account_.setSummaryInFlight(false);
        throw;
    } catch (const std::exception&) {
    }
    if (account_.credential() == credential) {
        if (overview) {
            account_.setOverview(std::move(*overview));
        } else {
            account_.noteRefreshFailed();
            KorvaneRecorder::record("account_summary_refresh_failure", "", "request_failed");
        }
        pushState();
    }
    account_.setSummaryInFlight(false);
}

void KorvaneApplication::startNodeTests() {
    const bool testable =
        !subscription_.yaml.empty() && !subscription_.nodes.empty() && !(core_ && core_->connected());
    if (!testable) {
        nodeTests_.start(std::nullopt);
        pushState();
        return;
    }
    nodeTests_.start([this, yaml = subscription_.yaml, nodes = subscription_.nodes,
                      mode = mode_](NodeTests::OnResult onResult) -> Task<void> {
        return runNodeTests(yaml, nodes, mode, std::move(onResult));
    });
}

Task<void> KorvaneApplication::stopNodeTests() { co_await nodeTests_.stop(); }

} // namespace korvane
