// Connecting and disconnecting through the headless client of the local deployment, with the
// stand-in core of the bundle, a real SOCKS5 node (microsocks) listed in the stand-in panel's
// subscription, the deployment's two probe servers and the stand-in settings tools under the
// system root.

#include "base/files.h"
#include "base/json.h"
#include "core/mihomo_core.h"
#include "e2e_support.h"
#include "platform/local_proxy.h"
#include "platform/processes.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/stand_in_panel.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kNode = "香港 01";
// Listed, but nothing listens where it points.
const std::string kDeadNode = "日本 02";

// The user's own settings, which every way out of a connection must bring back.
Json userServices() {
    auto wifi = standInService("Wi-Fi");
    wifi["webproxy"] = e2e::proxy(true, "proxy.corp.example", 8080);
    wifi["securewebproxy"] = e2e::proxy(false, "proxy.corp.example", 8443);
    wifi["bypass"] = {"*.corp.example", "intranet"};
    return Json::array({wifi, standInService("有线 网络"), standInService("VPN", true)});
}

bool restored(const Json& services) { return restorableView(services, userServices()) == userServices(); }

// Every enabled service sends its three kinds to the local port; disabled ones are untouched.
bool switchedToLocalPort(const Json& services) {
    for (const auto& service : services) {
        if (service["disabled"].get<bool>()) continue;
        for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"}) {
            if (service[kind] != e2e::proxy(true, "127.0.0.1", kLocalProxyPort)) return false;
        }
        if (service["bypass"] != Json::array({"localhost", "127.0.0.1", "*.local"})) return false;
    }
    return true;
}

double secondsSinceEpoch(std::chrono::system_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// Notes when a loopback port first accepts a connection, polling from a thread of its own.
class PortWatch {
public:
    explicit PortWatch(int port)
        : thread_([this, port](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  if (localPortAccepts(port)) {
                      std::lock_guard lock(mutex_);
                      accepted_ = std::chrono::system_clock::now();
                      return;
                  }
                  std::this_thread::sleep_for(1ms);
              }
          }) {}

    std::optional<std::chrono::system_clock::time_point> firstAccepted() {
        std::lock_guard lock(mutex_);
        return accepted_;
    }

private:
    std::mutex mutex_;
    std::optional<std::chrono::system_clock::time_point> accepted_;
    std::jthread thread_;
};

class ConnectionTest : public e2e::ClientTest {
protected:
    ConnectionTest() {
        tools.setServices(userServices());
        panel.setSubscription("proxies:\n" + e2e::socksEntry(kNode, node.port()) +
                              e2e::socksEntry(kDeadNode, deadPort));
    }

    void launch(HeadlessSession::Options options) {
        session = std::make_unique<HeadlessSession>(std::move(options));
        session->waitFor("ready");
        session->waitFor("state", 30s);
        session->skipReceived();
    }

    Json ask(const std::string& action, const Json& arg = Json::object()) {
        const std::string id = "r" + std::to_string(++requests);
        session->send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return session->waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, 30s);
    }

    // Signs in; the node tests that follow start a core, test both nodes and stop it again.
    void signIn() {
        const Json reply =
            ask("login", {{"email", panel.account().email}, {"password", panel.account().password}});
        if (!reply["error"].is_null()) throw std::runtime_error("sign-in failed: " + reply.dump());
        session->waitFor(
            "state",
            [](const Json& e) {
                const Json& nodes = e["state"]["nodes"];
                return !nodes.empty() && std::all_of(nodes.begin(), nodes.end(),
                                                     [](const Json& n) { return n.contains("available"); });
            },
            30s);
        waitForCoreGone();
    }

    void waitForCoreGone() {
        if (!e2e::eventually(
                [&] { return !localPortAccepts(MihomoCore::kControllerPort) && !fs::exists(pidFile()); }))
            throw std::runtime_error("the core is still running");
    }

    Json connect(const std::string& name) { return ask("connect", {{"nodeName", name}}); }

    void connectOrThrow() {
        const Json reply = connect(kNode);
        if (!reply["error"].is_null() || !reply["value"]["connected"].get<bool>())
            throw std::runtime_error("connect failed: " + reply.dump());
    }

    pid_t corePid() const { return static_cast<pid_t>(std::stol(readFile(pidFile()).value_or("0"))); }

    // Kills the core as a crash would, and waits until it is gone (its parent reaps it later).
    void killCore() {
        const pid_t pid = corePid();
        ASSERT_GT(pid, 1);
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(e2e::eventually([&] { return processEnded(pid); }));
    }

    void quit() {
        session->send({{"cmd", "terminate"}});
        EXPECT_EQ(session->waitForExit(20s).code, 0);
    }

    // Whatever the connection did, the user's settings and the core's ports are left as before.
    void expectNothingLeft(const std::string& why) {
        EXPECT_TRUE(restored(tools.services())) << why << ": " << tools.services().dump();
        EXPECT_FALSE(fs::exists(backup())) << why;
        EXPECT_FALSE(localPortAccepts(MihomoCore::kControllerPort)) << why;
        EXPECT_FALSE(localPortAccepts(kLocalProxyPort)) << why;
        EXPECT_FALSE(fs::exists(pidFile())) << why;
    }

    SystemTools tools{home.path() / "root"};
    SocksNode node{home.path()};
    const std::uint16_t deadPort = freeLoopbackPort();
    e2e::Probes probes;
    StandInPanel panel{e2e::kPanelPort};
    int requests = 0;
    // Last, so that the client is gone before the services it uses.
    std::unique_ptr<HeadlessSession> session;
};

