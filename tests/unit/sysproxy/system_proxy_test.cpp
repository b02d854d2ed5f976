// SystemProxy against the stand-in settings tool and script host: the scripts run for real
// in zsh, so a quoting mistake shows up as a wrong or failed setting.

#include "base/errors.h"
#include "base/files.h"
#include "base/spawn.h"
#include "platform/system_paths.h"
#include "sysproxy/command_runner.h"
#include "sysproxy/proxy_backup.h"
#include "sysproxy/system_proxy.h"
#include "testing/async_test.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <unistd.h>

using namespace korvane;
using korvane::testing::errorOf;
using korvane::testing::FakeProxyHelper;
using korvane::testing::ManualLoopScope;
using korvane::testing::runTask;
using korvane::testing::SystemTools;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr const char* kCancelled = "已取消网络代理授权。Korvane 不会继续修改系统网络设置。";

TEST(SystemProxyText, ParseReadsTheToolsLines) {
    struct Case {
        const char* text;
        ProxyEntry expected;
    } cases[] = {
        {"Enabled: Yes\nServer: proxy.example\nPort: 8080\nAuthenticated Proxy Enabled: 0\n",
         {true, "proxy.example", 8080}},
        {"Enabled: No\nServer: \nPort: 0\n", {false, "", 0}},
        {"enabled:YES\r\n  Server :\t10.0.0.1 \nPORT: +3128", {true, "10.0.0.1", 3128}},
        {"Enabled: Yes\nEnabled: No\nPort: 80x\nno colon here", {false, "", 0}},
        {"Server: [::1]:8080\nPort: -1", {false, "[::1]:8080", -1}},
        {"", {false, "", 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SystemProxy::parse(c.text), c.expected) << c.text;
}

TEST(SystemProxyText, EnableScriptForWiFi) {
    EXPECT_EQ(SystemProxy::enableScript({{"Wi-Fi", {}, {}, {}, {}}}),
              "#!/bin/zsh\nset -e\n"
              "/usr/sbin/networksetup -setwebproxy 'Wi-Fi' 127.0.0.1 7897\n"
              "/usr/sbin/networksetup -setwebproxystate 'Wi-Fi' on\n"
              "/usr/sbin/networksetup -setsecurewebproxy 'Wi-Fi' 127.0.0.1 7897\n"
              "/usr/sbin/networksetup -setsecurewebproxystate 'Wi-Fi' on\n"
              "/usr/sbin/networksetup -setsocksfirewallproxy 'Wi-Fi' 127.0.0.1 7897\n"
              "/usr/sbin/networksetup -setsocksfirewallproxystate 'Wi-Fi' on\n"
              "/usr/sbin/networksetup -setproxybypassdomains 'Wi-Fi' localhost 127.0.0.1 '*.local'\n");
}

// A kind saved as on is switched back on only towards a server the tool accepts.
TEST(SystemProxyText, RestoreScriptWritesOnlyUsableServers) {
    const ServiceSnapshot saved{"Bob's Mac",
                                {true, "proxy.example", 8080},
                                {false, "half.example", 0},
                                {true, "", 1080},
                                {"*.local", "example.test"}};
    const ServiceSnapshot broken{"Wi-Fi", {true, "noport.example", 0}, {true, "big.example", 70000}, {}, {}};
    EXPECT_EQ(SystemProxy::restoreScript({saved, broken}),
              "#!/bin/zsh\nset -e\n"
              "/usr/sbin/networksetup -setwebproxy 'Bob'\\''s Mac' 'proxy.example' 8080\n"
              "/usr/sbin/networksetup -setwebproxystate 'Bob'\\''s Mac' on\n"
              "/usr/sbin/networksetup -setsecurewebproxystate 'Bob'\\''s Mac' off\n"
              "/usr/sbin/networksetup -setsocksfirewallproxystate 'Bob'\\''s Mac' off\n"
              "/usr/sbin/networksetup -setproxybypassdomains 'Bob'\\''s Mac' '*.local' 'example.test'\n"
              "/usr/sbin/networksetup -setwebproxystate 'Wi-Fi' off\n"
              "/usr/sbin/networksetup -setsecurewebproxystate 'Wi-Fi' off\n"
              "/usr/sbin/networksetup -setsocksfirewallproxystate 'Wi-Fi' off\n"
              "/usr/sbin/networksetup -setproxybypassdomains 'Wi-Fi' Empty\n");
}

Json proxy(bool enabled, const std::string& server, int port) {
    return {{"enabled", enabled}, {"server", server}, {"port", port}};
}

class SystemProxyTest : public ::testing::Test {
protected:
    SystemProxyTest() {
        setSystemRoot(dir_.path());
        fs::create_directories(support_);
    }
    ~SystemProxyTest() override { setSystemRoot(""); }

    // Services with awkward names and a variety of settings, one of them disabled.
    Json userSettings() const {
        Json services = Json::array();
        auto wifi = korvane::testing::standInService("Wi-Fi");
        wifi["webproxy"] = proxy(true, "proxy.corp.example", 8080);
        wifi["securewebproxy"] = proxy(false, "secure.corp.example", 8443);
        wifi["bypass"] = {"*.corp.example", "10.0.0.0/8"};
        services.push_back(wifi);
        auto bob = korvane::testing::standInService("Bob's Mac");
        bob["socksfirewallproxy"] = proxy(true, "socks.example", 1080);
        services.push_back(bob);
        auto quoted = korvane::testing::standInService("Ethernet \"2\"");
        quoted["webproxy"] = proxy(false, "half.example", 0); // a server without a port
        services.push_back(quoted);
        auto backslash = korvane::testing::standInService("Thunderbolt\\Bridge");
        backslash["bypass"] = {"localhost", "*.local"};
        services.push_back(backslash);
        services.push_back(korvane::testing::standInService("有线 网络"));
        auto vpn = korvane::testing::standInService("VPN", true);
        vpn["webproxy"] = proxy(true, "vpn.example", 3128);
        services.push_back(vpn);
        return services;
    }

    fs::path backup() const { return support_ / "proxy-backup.json"; }
    bool hasBackup() const { return fs::exists(backup()); }

    // Every enabled service points at the local port; the disabled one is untouched.
    void expectSwitched(const Json& before) const {
        const Json now = tools_.services();
        ASSERT_EQ(now.size(), before.size());
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i]["disabled"].get<bool>()) {
                EXPECT_EQ(now[i], before[i]);
                continue;
            }
            for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
                EXPECT_EQ(now[i][kind], proxy(true, "127.0.0.1", 7897)) << now[i]["name"] << " " << kind;
            EXPECT_EQ(now[i]["bypass"], (Json{"localhost", "127.0.0.1", "*.local"})) << now[i]["name"];
        }
    }

    // Everything is the user's again; see restorableView for the one exception.
    void expectRestored(const Json& before) const {
        EXPECT_EQ(korvane::testing::restorableView(tools_.services(), before), before);
    }

    TempDir dir_;
    fs::path support_ = dir_.path() / "support";
    SystemTools tools_{dir_.path()};
    ManualLoopScope scope_;
    SystemProxy proxy_{support_ / "proxy-backup.json", support_};
};

