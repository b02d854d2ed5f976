// The account actions and the refresh flows against a stand-in panel on the deployment's
// panel port, with virtual time for the throttles.

#include "app/korvane_application.h"
#include "base/errors.h"
#include "panel/http.h"
#include "testing/async_test.h"
#include "testing/fake_platform.h"
#include "testing/stand_in_panel.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <korvane_deployment.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kPanelPort = 18444;
constexpr const char* kProfile = "/api/v1/user/getSubscribe";

class AccountActionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }

    void SetUp() override {
        h.recordEvents();
        h.launchAndSettle();
    }

    Json act(const std::string& action, const Json& args = Json::object()) {
        return runTask(h.loop, app().dispatch(action, args));
    }
    std::string failureOf(const std::string& action, const Json& args = Json::object()) {
        return errorOf(h.loop, app().dispatch(action, args));
    }
    Json signIn(const Json& extra = Json::object()) {
        Json args = {{"email", panel.account().email}, {"password", panel.account().password}};
        args.update(extra);
        return act("login", args);
    }
    std::size_t profileRequests() { return panel.server().count("GET", kProfile); }
    // Lets a request started by a timer or an activation reach the panel and come back.
    void settleRequests(std::size_t expected) {
        ASSERT_TRUE(h.loop.runUntil([&] { return profileRequests() >= expected; }, 5s));
        h.loop.runUntil([] { return false; }, 200ms);
    }

    KorvaneApplication& app() { return h.app(); }

    StandInPanel panel{kPanelPort};
    ControllerHarness h;
};

