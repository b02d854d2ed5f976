#pragma once

#include "base/json.h"
#include "testing/https_server.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace korvane::testing {

// A panel that answers the way real panels in the wild do (success envelopes, Chinese
// failure sentences, machine codes from the code endpoints), with one demo account and a
// subscription served from the same host. Used by end-to-end tests and by the demo.
class StandInPanel {
public:
    struct Account;

    explicit StandInPanel(std::uint16_t port);
    StandInPanel(std::uint16_t port, Account account);

    struct Account {
        std::string email = "demo@korvane.example";
        std::string password = "korvane-demo";
        std::string code = "246810";
        std::string authData = "Bearer 1|demo-credential";
        std::string token = "demo subscription";
    };

    const Account& account() const { return account_; }
    HttpsServer& server() { return server_; }
    std::string baseUrl() const { return server_.baseUrl(); }

    // The profile members the panel returns in "data" (email, plan, traffic, expiry...);
    // "subscribe_url" defaults to this host's /s/<token>.
    void setProfile(Json profile);
    void setSubscription(std::string yaml);

    // A small subscription with informational entries first, as panels send them.
    static std::string demoSubscription();

private:
    HttpResponse profileAnswer(const HttpRequest& request);

    Account account_;
    HttpsServer server_;
    std::mutex mutex_;
    Json profile_;
    std::string subscription_;
};

} // namespace korvane::testing
