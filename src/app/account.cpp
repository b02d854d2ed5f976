#include "app/account.h"

#include <algorithm>
#include <utility>

namespace korvane {

namespace {
constexpr std::chrono::seconds kFailureBackOff{1800};
} // namespace

void Account::setOverview(AccountOverview overview) {
    overview_ = std::move(overview);
    refreshFailed_ = false;
}

Account::Switch Account::switchTo(std::string credential, std::string email) {
    Switch change;
    change.credential_ = std::exchange(credential_, std::move(credential));
    change.email_ = std::exchange(email_, std::move(email));
    change.overview_ = std::exchange(overview_, std::nullopt);
    refreshFailed_ = false;
    change.generation_ = ++generation_;
    return change;
}

bool Account::undo(const Switch& change) {
    if (change.generation_ != generation_) return false;
    credential_ = change.credential_;
    email_ = change.email_;
    overview_ = change.overview_;
    ++generation_;
    return true;
}

void Account::resume(std::string credential) {
    credential_ = std::move(credential);
    ++generation_;
}

void Account::signOut() {
    credential_.reset();
    overview_.reset();
    refreshFailed_ = false;
    lastAttempt_.reset();
    ++generation_;
}

bool Account::summaryDue(MonotonicTime now, std::chrono::seconds minimumInterval) const {
    const auto threshold = refreshFailed_ ? std::max(minimumInterval, kFailureBackOff) : minimumInterval;
    return !lastAttempt_ || now - *lastAttempt_ >= threshold;
}

} // namespace korvane
