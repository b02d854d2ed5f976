// The GNOME desktop's proxy settings through the real headless client: connecting through a
// live node switches them, disconnecting and the launch after a kill put them back, all in a
// private desktop session (its own bus and dconf store), compared key by key with gsettings.

#include "base/files.h"
#include "base/json.h"
#include "core/mihomo_core.h"
#include "e2e_support.h"
#include "platform/processes.h"
#include "testing/desktop_session.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/stand_in_panel.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kNode = "美国 04";
constexpr const char* kProxy = "org.gnome.system.proxy";

// Real-looking settings of a user, as gsettings writes them.
struct UserSettings {
    const char* name;
    std::vector<std::array<const char*, 3>> keys;
};

const UserSettings kManualCorporate{
    "manual with a corporate proxy",
    {{kProxy, "mode", "manual"},
     {"org.gnome.system.proxy.http", "host", "proxy.corp.example"},
     {"org.gnome.system.proxy.http", "port", "3128"},
     {"org.gnome.system.proxy.https", "host", "proxy.corp.example"},
     {"org.gnome.system.proxy.https", "port", "3128"},
     {kProxy, "ignore-hosts", "['localhost', '*.corp.example', '10.0.0.0/8']"}}};

class GnomeProxyTest : public ::testing::Test {
protected:
    GnomeProxyTest() {
        for (auto* probe : {&probes_.a, &probes_.b})
            probe->route("GET", "/generate_204", HttpResponse::text(204, ""));
        panel_.setSubscription(StandInPanel::demoSubscription(node_.port()));
        e2e::plantSession(home_.path(), "auth", panel_.account().authData, 0600);

        // The signed-in refresh starts with the remote configuration: note the proxy then.
        config_.route("GET", "/RemoteConfig.json", [this](const ReceivedRequest&) {
            std::lock_guard lock(mutex_);
            if (!hostAtFirstRequest_)
                hostAtFirstRequest_ = desktop_.get("org.gnome.system.proxy.http", "host");
            return HttpResponse::json(503, "{}");
        });
    }

    ~GnomeProxyTest() override {
        if (session_ && session_->running()) {
            session_->send({{"cmd", "terminate"}});
            session_->waitForExit(20s);
        }
        // A core a failed test left behind would hold the fixed ports for the next one.
        for (pid_t pid : processesBelow(e2e::kBundle / "Contents" / "Resources" / "bin"))
            ::kill(pid, SIGKILL);
    }

    fs::path support() const { return e2e::supportDir(home_.path()); }

    // Launches the client on the GNOME backend and waits until the launch has signed in.
    void launch(std::map<std::string, std::string> environment = {}) {
        auto options = e2e::sessionOptions(home_.path());
        options.environment = desktop_.environment();
        options.environment["KORVANE_PROXY_BACKEND"] = "gnome";
        for (auto& [key, value] : environment)
            options.environment[key] = value;
        session_.emplace(std::move(options));
        session_->waitFor("ready");
        session_->waitFor(
            "state", [](const Json& e) { return !e["state"]["nodes"].empty(); }, 30s);
    }

    Json ask(const std::string& action, const Json& arg) {
        const std::string id = "r" + std::to_string(++requests_);
        session_->send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return session_->waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, 40s);
    }

    void connect() {
        const Json reply = ask("connect", {{"nodeName", kNode}});
        ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
        ASSERT_TRUE(reply["value"]["connected"]);
    }

    void apply(const UserSettings& settings) {
        desktop_.resetProxyKeys();
        for (const auto& [schema, key, value] : settings.keys)
            desktop_.set(schema, key, value);
    }

    void expectSwitched() {
        EXPECT_EQ(desktop_.get(kProxy, "mode"), "'manual'");
        for (const char* child : {"http", "https", "socks"}) {
            const std::string schema = std::string(kProxy) + "." + child;
            EXPECT_EQ(desktop_.get(schema, "host"), "'127.0.0.1'") << child;
            EXPECT_EQ(desktop_.get(schema, "port"), "7897") << child;
        }
        EXPECT_EQ(desktop_.get(kProxy, "ignore-hosts"), "['localhost', '127.0.0.1', '*.local']");
    }

    std::string eventLog() const {
        std::string text;
        if (fs::exists(support() / "logs")) {
            for (const auto& entry : fs::directory_iterator(support() / "logs"))
                text += readFile(entry.path()).value_or("");
        }
        return text;
    }

    static std::size_t count(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

    TempDir home_;
    PrivateDesktopSession desktop_{home_.path() / "desktop"};
    TempDir nodeDir_;
    SocksNode node_{nodeDir_.path()};
    e2e::Probes probes_;
    StandInPanel panel_{e2e::kPanelPort};
    std::mutex mutex_;
    std::optional<std::string> hostAtFirstRequest_;
    HttpsServer config_{HttpsServer::Options{e2e::kConfigPort, true}};
    int requests_ = 0;
    // Last, so that the process is gone before the rest.
    std::optional<HeadlessSession> session_;
};

