#pragma once

#include "base/json.h"
#include "testing/fake_http_client.h"
#include "testing/https_server.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace korvane::testing {

// A panel that answers the way real panels in the wild do (success envelopes, Chinese
// failure sentences, machine codes from the code endpoints), with one demo account and a
// subscription served from the same host. End-to-end tests and the demo serve it on a
// loopback server; unit tests answer through a FakeHttpClient.
class StandInPanel {
public:
    struct Account {
        std::string email = "demo@korvane.example";
        std::string password = "korvane-demo";
        std::string code = "246810";
        std::string authData = "Bearer 1|demo-credential";
        std::string token = "demo subscription";
    };

    // Serves on a loopback HTTPS server at port (0: any free one, see baseUrl()).
    explicit StandInPanel(std::uint16_t port);
    StandInPanel(std::uint16_t port, Account account);
    // Answers the requests client gets for URLs below baseUrl (no trailing slash).
    StandInPanel(FakeHttpClient& client, std::string baseUrl);

    const Account& account() const { return account_; }
    // The server it serves on; throws std::logic_error when it answers through a fake client.
    HttpsServer& server();
    const std::string& baseUrl() const { return baseUrl_; }

    // The profile members the panel returns in "data" (email, plan, traffic, expiry...);
    // "subscribe_url" defaults to this host's /s/<token>.
    void setProfile(Json profile);
    void setSubscription(std::string yaml);

    // A small subscription with informational entries first, as panels send them. Its one
    // SOCKS5 node, "美国 04", points at 127.0.0.1:socksPort (the demo runs a real proxy there).
    static std::string demoSubscription(std::uint16_t socksPort = 1080);

private:
    void addRoutes();
    void serve(std::string method, std::string path, HttpsServer::Handler handler);
    HttpResponse profileAnswer(const ReceivedRequest& request);

    Account account_;
    FakeHttpClient* client_ = nullptr;
    std::string baseUrl_;
    std::mutex mutex_;
    Json profile_;
    std::string subscription_;
    // Last, so that it goes first: its handlers use the members above.
    std::unique_ptr<HttpsServer> server_;
};

} // namespace korvane::testing
