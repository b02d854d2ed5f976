// Faults from outside the client, end to end through the headless shell of the local
// deployment: a support directory that cannot be written or is full, a privileged helper that
// hangs, a panel that drops connections midway, a core that crash-loops, and the client killed
// at every step of a connect and a disconnect. Each case checks what the user is shown and what
// is left behind: the files, the core, and the network services of the stand-in settings tool.
//
// The client connects from a planted node cache (no sign-in), through the stand-in core of the
// bundle and a real SOCKS5 node, so that a case costs a launch and a connect.

#include "base/files.h"
#include "base/json.h"
#include "core/mihomo_core.h"
#include "e2e_support.h"
#include "panel/node_cache.h"
#include "panel/subscription_parser.h"
#include "platform/local_proxy.h"
#include "platform/processes.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/stand_in_panel.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kNode = "香港 01";

// The user's settings before any connect. Every kind has a server, so a restore can bring each
// back exactly and the services compare equal, byte for byte, when nothing was lost.
Json userServices() {
    auto wifi = standInService("Wi-Fi");
    wifi["webproxy"] = e2e::proxy(true, "proxy.corp.example", 8080);
    wifi["securewebproxy"] = e2e::proxy(false, "proxy.corp.example", 8443);
    wifi["socksfirewallproxy"] = e2e::proxy(false, "socks.corp.example", 1080);
    wifi["bypass"] = {"*.corp.example", "intranet"};
    auto wired = standInService("有线 网络");
    for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
        wired[kind] = e2e::proxy(false, "wired.example", 3128);
    return Json::array({wifi, wired, standInService("VPN", true)});
}

// Whether a process runs from (or with an argument below) directory: a stand-in tool, or a
// script host left running by a client that is gone.
bool anythingRunsBelow(const fs::path& directory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto command = readFile(entry.path() / "cmdline");
        if (command && command->find(directory.string()) != std::string::npos &&
            !processEnded(static_cast<pid_t>(std::stol(name))))
            return true;
    }
    return false;
}

// Fills the file system that holds directory, as seen by process pid, until it is full.
void fillUp(pid_t pid, const fs::path& directory) {
    const fs::path filler =
        fs::path("/proc") / std::to_string(pid) / "root" / directory.relative_path() / "filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << filler;
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
}

class FaultInjectionTest : public e2e::ClientTest {
protected:
    FaultInjectionTest() {
        tools.setServices(userServices());
        const std::string yaml = "proxies:\n" + e2e::socksEntry(kNode, node.port());
        fs::create_directories(support());
        writeSubscriptionCache(support(), yaml, extractNodes(yaml));
    }

    // The shell run in a mount namespace of its own, after `mounting` (a shell command whose $1
    // is the support directory and $3 a third argument) has changed what it sees there.
    HeadlessSession::Options inNamespace(const std::string& mounting, const std::string& third = "") const {
        auto options = this->options();
        options.arguments = {"-m",
                             "/bin/sh",
                             "-c",
                             mounting + " && exec \"$2\"",
                             "sh",
                             support().string(),
                             options.executable.string(),
                             third};
        options.executable = "/usr/bin/unshare";
        return options;
    }

    void launch(HeadlessSession::Options options) {
        session = std::make_unique<HeadlessSession>(std::move(options));
        session->waitFor("ready");
        session->waitFor("state", 30s);
    }

    std::string send(const std::string& action, const Json& arg = Json::object()) {
        const std::string id = "r" + std::to_string(++requests);
        session->send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return id;
    }
    Json reply(const std::string& id, std::chrono::milliseconds timeout = 30s) {
        return session->waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, timeout);
    }
    Json ask(const std::string& action, const Json& arg = Json::object()) { return reply(send(action, arg)); }
    // The error the page is given, or "" when the action succeeded.
    std::string connectError() {
        const Json answer = ask("connect", {{"nodeName", kNode}});
        return answer["error"].is_string() ? answer["error"].get<std::string>() : "";
    }

    void quit() {
        session->send({{"cmd", "terminate"}});
        EXPECT_EQ(session->waitForExit(20s).code, 0);
    }

    // The network as it was before the connect, no record, no core, no script host still at work.
    void expectNetworkAsBefore(const std::string& why) {
        EXPECT_TRUE(e2e::eventually([&] { return !anythingRunsBelow(tools.root()); })) << why;
        EXPECT_EQ(tools.services(), userServices()) << why;
        EXPECT_FALSE(fs::exists(backup())) << why;
        EXPECT_FALSE(localPortAccepts(MihomoCore::kControllerPort)) << why;
        EXPECT_FALSE(localPortAccepts(kLocalProxyPort)) << why;
        EXPECT_FALSE(fs::exists(pidFile())) << why;
    }

    SystemTools tools{home.path() / "root"};
    SocksNode node{home.path()};
    e2e::Probes probes;
    int requests = 0;
    // Last, so that the client is gone before the services it uses.
    std::unique_ptr<HeadlessSession> session;
};