TEST_F(SystemProxyTest, ServicesAndSnapshotFollowTheTool) {
    tools_.setServices(userSettings());
    EXPECT_EQ(SystemProxy::listServices(), (std::vector<std::string>{"Wi-Fi", "Bob's Mac", "Ethernet \"2\"",
                                                                     "Thunderbolt\\Bridge", "有线 网络"}));
    const auto snapshot = SystemProxy::snapshot();
    ASSERT_EQ(snapshot.size(), 5u);
    EXPECT_EQ(snapshot[0], (ServiceSnapshot{"Wi-Fi",
                                            {true, "proxy.corp.example", 8080},
                                            {false, "secure.corp.example", 8443},
                                            {false, "", 0},
                                            {"*.corp.example", "10.0.0.0/8"}}));
    EXPECT_EQ(snapshot[2].web, (ProxyEntry{false, "half.example", 0}));
    EXPECT_TRUE(snapshot[4].bypass.empty());

    // A query that fails reads as switched off.
    tools_.failTool({"-getwebproxy"});
    EXPECT_EQ(SystemProxy::snapshot()[0].web, ProxyEntry{});
    tools_.failTool({"-listallnetworkservices"});
    EXPECT_THROW(SystemProxy::snapshot(), KorvaneError);
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());
}

TEST_F(SystemProxyTest, EnableThenRestorePutsEverythingBack) {
    const Json before = userSettings();
    tools_.setServices(before);
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());

    runTask(scope_.loop, proxy_.enable());
    expectSwitched(before);
    EXPECT_TRUE(hasBackup());
    EXPECT_TRUE(proxy_.stillRoutingThroughKorvane());

    runTask(scope_.loop, proxy_.restore());
    expectRestored(before);
    EXPECT_FALSE(hasBackup());
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());
    EXPECT_EQ(tools_.prompts().size(), 2u);

    // Nothing left to restore: no prompt.
    runTask(scope_.loop, proxy_.restore());
    EXPECT_EQ(tools_.prompts().size(), 2u);
}

