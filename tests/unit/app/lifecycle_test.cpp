// Window and status menu, the update requested on the command line, the monitors, the
// termination gate.

#include "app/korvane_application.h"
#include "testing/fake_platform.h"
#include "testing/stand_in_panel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <korvane_deployment.h>

using namespace korvane;
using namespace std::chrono_literals;
using korvane::testing::ControllerHarness;
using korvane::testing::HttpResponse;
using korvane::testing::ReceivedRequest;
using korvane::testing::StandInPanel;

namespace {

constexpr const char* kUpdateScript = "document.getElementById('settingsModal').classList.remove('hidden'); "
                                      "document.getElementById('updateButton').click();";

std::vector<std::pair<std::string, std::string>> events(const ControllerHarness& h,
                                                        const std::string& prefix) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& line : h.fake.eventLog()) {
        const auto event = line.value("event", std::string());
        if (event.starts_with(prefix)) found.emplace_back(event, line.value("stage", std::string()));
    }
    return found;
}

TEST(WindowTest, ClosingHidesTheWindowAndTheMenuBringsItBack) {
    ControllerHarness h;
    auto& app = h.launchAndSettle();
    ASSERT_TRUE(h.window().visible);
    EXPECT_FALSE(app.windowShouldClose());
    EXPECT_FALSE(h.window().visible);

    const int fronts = h.window().fronts;
    const int activations = h.fake.application.activations;
    h.fake.windows.fireMenuItem("打开 Korvane");
    EXPECT_TRUE(h.window().visible);
    EXPECT_EQ(h.window().fronts, fronts + 1);
    EXPECT_EQ(h.fake.application.activations, activations + 1);
}

TEST(MenuTest, StatusMenuHasItsFourEntries) {
    ControllerHarness h;
    h.launchAndSettle();
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& item : h.fake.windows.statusItem.menu) {
        entries.emplace_back(item.title, item.keyEquivalent);
        EXPECT_EQ(static_cast<bool>(item.action), !item.title.empty()) << item.title;
    }
    EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::string>>{
                           {"打开 Korvane", ""}, {"连接 / 断开", ""}, {"", ""}, {"退出 Korvane", "q"}}));
}

TEST(MenuTest, ToggleWhileSignedOutAsksToSignInFirst) {
    ControllerHarness h;
    h.launchAndSettle();
    h.fake.windows.fireMenuItem("连接 / 断开");
    h.loop.runUntilIdle();
    ASSERT_EQ(h.fake.windows.alerts.size(), 1u);
    EXPECT_EQ(h.fake.windows.alerts[0].title, "连接操作失败");
    EXPECT_EQ(h.fake.windows.alerts[0].text, "请先登录并刷新节点");
}

TEST(MenuTest, QuitGoesThroughTheApplicationsTermination) {
    ControllerHarness h;
    auto& app = h.launchAndSettle();
    std::vector<KorvaneApplication::TerminateReply> gate;
    h.fake.application.onTerminationRequest = [&] { gate.push_back(app.applicationShouldTerminate()); };
    h.fake.windows.fireMenuItem("退出 Korvane");
    EXPECT_EQ(h.fake.application.terminationRequests, 1);
    EXPECT_EQ(gate, std::vector{KorvaneApplication::TerminateReply::Later});
}

class UpdateTriggerTest : public ::testing::Test {
protected:
    std::size_t updateScripts() const { return h.window().countScripts(kUpdateScript); }
    ControllerHarness h;
};

TEST_F(UpdateTriggerTest, ClicksUpdateOnceWhenPageAndLaunchAreBothDone) {
    h.fake.application.args = {"--check-update"};
    h.recordEvents();
    auto& app = h.launchAndSettle();
    h.loop.advance(3s);
    EXPECT_EQ(updateScripts(), 0u); // the page has not loaded yet

    app.didFinishNavigation();
    h.loop.advance(1400ms);
    EXPECT_EQ(updateScripts(), 0u);
    h.loop.advance(99ms);
    EXPECT_EQ(updateScripts(), 0u);
    h.loop.advance(1ms);
    ASSERT_EQ(updateScripts(), 1u);
    EXPECT_EQ(h.window().scripts.back(), kUpdateScript);
    EXPECT_EQ(events(h, "update_button"),
              (std::vector<std::pair<std::string, std::string>>{{"update_button_trigger", "webview"}}));

    // A reload (or any later page load) must not open the update again.
    app.didFinishNavigation();
    h.loop.advance(10s);
    EXPECT_EQ(updateScripts(), 1u);
}

TEST_F(UpdateTriggerTest, APageLoadedWhileTheLaunchTaskRunsWaitsForItsEnd) {
    h.fake.application.args = {"--check-update"};
    // The remote configuration answers after 2 s, so the launch task is still running when
    // the page has loaded.
    HttpResponse late = HttpResponse::json(200, "{}");
    late.delay = 2s;
    h.http.route("GET", deployment::kRemoteConfigurationSources[0], late);
    auto& app = h.launch();
    app.didFinishNavigation(); // before the launch task has had a turn
    h.loop.advance(1999ms);
    ASSERT_FALSE(app.launchTask().done());
    EXPECT_EQ(updateScripts(), 0u);
    ASSERT_TRUE(h.settle());
    h.loop.advance(10s);

    // The launch task ends with the last state push before the update.
    const auto& scripts = h.window().scripts;
    std::optional<MonotonicTime> launchEnded, updated;
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        if (scripts[i].starts_with("window.__korvaneState(") && !updated)
            launchEnded = h.window().scriptTimes[i];
        if (scripts[i] == kUpdateScript) updated = h.window().scriptTimes[i];
    }
    ASSERT_TRUE(launchEnded && updated);
    EXPECT_EQ(*updated - *launchEnded, 1500ms);
    EXPECT_EQ(updateScripts(), 1u);
}