// The client killed (SIGKILL, as a crash) at each step of a connect or a disconnect; the next
// launch finds what it left and puts the network back as it was before the connect, every time.
// A stand-in tool that is slow to answer holds the client at its step.
TEST_F(FaultInjectionTest, AClientKilledAtAnyStepLeavesTheNetworkAsItWasAfterTheNextLaunch) {
    struct Step {
        std::string what;
        std::map<std::string, std::string> core; // the stand-in core's knobs
        bool connectedFirst;
        std::function<void()> holdThere;
        std::function<bool()> reached;
        std::size_t promptsOnRelaunch; // restore prompts the next launch shows
    };
    std::size_t prompts = 0;
    const Step steps[] = {
        {"connect: the core starting",
         {{"MICORE_CONTROLLER_DELAY_MS", "3000"}},
         false,
         [] {},
         [&] { return fs::exists(pidFile()); },
         0},
        {"connect: the probes under way",
         {},
         false,
         [&] {
             probes.a.route("HEAD", "/generate_204", HttpResponse{204, {}, "", 3000ms});
         },
         [&] { return probes.a.count("HEAD", "/generate_204") > 0; },
         0},
        {"connect: the record written, the switch's prompt open",
         {},
         false,
         [&] { tools.setPromptMode("run", 1.5); },
         [&] { return tools.prompts().size() > prompts && fs::exists(backup()); },
         1},
        {"disconnect: the restore's prompt open",
         {},
         true,
         [&] { tools.setPromptMode("run", 1.5); },
         [&] { return tools.prompts().size() > prompts; },
         1},
        {"disconnect: the settings back, the core still stopping",
         {{"MICORE_IGNORE_SIGTERM", "1"}},
         true,
         [] {},
         [&] { return !fs::exists(backup()); },
         0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        tools.setServices(userServices());
        probes.a.route("HEAD", "/generate_204", HttpResponse::text(204, ""));
        tools.setPromptMode("run");
        launch(options(step.core));
        if (step.connectedFirst) ASSERT_EQ(connectError(), "");
        prompts = tools.prompts().size();
        step.holdThere();
        session->skipReceived();
        send(step.connectedFirst ? "disconnect" : "connect", {{"nodeName", kNode}});
        ASSERT_TRUE(e2e::eventually(step.reached)) << session->describeEvents();
        session->sendSignal(SIGKILL);
        session->waitForExit();
        // Kept until the relaunch is through: its end takes its process group down, and with it
        // a core the killed client left running.
        const auto killed = std::move(session);

        // The user starts the client again; whatever the killed one left runs on meanwhile.
        tools.setPromptMode("run");
        const std::size_t promptsBefore = tools.prompts().size();
        launch(options());
        EXPECT_TRUE(session->eventsNamed("alert").empty()) << session->describeEvents();
        expectNetworkAsBefore(step.what);
        EXPECT_EQ(tools.prompts().size(), promptsBefore + step.promptsOnRelaunch);
        // And it connects again as if nothing had happened.
        EXPECT_EQ(connectError(), "");
        EXPECT_TRUE(ask("disconnect")["error"].is_null());
        quit();
        session.reset();
        expectNetworkAsBefore(step.what + ", connected once more");
    }
}

// A support directory mounted read-only: a record a crash left restores the settings but stays
// (so connecting is refused, as the settings are not known to be the user's), and without a
// record a connect fails before anything is started or written.
TEST_F(FaultInjectionTest, AReadOnlySupportDirectoryNeverLeavesTheNetworkSwitched) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const std::string readOnly = "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\"";

    // What a crashed connection left: the record, the services on the local port, the core.
    launch(options());
    ASSERT_EQ(connectError(), "");
    session->sendSignal(SIGKILL);
    session->waitForExit();
    const auto killed = std::move(session); // its end would take the orphaned core down
    ASSERT_TRUE(localPortAccepts(MihomoCore::kControllerPort));
    const auto record = readFile(backup());
    ASSERT_TRUE(record.has_value());

    launch(inNamespace(readOnly));
    const auto alerts = session->eventsNamed("alert");
    ASSERT_EQ(alerts.size(), 1u) << session->describeEvents();
    EXPECT_EQ(alerts[0]["title"], "系统代理恢复失败");
    EXPECT_EQ(alerts[0]["text"], "Read-only file system\n请允许恢复后再连接。");
    EXPECT_EQ(tools.services(), userServices()) << "the settings were put back all the same";
    EXPECT_FALSE(localPortAccepts(MihomoCore::kControllerPort)) << "the orphan core was stopped";
    EXPECT_EQ(readFile(backup()), record);
    EXPECT_EQ(connectError(), "检测到旧代理设置尚未恢复，请先允许恢复后再连接");
    quit();
    session.reset();

    // The user makes room for the client's files elsewhere, as it were: no record any more.
    fs::remove(backup());
    fs::remove(pidFile());
    auto files = [&] {
        std::set<fs::path> paths;
        for (const auto& entry : fs::recursive_directory_iterator(support()))
            paths.insert(entry.path());
        return paths;
    };
    const auto before = files();
    launch(inNamespace(readOnly));
    EXPECT_EQ(connectError(), "Read-only file system");
    EXPECT_FALSE(ask("bootstrap")["value"]["connected"]);
    EXPECT_TRUE(session->eventsNamed("alert").empty());
    quit();
    session.reset();
    EXPECT_EQ(files(), before);
    expectNetworkAsBefore("read-only");
}