TEST_F(GnomeProxyTest, ConnectSwitchesEveryKindOfSettingsAndDisconnectPutsEachKeyBack) {
    const UserSettings cases[] = {
        kManualCorporate,
        {"automatic with a PAC URL",
         {{kProxy, "mode", "auto"}, {kProxy, "autoconfig-url", "http://wpad.corp.example/proxy.pac"}}},
        {"none", {}},
    };
    launch();
    for (const auto& settings : cases) {
        SCOPED_TRACE(settings.name);
        apply(settings);
        const auto before = desktop_.proxyKeys();
        connect();
        expectSwitched();
        EXPECT_TRUE(fs::exists(support() / "proxy-backup.json"));
        // The user changes a key while connected: the disconnect still puts back the record.
        if (&settings == &cases[0]) desktop_.set("org.gnome.system.proxy.http", "port", "3129");
        const Json reply = ask("disconnect", Json::object());
        ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
        EXPECT_EQ(desktop_.proxyKeys(), before);
        EXPECT_FALSE(fs::exists(support() / "proxy-backup.json"));
    }
    session_->send({{"cmd", "terminate"}});
    EXPECT_EQ(session_->waitForExit().code, 0);

    const std::string log = eventLog();
    EXPECT_EQ(count(log, R"("event":"system_proxy_backend","platform":"macos","reason":"","stage":"gnome")"),
              1u)
        << log;
    EXPECT_EQ(
        count(log,
              R"("event":"proxy_settings_changed_under_client","platform":"macos","reason":"http.port")"),
        1u)
        << log;
}

TEST_F(GnomeProxyTest, KilledWhileConnectedTheNextLaunchRestoresBeforeSigningIn) {
    apply(kManualCorporate);
    const auto before = desktop_.proxyKeys();
    launch();
    connect();
    expectSwitched();
    session_->sendSignal(SIGKILL);
    session_->waitForExit();
    expectSwitched();

    {
        std::lock_guard lock(mutex_);
        hostAtFirstRequest_.reset();
    }
    launch();
    EXPECT_EQ(desktop_.proxyKeys(), before);
    EXPECT_FALSE(fs::exists(support() / "proxy-backup.json"));
    EXPECT_TRUE(session_->eventsNamed("alert").empty());
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(hostAtFirstRequest_, "'proxy.corp.example'") << "still switched when the sign-in began";
    }
    // The core the killed client left behind was stopped, so the next connect can start one.
    connect();
    ASSERT_TRUE(ask("disconnect", Json::object())["error"].is_null());
    EXPECT_EQ(desktop_.proxyKeys(), before);
}

TEST_F(GnomeProxyTest, WithoutASessionBusConnectFailsAndChangesNothing) {
    launch({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (home_.path() / "no-bus").string()}});
    const Json reply = ask("connect", {{"nodeName", kNode}});
    EXPECT_EQ(reply["error"],
              "无法修改系统代理设置：未找到 GNOME 代理设置（org.gnome.system.proxy）或桌面会话总线");
    EXPECT_FALSE(fs::exists(support() / "proxy-backup.json"));
    EXPECT_EQ(desktop_.get(kProxy, "mode"), "'none'");
    EXPECT_NE(
        eventLog().find(R"("event":"system_proxy_backend","platform":"macos","reason":"","stage":"none")"),
        std::string::npos);
}

} // namespace