TEST_F(ConnectionTest, ConnectsThroughTheNodeOnceTheLocalPortAcceptsAndDisconnectPutsEverythingBack) {
    // The controller answers half a second before the local port listens, as the real core may.
    launch(options({{"MICORE_MIXED_PORT_DELAY_MS", "500"}}));
    signIn();
    const int probesBefore = node.connectionsTo(e2e::kProbeAPort);
    const std::size_t callsBefore = tools.toolCalls().size();

    PortWatch watch(kLocalProxyPort);
    const Json reply = connect(kNode);
    ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
    EXPECT_TRUE(reply["value"]["connected"]);
    EXPECT_TRUE(reply["value"]["socksReady"]);
    EXPECT_EQ(reply["value"]["selectedNode"], kNode);
    EXPECT_GT(node.connectionsTo(e2e::kProbeAPort), probesBefore) << "the probe did not go through the node";
    EXPECT_GE(probes.a.count("HEAD", "/generate_204"), 1u);
    EXPECT_TRUE(switchedToLocalPort(tools.services())) << tools.services().dump();
    EXPECT_TRUE(fs::exists(backup()));

    const auto accepted = watch.firstAccepted();
    ASSERT_TRUE(accepted.has_value());
    // The switch begins with reading every service's settings: not even that before the port
    // accepts.
    const auto calls = tools.toolCalls();
    ASSERT_GT(calls.size(), callsBefore);
    EXPECT_GE(calls[callsBefore]["time"].get<double>(), secondsSinceEpoch(*accepted))
        << "the system proxy was switched before the local port accepted";

    const Json off = ask("disconnect");
    ASSERT_TRUE(off["error"].is_null()) << off.dump();
    EXPECT_FALSE(off["value"]["connected"]);
    expectNothingLeft("after disconnect");
    quit();
}

TEST_F(ConnectionTest, ACoreThatDiesIsNoticedByTheNextHealthTickAndARefusedRestoreIsAskedOnce) {
    launch(options());
    signIn();
    connectOrThrow();
    killCore();
    session->skipReceived();
    session->send({{"cmd", "healthTick"}});
    const Json pushed = session->waitFor("state", [](const Json& e) { return !e["state"]["connected"]; });
    EXPECT_FALSE(pushed["state"]["socksReady"]);
    expectNothingLeft("after the core died");

    // Refused this time: one prompt for two ticks at once, none on later ticks, and the next one
    // only when the user acts.
    connectOrThrow();
    tools.setPromptMode("cancel");
    const std::size_t promptsBefore = tools.prompts().size();
    killCore();
    session->send({{"cmd", "healthTick"}});
    session->send({{"cmd", "healthTick"}});
    const Json alert = session->waitFor("alert");
    EXPECT_EQ(alert["title"], "连接中断");
    EXPECT_EQ(alert["text"], "内核意外退出且无法自动恢复系统代理，请检查系统网络设置。");
    session->send({{"cmd", "healthTick"}});
    session->collectFor(1500ms);
    EXPECT_EQ(tools.prompts().size(), promptsBefore + 1);
    EXPECT_EQ(session->eventsNamed("alert").size(), 1u);
    EXPECT_TRUE(switchedToLocalPort(tools.services()));

    tools.setPromptMode("run");
    session->skipReceived();
    session->send({{"cmd", "menu"}, {"item", "menuToggle"}});
    session->waitFor("state", [](const Json& e) { return !e["state"]["connected"]; });
    EXPECT_EQ(tools.prompts().size(), promptsBefore + 2);
    expectNothingLeft("after the user disconnected");
    quit();
}