// A support directory on a 64 KiB file system that fills up while the connect probes its node:
// the record of the user's settings cannot be written, so nothing is switched and the core
// stops; once there is room again the same client connects.
TEST_F(FaultInjectionTest, AFullSupportDirectoryStopsTheConnectBeforeAnySettingChanges) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const fs::path seed = home.path() / "seed";
    fs::copy(support(), seed, fs::copy_options::recursive);
    launch(inNamespace("mount -t tmpfs -o size=64k,mode=0700 korvane-full \"$1\" && cp -a \"$3\"/. \"$1\"/",
                       seed.string()));
    const fs::path inside =
        fs::path("/proc") / std::to_string(session->pid()) / "root" / support().relative_path();

    probes.a.route("HEAD", "/generate_204", HttpResponse{204, {}, "", 800ms});
    const std::string id = send("connect", {{"nodeName", kNode}});
    ASSERT_TRUE(e2e::eventually([&] { return probes.a.count("HEAD", "/generate_204") > 0; }));
    fillUp(session->pid(), support());
    EXPECT_EQ(reply(id)["error"], "No space left on device");
    EXPECT_FALSE(ask("bootstrap")["value"]["connected"]);
    EXPECT_EQ(tools.services(), userServices());
    EXPECT_TRUE(tools.prompts().empty()) << "no prompt for a switch that cannot be undone";
    EXPECT_FALSE(fs::exists(inside / "proxy-backup.json"));
    EXPECT_FALSE(fs::exists(inside / "runtime" / "core.pid"));
    for (const auto& entry : fs::recursive_directory_iterator(inside))
        EXPECT_FALSE(entry.path().extension() == ".tmp") << entry.path() << " left behind";
    EXPECT_EQ(readFile(inside / "subscription.yaml"), readFile(support() / "subscription.yaml"));
    EXPECT_TRUE(e2e::eventually([] { return !localPortAccepts(MihomoCore::kControllerPort); }));

    fs::remove(inside / "filler");
    EXPECT_EQ(connectError(), "");
    EXPECT_TRUE(fs::exists(inside / "proxy-backup.json"));
    EXPECT_TRUE(ask("disconnect")["error"].is_null());
    quit();
    expectNetworkAsBefore("full");
}

