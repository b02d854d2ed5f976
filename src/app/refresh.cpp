// The full refresh of profile, subscription and cache, the throttled account-summary
// refresh, and the node availability tests they restart.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "diag/korvane_recorder.h"
#include "panel/node_cache.h"

#include <algorithm>
#include <chrono>

namespace korvane {

namespace {

constexpr std::chrono::seconds kFailureBackOff{1800};

// A result that arrived for a credential that is no longer the current one.
class StaleCredential : public std::runtime_error {
public:
    StaleCredential() : std::runtime_error("已取消") {}
};

} // namespace

Task<void> KorvaneApplication::refresh(bool skipRemote) {
    if (!auth_) throw KorvaneError("请先登录");
    const std::string captured = *auth_;
    co_await stopNodeTests();
    if (!skipRemote) co_await remote_.refresh(http_);
    lastAccountAttempt_ = mainExecutor().now();

    Subscription subscription = co_await xboard_.subscription(remote_, captured);
    if (auth_ != captured) throw StaleCredential();
    accountOverview_ = subscription.overview;
    accountRefreshFailed_ = false;

    auto [text, list] = co_await xboard_.nodes(subscription.url);
    if (auth_ != captured) throw StaleCredential();
    subscriptionYAML_ = std::move(text);
    nodes_ = std::move(list);
    const bool selectionListed = std::any_of(nodes_.begin(), nodes_.end(),
                                             [this](const Node& node) { return node.name == selectedNode_; });
    if (!selectionListed) {
        selectedNode_.clear();
        platform_.defaults.remove(SettingsKey::kSelectedNode);
    }
    if (supportDir_) writeSubscriptionCache(*supportDir_, subscriptionYAML_, nodes_);
    startNodeTests();
}

void KorvaneApplication::requestAccountRefresh(int minimumIntervalSeconds) {
    if (!startupReady_ || !auth_ || busy_ || exiting_ || updatePreparing_ || applyingUpdate_ ||
        accountRequestInFlight_) {
        return;
    }
    const MonotonicTime now = mainExecutor().now();
    auto threshold = std::chrono::seconds(minimumIntervalSeconds);
    if (accountRefreshFailed_) threshold = std::max(threshold, kFailureBackOff);
    if (lastAccountAttempt_ && now - *lastAccountAttempt_ < threshold) return;
    accountRequestInFlight_ = true;
    lastAccountAttempt_ = now;
    tasks_.spawn(accountSummaryTask(*auth_));
}

Task<void> KorvaneApplication::accountSummaryTask(std::string credential) {
    std::optional<AccountOverview> overview;
    try {
        const Json profile = co_await xboard_.accountProfile(remote_, credential);
        overview = AccountOverview(profile, wallClock().now());
    } catch (const Cancelled&) {
        accountRequestInFlight_ = false;
        throw;
    } catch (const std::exception&) {
    }
    if (auth_ == credential) {
        if (overview) {
            accountOverview_ = std::move(overview);
            accountRefreshFailed_ = false;
        } else {
            accountRefreshFailed_ = true;
            KorvaneRecorder::record("account_summary_refresh_failure", "", "request_failed");
        }
        pushState();
    }
    accountRequestInFlight_ = false;
}

void KorvaneApplication::startNodeTests() {
    if (nodeTestTask_) nodeTestTask_->cancel();
    const std::int64_t generation = ++nodeTestGeneration_;
    nodeAvailability_.clear();
    if (subscriptionYAML_.empty() || nodes_.empty() || (core_ && core_->connected())) {
        pushState();
        return;
    }
    auto run = [](KorvaneApplication* self, std::int64_t g) -> Task<void> {
        auto onResult = [self, g](const std::string& name, bool available) {
            if (self->nodeTestGeneration_ != g) return;
            self->nodeAvailability_[name] = available;
            self->pushState();
        };
        try {
            co_await self->runNodeTests(self->subscriptionYAML_, self->nodes_, self->mode_, onResult);
        } catch (const Cancelled&) {
        } catch (const std::exception& error) {
            self->platform_.application.systemLog(std::string("Korvane node availability check failed: ") +
                                                  error.what());
        }
        if (self->nodeTestGeneration_ == g) self->nodeTestTask_.reset();
    };
    nodeTestTask_ = tasks_.spawn(run(this, generation));
}

Task<void> KorvaneApplication::stopNodeTests() {
    ++nodeTestGeneration_;
    auto task = std::exchange(nodeTestTask_, std::nullopt);
    if (task) {
        task->cancel();
        co_await task->join();
    }
}

} // namespace korvane