TEST_F(ConnectionTest, QuitRestoresBeforeExitingAndADismissedPromptKeepsTheClientRunning) {
    launch(options());
    signIn();
    connectOrThrow();

    tools.setPromptMode("cancel");
    session->send({{"cmd", "terminate"}});
    EXPECT_EQ(session->waitFor("terminate")["reply"], "later");
    const Json alert = session->waitFor("alert", 20s);
    EXPECT_EQ(alert["title"], "无法恢复系统代理");
    EXPECT_EQ(alert["text"],
              "请允许恢复系统代理设置后再退出：\n已取消网络代理授权。Korvane 不会继续修改系统网络设置。");
    EXPECT_EQ(session->waitFor("terminate")["reply"], "no");
    session->collectFor(300ms);
    EXPECT_TRUE(session->running());
    EXPECT_TRUE(switchedToLocalPort(tools.services()));
    EXPECT_TRUE(localPortAccepts(kLocalProxyPort)) << "the connection stays as it was";
    EXPECT_TRUE(ask("bootstrap")["value"]["connected"]);

    tools.setPromptMode("run");
    session->send({{"cmd", "terminate"}});
    EXPECT_EQ(session->waitFor("terminate")["reply"], "later");
    EXPECT_EQ(session->waitFor("terminate", 20s)["reply"], "yes");
    EXPECT_EQ(session->waitForExit(20s).code, 0);
    expectNothingLeft("after quitting");
}

TEST_F(ConnectionTest, QuitDuringAConnectWaitsForItsSwitchAndPutsItBackBeforeExiting) {
    launch(options());
    signIn();
    // The user takes a while to answer the connect's prompt, and quits meanwhile.
    tools.setPromptMode("run", 1.5);
    const std::size_t promptsBefore = tools.prompts().size();
    session->send(
        {{"cmd", "message"}, {"body", {{"id", "c"}, {"action", "connect"}, {"arg", {{"nodeName", kNode}}}}}});
    ASSERT_TRUE(e2e::eventually([&] { return tools.prompts().size() > promptsBefore; }));
    session->send({{"cmd", "terminate"}});
    EXPECT_EQ(session->waitFor("terminate")["reply"], "later");
    EXPECT_EQ(session->waitFor("terminate", 20s)["reply"], "yes");
    EXPECT_EQ(session->waitForExit(20s).code, 0);
    EXPECT_FALSE(session->waitFor("resolve")["error"].is_null()) << "the connect did not complete";
    expectNothingLeft("after quitting during a connect");
}

TEST_F(ConnectionTest, AfterTheClientWasKilledTheNextLaunchRestoresAndStopsTheOrphanBeforeSigningIn) {
    launch(options());
    signIn();
    connectOrThrow();
    const pid_t orphan = corePid();
    session->sendSignal(SIGKILL);
    session->waitForExit();
    // Kept until the end: its end takes its process group down, the orphan with it.
    const auto killed = std::move(session);
    ASSERT_TRUE(localPortAccepts(MihomoCore::kControllerPort)) << "the core outlives its client";

    // The stored sign-in's refresh starts with the remote configuration: what the settings and
    // the orphan were then.
    std::mutex mutex;
    std::optional<Json> servicesAtRefresh;
    std::optional<bool> orphanEndedAtRefresh;
    HttpsServer config{HttpsServer::Options{e2e::kConfigPort, true}};
    config.route("GET", "/RemoteConfig.json", [&](const ReceivedRequest&) {
        std::lock_guard lock(mutex);
        if (!servicesAtRefresh) {
            servicesAtRefresh = tools.services();
            orphanEndedAtRefresh = processEnded(orphan);
        }
        return HttpResponse::json(503, "{}");
    });
    launch(options());
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(servicesAtRefresh.has_value()) << "the signed-in refresh did not run";
        EXPECT_TRUE(restored(*servicesAtRefresh)) << servicesAtRefresh->dump();
        EXPECT_TRUE(*orphanEndedAtRefresh);
    }
    EXPECT_FALSE(fs::exists(backup()));
    // The node tests after the refresh start a core of their own on the ports the orphan held.
    session->waitFor(
        "state",
        [](const Json& e) {
            const Json& nodes = e["state"]["nodes"];
            return !nodes.empty() && nodes[0].value("available", false);
        },
        30s);
    quit();
}

