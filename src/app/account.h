#pragma once

#include "app/local_session_store.h"
#include "base/executor.h"
#include "panel/account_overview.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

// The signed-in account: the panel credential, the address it belongs to, the account
// overview and how its last refresh went, and the private store that keeps the credential
// across launches. Main thread only.
class Account {
public:
    explicit Account(const Directories& directories) : store_(directories) {}

    const std::optional<std::string>& credential() const { return credential_; }
    bool signedIn() const { return credential_.has_value(); }
    const std::string& email() const { return email_; }
    void setEmail(std::string email) { email_ = std::move(email); }
    const std::optional<AccountOverview>& overview() const { return overview_; }
    bool refreshFailed() const { return refreshFailed_; }
    void setOverview(AccountOverview overview);
    void noteRefreshFailed() { refreshFailed_ = true; }
    const LocalSessionStore& store() const { return store_; }

    // A switch to another credential, which its sign-in undoes when it fails. Two sign-ins can
    // be under way at once; the later one wins, and a failure undoes only its own switch.
    class Switch {
    public:
        std::uint64_t generation() const { return generation_; }

    private:
        friend class Account;
        std::uint64_t generation_ = 0;
        std::optional<std::string> credential_;
        std::string email_;
        std::optional<AccountOverview> overview_;
    };
    // Signs in with credential for email, the overview cleared until the refresh brings one.
    Switch switchTo(std::string credential, std::string email);
    // Puts back what the switch replaced, unless the account changed again since; returns
    // whether it did.
    bool undo(const Switch& change);
    // Signs in with the credential a launch found in the store (or an update handed over).
    void resume(std::string credential);
    // Counts every change of the signed-in credential.
    std::uint64_t generation() const { return generation_; }
    void signOut();

    // The account-summary refresh's throttle: whether a request may start now, given the
    // minimum interval since the last attempt (at least the failure back-off after a failure).
    bool summaryDue(MonotonicTime now, std::chrono::seconds minimumInterval) const;
    void noteAttempt(MonotonicTime now) { lastAttempt_ = now; }
    bool summaryInFlight() const { return summaryInFlight_; }
    void setSummaryInFlight(bool inFlight) { summaryInFlight_ = inFlight; }

private:
    LocalSessionStore store_;
    std::optional<std::string> credential_;
    std::string email_;
    std::optional<AccountOverview> overview_;
    bool refreshFailed_ = false;
    bool summaryInFlight_ = false;
    std::optional<MonotonicTime> lastAttempt_; // none: the distant past
    std::uint64_t generation_ = 0;
};

} // namespace korvane
