// The core's readiness rounds and the node tests' slices, in virtual time: the core is a shell
// script that only waits, and its controller is a FakeHttpClient.

#include "base/errors.h"
#include "base/files.h"
#include "core/mihomo_core.h"
#include "platform/processes.h"
#include "testing/async_test.h"
#include "testing/fake_http_client.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kVersion = std::string(MihomoCore::kControllerBase) + "/version";
const std::string kProxies = std::string(MihomoCore::kControllerBase) + "/proxies/";

class CoreProcessTest : public ::testing::Test {
protected:
    CoreProcessTest() {
        const fs::path bin = dir.path() / "Resources" / "bin";
        fs::create_directories(bin);
        writeFileAtomically(bin / "geoip.dat", "ip", 0644);
        writeFileAtomically(bin / "geosite.dat", "site", 0644);
        writeFileAtomically(bin / "micore", "#!/bin/sh\nexec sleep 600\n", 0755);
        for (int i = 1; i <= 9; ++i) {
            const std::string name = "n" + std::to_string(i);
            subscription +=
                "  - {name: " + name + ", type: ss, server: h, port: 1, cipher: aes-128-gcm, password: p}\n";
            nodes.push_back(Node{name, "SS", "h", 1});
        }
    }
    ~CoreProcessTest() override {
        auto stop = spawn(core.stopCore());
        finish(stop);
    }

    // Runs the task to its end in steps of virtual time, giving the child process a moment of
    // real time at each (its exit is seen through waitpid, not through the loop).
    void finish(TaskHandle& handle, Duration step = 50ms) {
        for (int i = 0; i < 400 && !handle.done(); ++i) {
            std::this_thread::sleep_for(1ms);
            loop.advance(step);
        }
        ASSERT_TRUE(handle.done());
    }

    pid_t childPid() const {
        return static_cast<pid_t>(std::stol(readFile(core.runtimeDir() / "core.pid").value_or("0")));
    }

    Task<void> start(std::optional<std::string>& error) {
        try {
            co_await core.startCore(subscription, nodes, "smart");
        } catch (const std::exception& e) {
            error = e.what();
        }
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    FakeHttpClient http;
    TempDir dir;
    MihomoCore core{dir.path() / "support", dir.path() / "Resources", http};
    std::string subscription = "proxies:\n";
    std::vector<Node> nodes;
};

TEST_F(CoreProcessTest, ReadinessGivesUpAfter42RoundsOfAQuarterSecondPlusTheRequest) {
    struct Case {
        const char* what;
        std::optional<HttpResponse> version; // none: nothing listens, refused at once
        Duration givesUpAt;
    };
    const Case cases[] = {
        {"refused at once", std::nullopt, 10500ms},
        {"every request times out", FakeHttpClient::noAnswer(), 52500ms},
    };
    for (const auto& c : cases) {
        if (c.version) http.route("GET", kVersion, *c.version);
        const std::size_t before = http.count("GET", kVersion);
        std::optional<std::string> error;
        auto handle = spawn(start(error));
        loop.advance(c.givesUpAt - 1ms);
        EXPECT_FALSE(handle.done()) << c.what;
        EXPECT_EQ(http.count("GET", kVersion) - before, 42u) << c.what;
        EXPECT_TRUE(core.processRunning()) << c.what;
        loop.advance(1ms);
        finish(handle);
        EXPECT_EQ(error, "Mihomo 启动超时，请查看连接日志") << c.what;
        EXPECT_FALSE(core.processRunning()) << c.what;
        EXPECT_FALSE(fs::exists(core.runtimeDir() / "core.pid")) << c.what;
    }
}

TEST_F(CoreProcessTest, ACoreThatExitsIsNoticedOnTheNextRound) {
    http.route("GET", kVersion, HttpResponse::json(503, "{}"));
    std::optional<std::string> error;
    auto handle = spawn(start(error));
    loop.runUntilIdle();
    ASSERT_EQ(http.count("GET", kVersion), 1u);
    const pid_t pid = childPid();
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 1000 && !processEnded(pid); ++i)
        std::this_thread::sleep_for(1ms);
    loop.advance(250ms);
    ASSERT_TRUE(handle.done());
    EXPECT_EQ(error, "Mihomo 启动超时，请查看连接日志");
    EXPECT_EQ(http.count("GET", kVersion), 1u);
    EXPECT_FALSE(core.processRunning());
}

// Delay requests answered after a second each, available for every node but the last.
class NodeTestRun : public CoreProcessTest {
protected:
    NodeTestRun() {
        http.route("GET", kVersion, HttpResponse::json(200, R"({"meta":true,"version":"v1.19.2"})"));
        http.routePrefix("GET", kProxies, [this](const ReceivedRequest& request) {
            const std::string name = request.path.substr(std::string_view("/proxies/").size());
            asked.push_back(name.substr(0, name.find('/')));
            HttpResponse answer = HttpResponse::json(200, R"({"delay":87})");
            if (asked.back() == "n9")
                answer = HttpResponse::json(503, R"({"message":"An error occurred in the delay test"})");
            answer.delay = 1s;
            return answer;
        });
    }