// Every way a connect can fail, one after another in one client: each gives its message and
// leaves the core stopped, no backup and the services as they were. The bundle is a copy whose
// core is replaced for each case, by nothing, a file that cannot run, or the stand-in core with
// one of its knobs.
TEST_F(ConnectionTest, EveryFailedConnectGivesItsMessageAndLeavesNothingBehind) {
    const fs::path bundle = home.path() / "Korvane.app";
    fs::create_directories(bundle / "Contents");
    fs::copy_file(e2e::kBundle / "Contents" / "Info.plist", bundle / "Contents" / "Info.plist");
    fs::copy(e2e::kBundle / "Contents" / "Resources", bundle / "Contents" / "Resources",
             fs::copy_options::recursive);
    const fs::path core = bundle / "Contents" / "Resources" / "bin" / "micore";
    const fs::path standIn = e2e::kBundle / "Contents" / "Resources" / "bin" / "micore";
    auto useCore = [&](const std::string& knobs, fs::perms mode = fs::perms::owner_all) {
        fs::remove(core);
        writeFileAtomically(core, "#!/bin/sh\n" + knobs + " exec '" + standIn.string() + "' \"$@\"\n");
        fs::permissions(core, mode);
    };
    useCore("");
    auto sessionOptions = options();
    sessionOptions.bundle = bundle;
    launch(std::move(sessionOptions));
    signIn();

    struct Case {
        std::string what;
        std::function<void()> setUp;
        std::string node;
        std::string message;
        bool whole = true; // else the message's beginning, the rest being the tool's output
    };
    const std::string probeFailed = "节点代理联网检测失败，请重试或选择其他节点";
    const std::string coreUnusable = "Mihomo 核心文件缺失或没有执行权限";
    const Case cases[] = {
        {"node not listed", [] {}, "不存在", "请先手动选择一个节点"},
        {"core missing", [&] { fs::remove(core); }, kNode, coreUnusable},
        {"core not executable", [&] { useCore("", fs::perms::owner_read | fs::perms::owner_write); }, kNode,
         coreUnusable},
        {"core exits at once", [&] { useCore("MICORE_EXIT_AT_ONCE=1"); }, kNode,
         "Mihomo 启动超时，请查看连接日志"},
        {"select refused", [&] { useCore("MICORE_SELECT_REFUSED=1"); }, kNode,
         "Selector update error: proxy not exist"},
        {"verify names another node", [&] { useCore("MICORE_SELECT_IGNORED=1"); }, kDeadNode,
         "手动节点选择没有生效"},
        {"both probes fail", [&] { useCore(""); }, kDeadNode, probeFailed},
        {"local port never accepts", [&] { useCore("MICORE_MIXED_PORT_DELAY_MS=600000"); }, kNode,
         probeFailed},
        {"prompt dismissed while enabling",
         [&] {
             useCore("");
             tools.setPromptMode("cancel");
         },
         kNode, "已取消网络代理授权。Korvane 不会继续修改系统网络设置。"},
        // Half the switch made (the web proxies) before the tool fails; putting them back needs no
        // SOCKS server, so the restore goes through.
        {"switch fails half way", [&] { tools.failTool({"-setsocksfirewallproxy"}); }, kNode,
         "系统代理命令失败：", false},
    };
    for (const auto& c : cases) {
        c.setUp();
        const Json reply = connect(c.node);
        const std::string error = reply["error"].is_string() ? reply["error"].get<std::string>() : "";
        EXPECT_EQ(c.whole ? error : error.substr(0, c.message.size()), c.message) << c.what;
        EXPECT_FALSE(ask("bootstrap")["value"]["connected"]) << c.what;
        expectNothingLeft(c.what);
        tools.setPromptMode("run");
        tools.failTool({});
    }
    // A switch that fails half way and cannot be put back either keeps its proven connection, so
    // that a disconnect or a quit can still restore; the page is told it is connected.
    tools.failTool({"-setwebproxy"});
    session->skipReceived();
    EXPECT_FALSE(connect(kNode)["error"].is_null());
    EXPECT_FALSE(session->eventsNamed("state").empty() ||
                 !session->eventsNamed("state").back()["state"]["connected"])
        << "the page still shows the connection as gone";
    EXPECT_TRUE(localPortAccepts(kLocalProxyPort));
    EXPECT_TRUE(fs::exists(backup()));
    tools.failTool({});
    EXPECT_TRUE(ask("disconnect")["error"].is_null());
    expectNothingLeft("after the kept connection was disconnected");

    // A record left by an earlier run blocks the connect before the core is started, and stays.
    useCore("");
    writeFileAtomically(backup(), "{}", 0600);
    EXPECT_EQ(connect(kNode)["error"], "检测到旧代理设置尚未恢复，请先允许恢复后再连接");
    EXPECT_TRUE(fs::exists(backup()));
    EXPECT_FALSE(localPortAccepts(MihomoCore::kControllerPort));
    fs::remove(backup());
    // And with all that behind it, the same client connects.
    connectOrThrow();
    quit();
}

} // namespace