TEST_F(AccountActionsTest, InputIsCheckedBeforeAnythingIsSent) {
    const std::string longAddress = std::string(243, 'a') + "@example.com"; // 255 characters
    // 254 user-perceived characters, each an "e" with a combining accent.
    std::string accented;
    for (int i = 0; i < 242; ++i)
        accented += "e\u0301";
    accented += "@example.com";
    struct Case {
        const char* action;
        Json args;
        std::string message;
    };
    const Case cases[] = {
        {"sendLoginCode", {{"email", "no-at-sign"}}, "请输入正确的邮箱地址"},
        {"sendLoginCode", {{"email", longAddress}}, "请输入正确的邮箱地址"},
        {"sendLoginCode", {{"email", 42}}, "请输入正确的邮箱地址"},
        {"sendResetCode", {{"email", "  "}}, "请输入正确的邮箱"},
        {"resetPassword",
         {{"email", longAddress}, {"code", "123456"}, {"password", "longenough"}},
         "请输入邮箱和 6 位验证码"},
        {"resetPassword",
         {{"email", "a@b.c"}, {"code", "12345"}, {"password", "longenough"}},
         "请输入邮箱和 6 位验证码"},
        {"resetPassword",
         {{"email", "a@b.c"}, {"code", "１２３４５６"}, {"password", "longenough"}},
         "请输入邮箱和 6 位验证码"},
        {"resetPassword",
         {{"email", "a@b.c"}, {"code", "123456"}, {"password", "seven77"}},
         "新密码至少 8 位"},
        {"loginWithCode", {{"email", "nobody"}, {"code", "123456"}}, "请输入邮箱和 6 位验证码"},
        {"loginWithCode", {{"email", "a@b.c"}, {"code", "123456\n"}}, "请输入邮箱和 6 位验证码"},
        {"login", {{"email", " \n"}, {"password", "x"}}, "请输入邮箱和密码"},
        {"login", {{"email", "a@b.c"}, {"password", ""}}, "请输入邮箱和密码"},
        {"refreshNodes", Json::object(), "请先登录"},
        {"frobnicate", Json::object(), "未知操作：frobnicate"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failureOf(c.action, c.args), c.message) << c.action << " " << c.args.dump();
    EXPECT_TRUE(panel.server().requests().empty());

    // Past the checks, the panel is asked (and its answers are the messages).
    EXPECT_EQ(act("sendLoginCode", {{"email", " \t" + panel.account().email + "\r\n"}}),
              Json({{"sent", true}}));
    EXPECT_EQ(Json::parse(panel.server().requests().back().body)["email"], panel.account().email);
    EXPECT_EQ(act("sendLoginCode", {{"email", accented}}), Json({{"sent", true}}));
    EXPECT_EQ(failureOf("loginWithCode", {{"email", longAddress}, {"code", "123456"}}), "验证码错误或已过期");
    EXPECT_EQ(failureOf("login", {{"email", "no-at-sign"}, {"password", "x"}}), "邮箱或密码错误");
}

TEST_F(AccountActionsTest, PasswordResetKeepsTheAddressForTheNextSignIn) {
    EXPECT_EQ(act("resetPassword",
                  {{"email", " a@b.c "}, {"code", panel.account().code}, {"password", "newpassword"}}),
              Json({{"reset", true}}));
    EXPECT_EQ(Json::parse(panel.server().requests().back().body),
              Json({{"email", "a@b.c"}, {"email_code", panel.account().code}, {"password", "newpassword"}}));
    EXPECT_EQ(h.fake.defaults.getString("email"), "a@b.c");
    EXPECT_EQ(app().state()["email"], "") << "the field itself is not changed";
}

TEST_F(AccountActionsTest, SignInStoresTheSessionAndSettings) {
    const Json state = signIn();
    EXPECT_TRUE(state["loggedIn"]);
    EXPECT_EQ(state["nodes"].size(), 4u);
    EXPECT_EQ(h.fake.defaults.getBool("remember"), true);
    EXPECT_EQ(h.fake.defaults.getString("email"), panel.account().email);
    EXPECT_EQ(h.window().lastState(), state);
    bool reported = false;
    for (const auto& line : h.fake.eventLog())
        reported = reported || line["event"] == "dashboard_load_success";
    EXPECT_TRUE(reported);
}

TEST_F(AccountActionsTest, AFailedRefreshAfterSignInPutsThePreviousStateBack) {
    panel.server().route("GET", kProfile, HttpResponse::json(500, "<html>"));
    EXPECT_EQ(failureOf("login", {{"email", panel.account().email}, {"password", panel.account().password}}),
              "请求失败 HTTP 500");
    const Json state = app().state();
    EXPECT_FALSE(state["loggedIn"]);
    EXPECT_EQ(state["email"], "");
    EXPECT_FALSE(h.fake.defaults.contains("remember"));
}

TEST_F(AccountActionsTest, ConsentAndPageServices) {
    EXPECT_EQ(act("setQualityConsent")["qualityConsentAnswered"], true);
    EXPECT_EQ(h.fake.defaults.getBool("qualityEnabled"), false);
    EXPECT_EQ(act("setQualityConsent", {{"enabled", true}})["qualityEnabled"], true);
    bool reported = false;
    for (const auto& line : h.fake.eventLog())
        reported = reported || line["event"] == "telemetry_enabled";
    EXPECT_TRUE(reported);

    EXPECT_EQ(act("copySocks"), Json::object());
    EXPECT_EQ(h.fake.workspace.pasteboard.back(), "127.0.0.1:7897");
    act("openOfficial");
    act("openRenew");
    EXPECT_EQ(h.fake.workspace.openedURLs, (std::vector<std::string>{deployment::kSite, deployment::kApi}));
    act("openSupport");
    act("openSupport");
    ASSERT_EQ(h.fake.windows.supportWindows.size(), 1u) << "one support window, brought to the front again";
    EXPECT_EQ(h.fake.windows.supportWindows[0].title, "Korvane 在线客服");
    EXPECT_EQ(h.fake.windows.supportWindows[0].width, 440);
    EXPECT_EQ(h.fake.windows.supportWindows[0].height, 670);
    EXPECT_EQ(h.fake.windows.supportWindowLoads, (std::vector<std::string>{deployment::kSupport}));
    EXPECT_EQ(h.fake.windows.supportWindowFronts, 2);
}

TEST_F(AccountActionsTest, ActivationThrottleAndFailureBackOff) {
    signIn();
    const std::size_t afterSignIn = profileRequests();
    h.loop.advance(29s);
    app().applicationDidBecomeActive();
    h.loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(profileRequests(), afterSignIn) << "29 s after the last attempt";
    h.loop.advance(1s);
    app().applicationDidBecomeActive();
    settleRequests(afterSignIn + 1);

    // A failure backs off to 1800 s, for the timer and for activation alike.
    panel.server().route("GET", kProfile, HttpResponse::json(502, "{}"));
    h.loop.advance(30s);
    app().applicationDidBecomeActive();
    settleRequests(afterSignIn + 2);
    EXPECT_TRUE(h.window().lastState()["accountRefreshFailed"]);
    h.loop.advance(1799s);
    app().applicationDidBecomeActive();
    h.loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(profileRequests(), afterSignIn + 2);
    h.loop.advance(1s);
    app().applicationDidBecomeActive();
    settleRequests(afterSignIn + 3);
    bool recorded = false;
    for (const auto& line : h.fake.eventLog()) {
        recorded = recorded ||
                   (line["event"] == "account_summary_refresh_failure" && line["reason"] == "request_failed");
    }
    EXPECT_TRUE(recorded);
}

TEST_F(AccountActionsTest, ASummaryArrivingAfterSignOutIsDropped) {
    signIn();
    std::atomic<bool> asked{false};
    panel.server().route("GET", kProfile, [&asked](const HttpRequest&) {
        asked = true;
        HttpResponse late = HttpResponse::json(
            200, Json{{"status", "success"}, {"data", {{"plan_id", 9}, {"transfer_enable", 1}}}}.dump());
        late.delay = 500ms;
        return late;
    });
    h.loop.advance(30s);
    app().applicationDidBecomeActive();
    h.loop.runUntilIdle();
    // The panel holds the answer back; the loop is not run while waiting for the request.
    for (int i = 0; i < 5000 && !asked; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(asked);
    EXPECT_FALSE(act("logout")["loggedIn"]);
    const std::size_t pushes = h.window().states().size();
    h.loop.runUntil([] { return false; }, 1000ms); // the answer comes back meanwhile
    EXPECT_EQ(h.window().states().size(), pushes) << "the late answer pushes nothing";
    EXPECT_TRUE(app().state()["accountOverview"].is_null());
}

TEST_F(AccountActionsTest, RefreshDropsAVanishedSelectionAndKeepsNodesWhenTheDownloadFails) {
    h.fake.defaults.setString("selectedNode", "香港 01");
    signIn();
    panel.setSubscription("proxies:\n  - {name: 台湾 09, type: ss, server: tw.example, port: 443}\n");
    Json state = act("refreshNodes");
    EXPECT_EQ(state["selectedNode"], "");
    EXPECT_FALSE(h.fake.defaults.contains("selectedNode"));
    ASSERT_EQ(state["nodes"].size(), 1u);

    Json profile = {
        {"email", panel.account().email}, {"token", panel.account().token}, {"transfer_enable", 42}};
    panel.setProfile(profile);
    panel.server().route("GET", "/s/demo%20subscription", HttpResponse::text(500, "down"));
    EXPECT_EQ(failureOf("refreshNodes"), "请求失败 HTTP 500");
    state = app().state();
    EXPECT_EQ(state["nodes"].size(), 1u) << "the previous list stays";
    EXPECT_EQ(state["accountOverview"]["totalBytes"], 42.0) << "the overview was already replaced";
}

TEST_F(AccountActionsTest, ModeChangeAndSignOut) {
    EXPECT_EQ(act("setMode", {{"mode", "GLOBAL"}})["routingMode"], "smart");
    EXPECT_EQ(act("setMode", {{"mode", "global"}})["routingMode"], "global");
    EXPECT_EQ(h.fake.defaults.getString("mode"), "global");

    signIn({{"remember", false}});
    EXPECT_EQ(h.fake.defaults.getBool("remember"), false);
    const Json state = act("logout");
    EXPECT_FALSE(state["loggedIn"]);
    EXPECT_EQ(state["nodes"], Json::array());
    EXPECT_FALSE(std::filesystem::exists(h.fake.supportDir() / "nodes.json"));
}

} // namespace