    Task<void> run(std::optional<std::string>& error) {
        try {
            // Named before the co_await, where GCC 12 would destroy a temporary lambda twice.
            std::function<void(const std::string&, bool)> record =
                [this](const std::string& node, bool available) { results.emplace_back(node, available); };
            co_await core.testNodes(subscription, nodes, "smart", std::move(record));
        } catch (const Cancelled&) {
            error = "cancelled";
        } catch (const std::exception& e) {
            error = e.what();
        }
    }

    std::vector<std::string> asked;
    std::vector<std::pair<std::string, bool>> results;
};

TEST_F(NodeTestRun, NineNodesTestTheNinthOnlyAfterTheFirstEightAnsweredAndStopTheCoreTheyStarted) {
    std::optional<std::string> error;
    auto handle = spawn(run(error));
    loop.advance(999ms);
    EXPECT_EQ(asked, (std::vector<std::string>{"n1", "n2", "n3", "n4", "n5", "n6", "n7", "n8"}));
    EXPECT_TRUE(results.empty());
    loop.advance(1ms);
    EXPECT_EQ(results.size(), 8u);
    EXPECT_EQ(asked.size(), 9u);
    // The ninth fails its first probe and is asked once more, at the second probe.
    loop.advance(2s);
    finish(handle);
    EXPECT_EQ(error, std::nullopt);
    ASSERT_EQ(results.size(), 9u);
    EXPECT_EQ(results.back(), (std::pair<std::string, bool>{"n9", false}));
    EXPECT_EQ(asked.size(), 10u);
    EXPECT_FALSE(core.processRunning()) << "the run started the core, so it stops it";
}

TEST_F(NodeTestRun, ARunCancelledInItsSecondSliceStopsOnlyACoreNobodyElseWants) {
    struct Case {
        const char* what;
        bool runningBefore;
        bool connectionIntended;
        bool runningAfter;
    };
    const Case cases[] = {
        {"started by the run", false, false, false},
        {"started by the run, a connect on its way", false, true, true},
        {"running before the run", true, false, true},
    };
    for (const auto& c : cases) {
        if (c.runningBefore) runTask(loop, core.startCore(subscription, nodes, "smart"));
        std::optional<MihomoCore::ConnectionIntent> intent;
        if (c.connectionIntended) intent.emplace(core.intendToConnect());
        results.clear();
        asked.clear();
        std::optional<std::string> error;
        auto handle = spawn(run(error));
        loop.advance(1500ms);
        ASSERT_EQ(asked.size(), 9u) << c.what;
        handle.cancel();
        finish(handle);
        loop.advance(1s);
        EXPECT_EQ(error, "cancelled") << c.what;
        EXPECT_EQ(results.size(), 8u) << c.what << ": the ninth answer came after the cancellation";
        EXPECT_EQ(core.processRunning(), c.runningAfter) << c.what;
        auto stop = spawn(core.stopCore());
        finish(stop);
    }
}

TEST_F(NodeTestRun, ARunThatBeginsWhileTheCoreIsStoppingTestsThroughACoreOfItsOwnAndStopsIt) {
    // A core that takes its time to stop: the stop kills it after its grace.
    writeFileAtomically(dir.path() / "Resources" / "bin" / "micore",
                        "#!/bin/sh\ntrap '' TERM\nexec sleep 600\n", 0755);
    runTask(loop, core.startCore(subscription, nodes, "smart"));
    const pid_t stopping = childPid();
    std::vector<pid_t> answeredBy;
    http.routePrefix("GET", kProxies, [&](const ReceivedRequest&) {
        answeredBy.push_back(core.processRunning() ? childPid() : 0);
        return HttpResponse::json(200, R"({"delay":87})");
    });
    auto stop = spawn(core.stopCore());
    loop.runUntilIdle();
    ASSERT_TRUE(core.processRunning());
    std::optional<std::string> error;
    auto handle = spawn(run(error));
    finish(handle);
    finish(stop);
    EXPECT_EQ(error, std::nullopt);
    EXPECT_EQ(results.size(), 9u);
    ASSERT_EQ(answeredBy.size(), 9u);
    for (const pid_t pid : answeredBy) {
        EXPECT_NE(pid, stopping) << "a node was tested through the core being stopped";
        EXPECT_NE(pid, 0) << "a node was tested without a core";
    }
    EXPECT_FALSE(core.processRunning()) << "the core the run started is left running";
}

} // namespace