TEST_F(SystemProxyTest, RepeatedEnableKeepsTheFirstRecord) {
    const Json before = userSettings();
    tools_.setServices(before);
    runTask(scope_.loop, proxy_.enable());
    const auto first = readFile(backup());
    runTask(scope_.loop, proxy_.enable());
    EXPECT_EQ(readFile(backup()), first);
    runTask(scope_.loop, proxy_.restore());
    expectRestored(before);
}

TEST_F(SystemProxyTest, OnlySecureProxyAtTheLocalPortIsNotRouting) {
    auto service = korvane::testing::standInService("Wi-Fi");
    service["securewebproxy"] = proxy(true, "127.0.0.1", 7897);
    tools_.setServices(Json::array({service}));
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());
    service["socksfirewallproxy"] = proxy(true, "127.0.0.1", 7897);
    tools_.setServices(Json::array({service}));
    EXPECT_TRUE(proxy_.stillRoutingThroughKorvane());
}

TEST_F(SystemProxyTest, DismissedPromptsAndFailedCommands) {
    const Json before = userSettings();
    tools_.setServices(before);

    // The first enable, dismissed: nothing changed and no record left behind.
    tools_.setPromptMode("cancel");
    EXPECT_EQ(errorOf(scope_.loop, proxy_.enable()), kCancelled);
    EXPECT_FALSE(hasBackup());
    EXPECT_EQ(tools_.services(), before);

    // A record from before survives a dismissed enable.
    tools_.setPromptMode("run");
    runTask(scope_.loop, proxy_.enable());
    const auto record = readFile(backup());
    tools_.setPromptMode("cancel");
    EXPECT_EQ(errorOf(scope_.loop, proxy_.enable()), kCancelled);
    EXPECT_EQ(readFile(backup()), record);

    // A dismissed restore keeps the record, and a later one still works.
    EXPECT_EQ(errorOf(scope_.loop, proxy_.restore()), kCancelled);
    EXPECT_EQ(readFile(backup()), record);
    tools_.setPromptMode("run");
    runTask(scope_.loop, proxy_.restore());
    expectRestored(before);
    EXPECT_FALSE(hasBackup());

    // A command failing half-way keeps the record, so the restore can undo the part done.
    tools_.failTool({"-setsocksfirewallproxy"});
    EXPECT_TRUE(errorOf(scope_.loop, proxy_.enable()).starts_with("系统代理命令失败："));
    EXPECT_TRUE(hasBackup());
    EXPECT_EQ(tools_.services()[0]["webproxy"], proxy(true, "127.0.0.1", 7897));
    tools_.failTool({});
    runTask(scope_.loop, proxy_.restore());
    expectRestored(before);
    EXPECT_FALSE(hasBackup());
}