TEST_F(UpdateTriggerTest, NothingHappensWithoutTheExactArgument) {
    h.fake.application.args = {"--check-update=1", "check-update", "--Check-Update", "-check-update"};
    auto& app = h.launchAndSettle();
    app.didFinishNavigation();
    h.loop.advance(10s);
    EXPECT_EQ(h.window().countScripts("updateButton"), 0u);
}

TEST(MonitorTest, HealthTimerRunsEveryEightSecondsUntilTheControllerGoes) {
    ControllerHarness h;
    h.launchAndSettle();
    const auto launchedAt = h.loop.now();
    h.loop.advance(24s);
    std::vector<Duration> armed;
    for (const auto& timer : h.executor.timers) {
        if (timer.delay == 8s)
            armed.push_back(std::chrono::duration_cast<Duration>(timer.armedAt - launchedAt));
    }
    EXPECT_EQ(armed, (std::vector<Duration>{0s, 8s, 16s, 24s}));

    const auto before = h.executor.timers.size();
    h.destroyController(); // runs an hour of virtual time
    EXPECT_EQ(h.executor.timers.size(), before);
}

TEST(LifecycleTest, DestroyingTheControllerWithWorkInFlightLeavesNothingBehind) {
    ControllerHarness h;
    StandInPanel panel{h.http, deployment::kApi};
    h.fake.application.args = {"--check-update"};
    h.launchAndSettle();
    auto& app = h.app();
    app.didFinishNavigation(); // the update button is pressed 1.5 s later
    // Every kind of task the controller starts, each caught in the middle of a wait: a sign-in
    // whose refresh waits for the panel, a wake waiting its 4 s, a health tick, a consented
    // quality upload, and the health timer itself.
    h.http.route("GET", std::string(deployment::kApi) + "/api/v1/user/getSubscribe",
                 [](const ReceivedRequest&) {
                     HttpResponse slow = HttpResponse::json(500, "{}");
                     slow.delay = std::chrono::minutes(5);
                     return slow;
                 });
    app.didReceiveScriptMessage(
        {{"id", "1"},
         {"action", "login"},
         {"arg", {{"email", panel.account().email}, {"password", panel.account().password}}}});
    app.didReceiveScriptMessage({{"id", "2"}, {"action", "setQualityConsent"}, {"arg", {{"enabled", true}}}});
    app.systemDidWake();
    app.healthTick();
    h.loop.runUntilIdle();
    const std::size_t scripts = h.window().scripts.size();

    h.controller.reset();
    h.loop.advance(std::chrono::hours(1));
    EXPECT_EQ(h.window().scripts.size(), scripts) << "nothing of the controller ran after it was gone";
}

TEST(MonitorTest, WakeIsRecordedAsANetworkCheck) {
    ControllerHarness h;
    h.recordEvents();
    h.launchAndSettle();
    h.app().systemDidWake();
    h.loop.runUntilIdle();
    EXPECT_EQ(events(h, "system_wake"),
              (std::vector<std::pair<std::string, std::string>>{{"system_wake", "network_check"}}));
}

TEST(TerminationTest, GateDefersUntilTheProxyIsRestoredAndAnswersOnce) {
    using Reply = KorvaneApplication::TerminateReply;
    ControllerHarness h;
    h.recordEvents();
    auto& app = h.launchAndSettle();

    EXPECT_EQ(app.applicationShouldTerminate(), Reply::Later);
    EXPECT_TRUE(app.exiting());
    EXPECT_EQ(app.applicationShouldTerminate(), Reply::Later); // asked again while exiting
    EXPECT_TRUE(h.fake.application.terminationReplies.empty());

    h.loop.runUntilIdle();
    EXPECT_EQ(h.fake.application.terminationReplies, std::vector<bool>{true});
    EXPECT_EQ(app.applicationShouldTerminate(), Reply::Later);
    h.loop.advance(10s);
    EXPECT_EQ(h.fake.application.terminationReplies, std::vector<bool>{true});

    EXPECT_EQ(events(h, "app_terminate"),
              (std::vector<std::pair<std::string, std::string>>{{"app_terminate_request", "normal"},
                                                                {"app_terminate_request", "normal"},
                                                                {"app_terminate_request", "normal"}}));
    EXPECT_EQ(events(h, "proxy_restore"),
              (std::vector<std::pair<std::string, std::string>>{{"proxy_restore_success", "normal_exit"}}));
}

TEST(TerminationTest, WithoutApplicationSupportLaunchStopsAndQuittingIsImmediate) {
    ControllerHarness h;
    h.fake.directories.hasHome = false;
    auto& app = h.launchAndSettle();
    EXPECT_EQ(h.fake.application.logLines,
              std::vector<std::string>{"Korvane cannot start: no Application Support directory"});
    EXPECT_FALSE(h.window().created);
    EXPECT_EQ(app.applicationShouldTerminate(), KorvaneApplication::TerminateReply::Now);
    EXPECT_TRUE(h.fake.application.terminationReplies.empty());
}

} // namespace
