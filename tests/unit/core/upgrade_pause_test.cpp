// Pausing the connection for an update and resuming it, with the stand-in core, a real SOCKS
// node and the stand-in settings tools: the proxy settings never change and no prompt appears,
// and a core that will not stop holds the update back after its six seconds of virtual time.

#include "base/child_process.h"
#include "base/errors.h"
#include "base/files.h"
#include "core/mihomo_core.h"
#include "core/runtime_configuration.h"
#include "platform/local_proxy.h"
#include "platform/system_paths.h"
#include "sysproxy/proxy_backup.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kProbeAPort = 18448;
constexpr std::uint16_t kProbeBPort = 18449;

Json localProxy() { return {{"enabled", true}, {"server", "127.0.0.1"}, {"port", 7897}}; }

class UpgradePauseTest : public ::testing::Test {
protected:
    UpgradePauseTest() {
        const fs::path bin = dir.path() / "Resources" / "bin";
        fs::create_directories(bin);
        fs::copy_file(KORVANE_MICORE, bin / "micore");
        for (const char* geo : {"geoip.dat", "geosite.dat"})
            fs::copy_file(fs::path(KORVANE_MICORE_GEODATA_DIR) / geo, bin / geo);
        setSystemRoot(tools.root());
        tools.setServices(Json::array({standInService("Wi-Fi")}));
        for (auto* probe : {&probeA, &probeB})
            probe->route("HEAD", "/generate_204", HttpResponse::text(204, ""));
    }
    ~UpgradePauseTest() override {
        drive(core.stopCore());
        ::unsetenv("MICORE_IGNORE_SIGTERM");
        setSystemRoot({});
    }

    // Runs task to its end, moving virtual time on in steps while it waits for the core,
    // whose process and controller answer in real time. Returns its error text, "" on success.
    std::string drive(Task<void> task) {
        std::exception_ptr failure;
        auto wrapper = [](Task<void> inner, std::exception_ptr& error) -> Task<void> {
            try {
                co_await std::move(inner);
            } catch (...) {
                error = std::current_exception();
            }
        };
        auto handle = spawn(wrapper(std::move(task), failure));
        for (int step = 0; step < 2000 && !handle.done(); ++step) {
            if (!loop.runUntil([&] { return handle.done(); }, 20ms)) loop.advance(50ms);
        }
        if (!handle.done()) {
            handle.cancel();
            loop.runUntil([&] { return handle.done(); });
            return "did not end";
        }
        if (!failure) return "";
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            return error.what();
        }
    }
    std::string connect() { return drive(core.connect(subscription(), nodes(), "node", "global")); }
    std::string resume(const std::string& selected = "node") {
        return drive(core.resumeAfterUpgrade(subscription(), nodes(), selected, "global"));
    }
    std::string subscription() const {
        return "proxies:\n  - {name: node, type: socks5, server: 127.0.0.1, port: " +
               std::to_string(nodePort) + "}\n";
    }
    std::vector<Node> nodes() const { return {Node{"node", "SOCKS5", "127.0.0.1", nodePort}}; }
    std::string selectedNode() {
        return runTask(loop, MihomoCore::group(defaultHttpClient(), std::string(kProxyGroupName))).at("now");
    }
    // What a crashed or paused client leaves: the backup record and every proxy on the local port.
    void plantSwitchedSettings(const Json& services) {
        fs::create_directories(dir.path() / "support");
        writeProxyBackup(core.proxy().backup(), SystemProxy::snapshot());
        tools.setServices(services);
    }

    TempDir dir;
    SystemTools tools{dir.path() / "root"};
    HttpsServer probeA{HttpsServer::Options{kProbeAPort, true}};
    HttpsServer probeB{HttpsServer::Options{kProbeBPort, true}};
    SocksNode socks{dir.path()};
    const std::uint16_t nodePort = socks.port();
    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    MihomoCore core{dir.path() / "support", dir.path() / "Resources"};
};