TEST_F(SystemProxyTest, NoEnabledServiceIsAnErrorAndSavesNothing) {
    tools_.setServices(Json::array({korvane::testing::standInService("VPN", true)}));
    EXPECT_EQ(errorOf(scope_.loop, proxy_.enable()), "未找到可用的网络服务");
    EXPECT_FALSE(hasBackup());
    EXPECT_TRUE(tools_.prompts().empty());
}

TEST_F(SystemProxyTest, UnreadableRecordStopsEnableAndRestoreAndStays) {
    tools_.setServices(userSettings());
    writeFileAtomically(backup(), R"([{"name":"Wi-Fi"}])");
    EXPECT_NE(errorOf(scope_.loop, proxy_.enable()), "");
    EXPECT_NE(errorOf(scope_.loop, proxy_.restore()), "");
    EXPECT_TRUE(hasBackup());
    EXPECT_TRUE(tools_.prompts().empty());
}

// Settings left pointing at the local port with no record (the record of a crashed run was
// lost), and a record whose kinds are on without a usable server: neither is put back on.
TEST_F(SystemProxyTest, RestoreNeverLeavesAKindOnTowardsTheLocalPortOrNowhere) {
    auto wifi = korvane::testing::standInService("Wi-Fi");
    for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
        wifi[kind] = proxy(true, "127.0.0.1", 7897);
    wifi["bypass"] = {"localhost", "127.0.0.1", "*.local"};
    auto bob = korvane::testing::standInService("Bob's Mac");
    bob["socksfirewallproxy"] = proxy(true, "socks.example", 1080);
    tools_.setServices(Json::array({wifi, bob}));

    runTask(scope_.loop, proxy_.enable());
    runTask(scope_.loop, proxy_.restore());
    const Json after = tools_.services();
    for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
        EXPECT_FALSE(after[0][kind]["enabled"].get<bool>()) << kind;
    EXPECT_EQ(after[0]["bypass"], wifi["bypass"]);
    const Json saved = Json::array({wifi, bob});
    EXPECT_EQ(korvane::testing::restorableView(after, saved)[1], bob);
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());

    writeProxyBackup(
        backup(), {{{"Wi-Fi", {true, "", 0}, {true, "secure.example", 0}, {true, "big.example", 70000}, {}},
                    {"Bob's Mac", {}, {}, {true, "socks.example", 1080}, {}}}});
    runTask(scope_.loop, proxy_.enable());
    runTask(scope_.loop, proxy_.restore());
    for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
        EXPECT_FALSE(tools_.services()[0][kind]["enabled"].get<bool>()) << kind;
    EXPECT_EQ(korvane::testing::restorableView(tools_.services(), saved)[1], bob);
    EXPECT_FALSE(hasBackup());
}

// Starts op as a task of its own; outcome becomes "ok", "cancelled" or the error's text.
TaskHandle start(Task<void> op, std::string& outcome) {
    auto run = [](Task<void> inner, std::string& out) -> Task<void> {
        try {
            co_await std::move(inner);
            out = "ok";
        } catch (const Cancelled&) {
            out = "cancelled";
        } catch (const std::exception& error) {
            out = error.what();
        }
    };
    return spawn(run(std::move(op), outcome));
}

constexpr const char* kEnablePrompt =
    "Korvane 需要设置 Mac 网络代理来连接您的节点，代理地址为 127.0.0.1:7897。此授权只用于更改网络代理设置。";
constexpr const char* kRestorePrompt =
    "Korvane 需要恢复您原来的 Mac 网络代理设置。仅恢复此前保存的网络配置。";

