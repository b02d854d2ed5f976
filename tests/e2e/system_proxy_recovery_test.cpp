// A crash leaves the proxy settings switched and the backup file behind: the next launch puts
// the user's settings back before it signs in, through the real shell and the stand-in tools.

#include "base/files.h"
#include "base/json.h"
#include "e2e_support.h"
#include "platform/system_paths.h"
#include "sysproxy/proxy_backup.h"
#include "sysproxy/system_proxy.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using korvane::testing::FakeProxyHelper;
using korvane::testing::HeadlessSession;
using korvane::testing::HttpResponse;
using korvane::testing::HttpsServer;
using korvane::testing::ReceivedRequest;
using korvane::testing::restorableView;
using korvane::testing::SystemTools;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr const char* kCredential = "Bearer 12|stored-secret";

class SystemProxyRecoveryTest : public ::testing::Test {
protected:
    SystemProxyRecoveryTest() {
        auto wifi = korvane::testing::standInService("Wi-Fi");
        wifi["webproxy"] = e2e::proxy(true, "proxy.corp.example", 8080);
        wifi["bypass"] = {"*.corp.example"};
        auto bob = korvane::testing::standInService("Bob's Mac");
        bob["socksfirewallproxy"] = e2e::proxy(false, "socks.example", 1080);
        userSettings_ = Json::array({wifi, bob, korvane::testing::standInService("有线 网络"),
                                     korvane::testing::standInService("VPN", true)});

        // What the crashed run left: the record of the user's settings, and every enabled
        // service pointing at the local port.
        tools_.setServices(userSettings_);
        setSystemRoot(tools_.root());
        const auto saved = SystemProxy::snapshot();
        setSystemRoot("");
        fs::create_directories(support());
        writeProxyBackup(backup(), saved);
        Json switched = userSettings_;
        for (auto& service : switched) {
            if (service["disabled"].get<bool>()) continue;
            for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
                service[kind] = e2e::proxy(true, "127.0.0.1", 7897);
            service["bypass"] = {"localhost", "127.0.0.1", "*.local"};
        }
        tools_.setServices(switched);
        switched_ = switched;

        const auto sessions = support() / "PrivateSession";
        fs::create_directories(sessions);
        ::chmod(sessions.c_str(), 0700);
        writeFileAtomically(sessions / "auth.session", kCredential, 0600);

        // The signed-in refresh starts with the remote configuration: note what the settings
        // were at that moment.
        config_.route("GET", "/RemoteConfig.json", [this](const ReceivedRequest&) {
            std::lock_guard lock(mutex_);
            if (!atFirstRequest_) atFirstRequest_ = tools_.services();
            return HttpResponse::json(503, "{}");
        });
    }

    fs::path support() const { return e2e::supportDir(home_.path()); }
    fs::path backup() const { return support() / "proxy-backup.json"; }

    HeadlessSession& launch() {
        auto options = e2e::sessionOptions(home_.path());
        options.captureStderr = true;
        session_.emplace(std::move(options));
        session_->waitFor("ready");
        // The state the launch task pushes once it is through.
        session_->waitFor("state", std::chrono::seconds(30));
        return *session_;
    }

    // Everything the shell wrote to a log: its log events, standard error and the event log.
    std::string allLogText() const {
        std::string text = session_->stderrText();
        for (const auto& line : session_->eventsNamed("log"))
            text += line.dump() + "\n";
        if (fs::exists(support() / "logs")) {
            for (const auto& entry : fs::directory_iterator(support() / "logs"))
                text += readFile(entry.path()).value_or("");
        }
        return text;
    }

    void expectNothingPrivateLogged() const {
        const std::string text = allLogText();
        for (const std::string& secret :
             {tools_.root().string(), home_.path().string(), std::string("stored-secret"),
              std::string("networksetup"), std::string("#!/bin/zsh"), std::string("IyEvYmluL3pzaA")}) {
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in:\n" << text;
        }
    }

    std::optional<Json> firstRequestState() {
        std::lock_guard lock(mutex_);
        return atFirstRequest_;
    }

    TempDir home_;
    SystemTools tools_{home_.path() / "root"};
    Json userSettings_;
    Json switched_;
    std::mutex mutex_;
    std::optional<Json> atFirstRequest_;
    HttpsServer config_{HttpsServer::Options{e2e::kConfigPort, true}};
    // Last, so that the process is gone before the rest.
    std::optional<HeadlessSession> session_;
};

TEST_F(SystemProxyRecoveryTest, BackupLeftByACrashIsRestoredBeforeSigningIn) {
    auto& shell = launch();
    EXPECT_EQ(restorableView(tools_.services(), userSettings_), userSettings_);
    EXPECT_FALSE(fs::exists(backup()));
    EXPECT_EQ(tools_.prompts(), std::vector<std::string>{
                                    "Korvane 需要恢复您原来的 Mac 网络代理设置。仅恢复此前保存的网络配置。"});
    EXPECT_TRUE(shell.eventsNamed("alert").empty());
    const auto before = firstRequestState();
    ASSERT_TRUE(before.has_value()) << "the signed-in refresh did not run";
    EXPECT_EQ(restorableView(*before, userSettings_), userSettings_)
        << "the settings were still switched when the refresh began";
    expectNothingPrivateLogged();
}

TEST_F(SystemProxyRecoveryTest, DismissedPromptIsExplainedAndTheLaunchGoesOn) {
    tools_.setPromptMode("cancel");
    auto& shell = launch();
    const auto alerts = shell.eventsNamed("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0]["title"], "系统代理恢复失败");
    EXPECT_EQ(alerts[0]["text"],
              "已取消网络代理授权。Korvane 不会继续修改系统网络设置。\n请允许恢复后再连接。");
    EXPECT_TRUE(fs::exists(backup()));
    EXPECT_EQ(tools_.services(), switched_);
    EXPECT_TRUE(firstRequestState().has_value()) << "the launch went on to the signed-in refresh";
    expectNothingPrivateLogged();
}

TEST_F(SystemProxyRecoveryTest, WithoutARecordAHelperStillSwitchedIsAskedToRestore) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a trusted fake helper";
    fs::remove(backup());
    tools_.setHelperInstalled(true);
    FakeProxyHelper helper(tools_.helperSocket(), "ON");
    auto& shell = launch();
    const std::string received = helper.received();
    EXPECT_TRUE(received.starts_with("status\n") && received.ends_with("restore\n")) << received;
    EXPECT_TRUE(tools_.prompts().empty());
    EXPECT_TRUE(shell.eventsNamed("alert").empty());
}

TEST_F(SystemProxyRecoveryTest, NothingToRecoverMeansNoPrompt) {
    fs::remove(backup());
    launch();
    EXPECT_TRUE(tools_.prompts().empty());
    EXPECT_EQ(tools_.services(), switched_) << "settings without a record are not touched";
}

} // namespace
