// What the client lets itself do to processes and ports it did not start: the pid file left by a
// killed client is a file of the user's, so the process it names is stopped only when it runs
// the bundle's own core, and a controller or proxy port held by another program is never taken
// for the core's.

#include "base/errors.h"
#include "base/files.h"
#include "core/mihomo_core.h"
#include "platform/local_proxy.h"
#include "platform/processes.h"
#include "testing/async_test.h"
#include "testing/fake_http_client.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class CoreOwnershipTest : public ::testing::Test {
protected:
    CoreOwnershipTest() {
        const fs::path bin = dir.path() / "Resources" / "bin";
        fs::create_directories(bin);
        writeFileAtomically(bin / "geoip.dat", "ip", 0644);
        writeFileAtomically(bin / "geosite.dat", "site", 0644);
        // A real executable, so that a process started from it runs the core's file.
        fs::copy_file("/bin/sleep", core.executable());
    }

    void runToEnd(Task<void> task) {
        auto handle = spawn(std::move(task));
        for (int i = 0; i < 400 && !handle.done(); ++i) {
            std::this_thread::sleep_for(1ms);
            scope.loop.advance(50ms);
        }
        ASSERT_TRUE(handle.done());
    }

    void plantPid(pid_t pid) const {
        fs::create_directories(core.runtimeDir());
        writeFileAtomically(core.runtimeDir() / "core.pid", std::to_string(pid) + "\n", 0600);
    }

    ManualLoopScope scope;
    FakeHttpClient http;
    TempDir dir;
    MihomoCore core{dir.path() / "support", dir.path() / "Resources", http};
};

TEST_F(CoreOwnershipTest, OnlyAProcessOfTheBundlesCoreIsStoppedThroughThePidFile) {
    ChildProcess stranger(startProcess("/bin/sleep", {"600"}));
    plantPid(stranger.pid());
    runToEnd(core.stopOrphanCore());
    EXPECT_TRUE(stranger.running()) << "a process of another program was signalled";
    EXPECT_FALSE(fs::exists(core.runtimeDir() / "core.pid"));
    stranger.signal(SIGKILL);

    ChildProcess orphan(startProcess(core.executable().string(), {"600"}));
    plantPid(orphan.pid());
    runToEnd(core.stopOrphanCore());
    EXPECT_TRUE(processEnded(orphan.pid()));
    EXPECT_FALSE(orphan.running());
}

TEST_F(CoreOwnershipTest, APortHeldByAnotherProgramStopsTheStartBeforeAnythingRuns) {
    for (const int port : {MihomoCore::kControllerPort, kLocalProxyPort}) {
        SCOPED_TRACE(port);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 4), 0);

        std::optional<std::string> error;
        const std::vector<Node> nodes = {Node{"n", "SS", "h", 1}};
        auto start = [&]() -> Task<void> {
            try {
                co_await core.startCore("proxies:\n  - {name: n, type: ss, server: h, port: 1}\n", nodes,
                                        "smart");
            } catch (const KorvaneError& e) {
                error = e.what();
            }
        };
        runToEnd(start());
        ::close(listener);
        EXPECT_EQ(error, "本机端口 7897 或 9097 已被其他程序占用，请关闭占用的程序后再连接");
        EXPECT_FALSE(core.processRunning());
        EXPECT_FALSE(fs::exists(core.configurationFile()))
            << "nothing is written for a core that cannot start";
        EXPECT_EQ(http.requests().size(), 0u) << "the squatter was asked as if it were the core";
    }
}

} // namespace