// Operations started together (launch recovery, quit, sign-out, a connect being cancelled)
// run one after the other, in the order they were started.
TEST_F(SystemProxyTest, OperationsRunOneAtATimeInArrivalOrder) {
    const Json before = userSettings();
    tools_.setServices(before);
    auto& loop = scope_.loop;
    const auto finished = [&](std::initializer_list<TaskHandle> handles) {
        const auto allDone = [&] {
            return std::all_of(handles.begin(), handles.end(), [](const TaskHandle& h) { return h.done(); });
        };
        // Generous: the stand-in tools are scripts, and the suite may run beside others.
        return loop.runUntil(allDone, std::chrono::seconds(60));
    };

    // Two restores of one record: the second finds it consumed and succeeds without a prompt.
    runTask(loop, proxy_.enable());
    std::string first, second;
    auto a = start(proxy_.restore(), first);
    auto b = start(proxy_.restore(), second);
    ASSERT_TRUE(finished({a, b}));
    EXPECT_EQ(first, "ok");
    EXPECT_EQ(second, "ok");
    EXPECT_EQ(tools_.prompts(), (std::vector<std::string>{kEnablePrompt, kRestorePrompt}));
    expectRestored(before);

    // An enable cancelled while its change is under way: the restore started after it waits
    // for the change to end and puts everything back.
    std::string enabled, restored;
    auto c = start(proxy_.enable(), enabled);
    loop.runUntilIdle();
    c.cancel();
    auto d = start(proxy_.restore(), restored);
    ASSERT_TRUE(finished({c, d}));
    EXPECT_EQ(enabled, "cancelled");
    EXPECT_EQ(restored, "ok");
    EXPECT_EQ(tools_.prompts(),
              (std::vector<std::string>{kEnablePrompt, kRestorePrompt, kEnablePrompt, kRestorePrompt}));
    expectRestored(before);
    EXPECT_FALSE(hasBackup());

    // An enable cancelled while it waits for its turn never runs.
    runTask(loop, proxy_.enable());
    std::string restoring, waiting;
    auto e = start(proxy_.restore(), restoring);
    auto f = start(proxy_.enable(), waiting);
    loop.runUntilIdle();
    f.cancel();
    ASSERT_TRUE(finished({e, f}));
    EXPECT_EQ(restoring, "ok");
    EXPECT_EQ(waiting, "cancelled");
    EXPECT_EQ(tools_.prompts().size(), 6u);
    expectRestored(before);
    EXPECT_FALSE(hasBackup());
}

TEST_F(SystemProxyTest, InstalledHelperSwitchesWithoutARecord) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a trusted fake helper";
    const Json before = userSettings();
    tools_.setServices(before);
    tools_.setHelperInstalled(true);
    {
        FakeProxyHelper helper(tools_.helperSocket(), "OK");
        runTask(scope_.loop, proxy_.enable());
        EXPECT_FALSE(hasBackup());
        EXPECT_EQ(helper.received(), "enable\n");
    }
    {
        // Restore asks first and leaves a helper alone only when it says the proxy is off.
        FakeProxyHelper helper(tools_.helperSocket(), "OFF");
        runTask(scope_.loop, proxy_.restore());
        EXPECT_EQ(helper.received(), "status\n");
    }
    {
        FakeProxyHelper helper(tools_.helperSocket(), "ON");
        runTask(scope_.loop, proxy_.restore());
        EXPECT_EQ(helper.received(), "status\nrestore\n");
    }
    {
        FakeProxyHelper helper(tools_.helperSocket(), "ERR_DENIED");
        EXPECT_EQ(errorOf(scope_.loop, proxy_.enable()), "网络代理操作未完成，请检查辅助服务是否正常运行");
        // A helper that cannot say "OFF" may still have the proxy switched: the restore is sent
        // anyway, and its failure is the caller's.
        EXPECT_EQ(errorOf(scope_.loop, proxy_.restore()), "网络代理操作未完成，请检查辅助服务是否正常运行");
        EXPECT_EQ(helper.received(), "enable\nstatus\nrestore\n");
    }
    EXPECT_TRUE(tools_.prompts().empty());

    // A record on disk is restored through the administrator prompt even with the helper there.
    FakeProxyHelper helper(tools_.helperSocket(), "ON");
    tools_.setHelperInstalled(false);
    runTask(scope_.loop, proxy_.enable());
    tools_.setHelperInstalled(true);
    runTask(scope_.loop, proxy_.restore());
    expectRestored(before);
    EXPECT_EQ(helper.received(), "");
    EXPECT_EQ(tools_.prompts().size(), 2u);
}

} // namespace