TEST_F(UpgradePauseTest, PauseThenResumeOnTheSameNodeLeavesTheSettingsAlone) {
    ASSERT_EQ(connect(), "");
    ASSERT_TRUE(core.connected());
    const Json switched = tools.services();
    ASSERT_EQ(switched[0]["webproxy"], localProxy());
    const auto prompts = tools.prompts().size();

    ASSERT_EQ(drive(core.pauseForUpgrade()), "");
    EXPECT_FALSE(core.connected());
    EXPECT_FALSE(core.processRunning());
    EXPECT_FALSE(localPortAccepts(kLocalProxyPort));
    EXPECT_FALSE(localPortAccepts(MihomoCore::kControllerPort));
    EXPECT_TRUE(fs::exists(core.proxy().backup()));

    ASSERT_EQ(resume(), "");
    EXPECT_TRUE(core.connected());
    EXPECT_EQ(core.connectedNode(), "node");
    EXPECT_EQ(selectedNode(), "node");
    EXPECT_TRUE(core.socksReady());
    EXPECT_EQ(tools.services(), switched);
    EXPECT_EQ(tools.prompts().size(), prompts) << "no administrator prompt on either side";
}

TEST_F(UpgradePauseTest, ACoreThatIgnoresSigtermHoldsTheUpdateBack) {
    ::setenv("MICORE_IGNORE_SIGTERM", "1", 1);
    ASSERT_EQ(connect(), "");
    const MonotonicTime started = loop.now();
    EXPECT_EQ(drive(core.pauseForUpgrade()), "Mihomo 尚未安全退出，更新已暂停");
    const auto waited = loop.now() - started;
    EXPECT_GE(waited, 6000ms);
    EXPECT_LT(waited, 6200ms);
    EXPECT_TRUE(core.connected());
    EXPECT_TRUE(core.processRunning());
    EXPECT_EQ(core.connectedNode(), "node");
}

TEST_F(UpgradePauseTest, ResumeOnlyWhileTheSettingsAreStillOurs) {
    // Nothing running: a pause clears the flag at once.
    EXPECT_EQ(drive(core.pauseForUpgrade()), "");
    EXPECT_FALSE(core.connected());

    const std::string unknownState = "无法确认上次的系统代理状态，不能直接恢复连接";
    Json allOnLocalPort = tools.services();
    for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"})
        allOnLocalPort[0][kind] = localProxy();
    Json onlySecureWeb = tools.services();
    onlySecureWeb[0]["securewebproxy"] = localProxy();

    struct Case {
        const char* name;
        std::function<void()> setUp;
        std::string selected;
        std::string error;
    };
    const Case cases[] = {
        {"no record and no helper", [&] { tools.setServices(allOnLocalPort); }, "node", unknownState},
        {"a record, but the settings were changed since", [&] { plantSwitchedSettings(tools.services()); },
         "node", unknownState},
        {"only the secure web proxy on the local port", [&] { plantSwitchedSettings(onlySecureWeb); }, "node",
         unknownState},
        {"no previous node", [&] { plantSwitchedSettings(allOnLocalPort); }, "", "缺少上次使用的节点或配置"},
        {"a node no longer listed", [&] { plantSwitchedSettings(allOnLocalPort); }, "gone",
         "缺少上次使用的节点或配置"},
    };
    for (const auto& c : cases) {
        tools.setServices(Json::array({standInService("Wi-Fi")}));
        fs::remove(core.proxy().backup());
        c.setUp();
        const Json before = tools.services();
        EXPECT_EQ(resume(c.selected), c.error) << c.name;
        EXPECT_FALSE(core.processRunning()) << c.name;
        EXPECT_FALSE(core.connected()) << c.name;
        EXPECT_EQ(tools.services(), before) << c.name;
    }
    EXPECT_TRUE(tools.prompts().empty());
}

} // namespace