// The privileged helper accepts the switch and then hangs past the client's 15-second limit:
// the page stays answered meanwhile, the connect fails with the helper's message, and nothing
// is left switched.
TEST_F(FaultInjectionTest, AHelperThatHangsFailsTheConnectWithoutFreezingThePage) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a trusted fake helper";
    tools.setHelperInstalled(true);
    FakeProxyHelper helper(tools.helperSocket(), "OFF", 0, "enable", 20s);
    launch(options());
    const std::string id = send("connect", {{"nodeName", kNode}});
    ASSERT_TRUE(e2e::eventually([&] { return helper.received().find("enable") != std::string::npos; }));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(ask("bootstrap", {})["error"].is_null());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << "the page waited for the helper";
    const Json answer = reply(id, 25s);
    EXPECT_EQ(answer["error"], "网络辅助服务没有响应");
    EXPECT_FALSE(ask("bootstrap")["value"]["connected"]);
    EXPECT_TRUE(session->eventsNamed("alert").empty());
    EXPECT_TRUE(tools.prompts().empty());
    quit();
    expectNetworkAsBefore("helper hang");
}

// A core that crashes two and a half seconds after every start: while connected, the next health
// tick notices, puts the settings back and shows the page disconnected, each time without an
// alert; a connect it dies during fails and leaves nothing behind.
TEST_F(FaultInjectionTest, ACoreThatCrashLoopsIsCleanedUpAfterEveryCrash) {
    launch(options({{"MICORE_EXIT_AFTER_MS", "2500"}}));
    for (int crash = 0; crash < 2; ++crash) {
        const std::string why = "crash " + std::to_string(crash);
        ASSERT_EQ(connectError(), "") << why;
        ASSERT_TRUE(e2e::eventually([] { return !localPortAccepts(MihomoCore::kControllerPort); })) << why;
        session->skipReceived();
        session->send({{"cmd", "healthTick"}});
        session->waitFor("state", [](const Json& e) { return !e["state"]["connected"]; });
        expectNetworkAsBefore(why);
    }
    // Dead before its node answers the probe.
    probes.a.route("HEAD", "/generate_204", HttpResponse{204, {}, "", 3000ms});
    EXPECT_EQ(connectError(), "节点代理联网检测失败，请重试或选择其他节点");
    expectNetworkAsBefore("crash during a connect");
    EXPECT_TRUE(session->eventsNamed("alert").empty()) << session->describeEvents();
    quit();
}

// The panel drops connections midway: at launch the subscription download is closed
// unanswered, and a refresh gets half of it before the connection ends. The user stays signed in
// with the cached nodes, the cache keeps its bytes, and a later refresh goes through.
TEST_F(FaultInjectionTest, APanelDroppingConnectionsMidwayKeepsTheCachedNodes) {
    StandInPanel panel{e2e::kPanelPort};
    e2e::plantSession(home.path(), "auth", panel.account().authData, 0600);
    const auto cachedYaml = readFile(support() / "subscription.yaml");
    const auto cachedNodes = readFile(support() / "nodes.json");
    const std::string download = "/s/demo%20subscription";
    panel.server().route("GET", download, HttpResponse::dropped());

    launch(options());
    Json state = ask("bootstrap")["value"];
    EXPECT_TRUE(state["loggedIn"]);
    ASSERT_EQ(state["nodes"].size(), 1u);
    EXPECT_EQ(state["nodes"][0]["name"], kNode);
    EXPECT_TRUE(session->eventsNamed("alert").empty());

    HttpResponse half;
    half.raw = {"HTTP/1.1 200 OK\r\nContent-Type: text/yaml\r\nContent-Length: 4096\r\n\r\n",
                "proxies:\n  - {name: \"美国 09\", type: socks5, server: 127.0.0.1, port: 1"};
    panel.server().route("GET", download, half);
    const Json refreshed = ask("refreshNodes");
    EXPECT_TRUE(refreshed["error"].is_string()) << refreshed.dump();
    state = ask("bootstrap")["value"];
    EXPECT_TRUE(state["loggedIn"]);
    ASSERT_EQ(state["nodes"].size(), 1u);
    EXPECT_EQ(state["nodes"][0]["name"], kNode);
    EXPECT_EQ(readFile(support() / "subscription.yaml"), cachedYaml);
    EXPECT_EQ(readFile(support() / "nodes.json"), cachedNodes);

    panel.server().route("GET", download,
                         HttpResponse::text(200, "proxies:\n  - {name: \"美国 09\", type: socks5, server: "
                                                 "127.0.0.1, port: 1}\n"));
    const Json again = ask("refreshNodes");
    ASSERT_TRUE(again["error"].is_null()) << again.dump();
    EXPECT_EQ(again["value"]["nodes"][0]["name"], "美国 09");
    EXPECT_NE(readFile(support() / "subscription.yaml"), cachedYaml);
    quit();
}

} // namespace
