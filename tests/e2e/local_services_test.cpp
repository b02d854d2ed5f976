// The headless client of the local deployment against loopback stand-ins on the deployment's
// fixed ports: remote configuration, session store and quality reports at launch.

#include "base/files.h"
#include "base/json.h"
#include "e2e_support.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class LocalServicesTest : public ::testing::Test {
protected:
    fs::path support() const { return e2e::supportDir(home.path()); }
    void plantSettings(const Json& settings) const { e2e::plantSettings(home.path(), settings); }
    void plantSession(const std::string& key, const std::string& value, mode_t mode) const {
        e2e::plantSession(home.path(), key, value, mode);
    }

    // Launches and returns the state the launch task pushed.
    Json launch() {
        session.emplace(e2e::sessionOptions(home.path()));
        session->waitFor("ready");
        return session->waitFor("state")["state"];
    }

    void quit() {
        session->send({{"cmd", "terminate"}});
        EXPECT_EQ(session->waitForExit().code, 0);
    }

    TempDir home;
    HttpsServer config{HttpsServer::Options{e2e::kConfigPort, true}};
    HttpsServer update{HttpsServer::Options{e2e::kUpdatePort, true}};
    std::optional<HeadlessSession> session;
};

TEST_F(LocalServicesTest, SignedOutLaunchReadsTheSecondSourceOnlyWhenTheFirstFails) {
    config.route("GET", "/RemoteConfig.json",
                 HttpResponse::json(200, R"({"Domain":"https://127.0.0.1:18444"})"));
    launch();
    EXPECT_EQ(config.count("GET", "/RemoteConfig.json"), 1u);
    EXPECT_EQ(config.count("GET", "/client/config.json"), 0u);
    quit();
}

TEST_F(LocalServicesTest, SignedOutLaunchFallsBackToTheSecondSource) {
    config.route("GET", "/RemoteConfig.json", HttpResponse::json(503, "{}"));
    config.route("GET", "/client/config.json", HttpResponse::json(200, "{}"));
    launch();
    EXPECT_EQ(config.count("GET", "/RemoteConfig.json"), 1u);
    EXPECT_EQ(config.count("GET", "/client/config.json"), 1u);
    quit();
}

TEST_F(LocalServicesTest, AStoredCredentialStaysSignedInWhenTheStartupRefreshFails) {
    plantSettings({{"qualityEnabled", true}});
    update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
    plantSession("auth", "Bearer 12|stored", 0600);
    // No panel listens: the full refresh fails after reading the remote configuration.
    EXPECT_TRUE(launch()["loggedIn"]);
    EXPECT_EQ(config.count("GET", "/RemoteConfig.json"), 1u);
    ASSERT_TRUE(update.waitForRequests(2, 5s)) << "app_start and dashboard_load_failure";
    const Json failure = Json::parse(update.requests().at(1).body);
    EXPECT_EQ(failure["event"], "dashboard_load_failure");
    EXPECT_EQ(failure["reason"], "profile_timeout");
    EXPECT_EQ(failure["extra"], Json({{"stage", "startup"}}));
    const auto logLines = session->eventsNamed("log");
    ASSERT_FALSE(logLines.empty());
    EXPECT_EQ(logLines[0]["text"].get<std::string>().rfind("Korvane profile refresh failed: ", 0), 0u);
    quit();

    // The credential never leaves the session store: not in the event log, not in a report,
    // not in a system log line.
    for (const auto& entry : fs::directory_iterator(support() / "logs")) {
        EXPECT_EQ(readFile(entry.path()).value_or("").find("stored"), std::string::npos);
    }
    for (const auto& request : update.requests())
        EXPECT_EQ(request.body.find("stored"), std::string::npos);
    for (const auto& line : session->eventsNamed("log"))
        EXPECT_EQ(line.dump().find("stored"), std::string::npos);
}

TEST_F(LocalServicesTest, ASessionFileOthersCanReadIsIgnoredAndLeftInPlace) {
    plantSession("auth", "Bearer 12|stored", 0644);
    EXPECT_FALSE(launch()["loggedIn"]);
    EXPECT_EQ(config.count("GET", "/RemoteConfig.json"), 1u) << "signed out: the endpoint refresh runs";
    EXPECT_TRUE(fs::exists(support() / "PrivateSession" / "auth.session"));
    quit();
}

TEST_F(LocalServicesTest, LaunchReportIsSentOnlyWithConsent) {
    plantSettings({{"qualityEnabled", true}});
    update.route("POST", "/api/quality.php", HttpResponse::json(200, R"({"ok":true})"));
    launch();
    ASSERT_TRUE(update.waitForRequests(1, 5s));
    const auto request = update.requests().at(0);
    EXPECT_EQ(request.header("content-type"), "application/json");
    const Json record = Json::parse(request.body);
    EXPECT_EQ(record["event"], "app_start");
    EXPECT_EQ(record["platform"], "macos");
    EXPECT_EQ(record["app_build"], 100);
    EXPECT_EQ(record["device_class"], "desktop");
    const auto installId = readFile(support() / "PrivateSession" / "install_id.session");
    ASSERT_TRUE(installId);
    EXPECT_EQ(record["install_id"], *installId);
    quit();
}

TEST_F(LocalServicesTest, NoConsentNoLaunchReport) {
    plantSettings({{"qualityEnabled", false}});
    update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
    launch();
    session->collectFor(500ms); // room for an upload that must not come
    quit();
    EXPECT_EQ(update.requests().size(), 0u);
    EXPECT_FALSE(fs::exists(support() / "PrivateSession" / "install_id.session"));
}

} // namespace
