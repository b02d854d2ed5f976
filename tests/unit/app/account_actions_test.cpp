// The account actions and the refresh flows against a stand-in panel at the deployment's
// panel address, with virtual time for the throttles.

#include "app/korvane_application.h"
#include "base/errors.h"
#include "testing/async_test.h"
#include "testing/fake_platform.h"
#include "testing/stand_in_panel.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <korvane_deployment.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

const std::string kProfile = std::string(deployment::kApi) + "/api/v1/user/getSubscribe";

class AccountActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.recordEvents();
        h.launchAndSettle();
    }
    // The panel's handlers must not outlive it.
    void TearDown() override { h.destroyController(); }

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
    std::size_t profileRequests() { return h.http.count("GET", kProfile); }
    std::size_t panelRequests() {
        const auto& all = h.http.requests();
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [this](const HttpRequest& r) {
            return r.url.starts_with(panel.baseUrl());
        }));
    }
    Json lastBody() { return Json::parse(h.http.requests().back().body.value_or("")); }

    KorvaneApplication& app() { return h.app(); }

    ControllerHarness h;
    StandInPanel panel{h.http, deployment::kApi};
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
    EXPECT_EQ(panelRequests(), 0u);

    // Past the checks, the panel is asked (and its answers are the messages).
    EXPECT_EQ(act("sendLoginCode", {{"email", " \t" + panel.account().email + "\r\n"}}),
              Json({{"sent", true}}));
    EXPECT_EQ(lastBody()["email"], panel.account().email);
    EXPECT_EQ(act("sendLoginCode", {{"email", accented}}), Json({{"sent", true}}));
    EXPECT_EQ(failureOf("loginWithCode", {{"email", longAddress}, {"code", "123456"}}), "验证码错误或已过期");
    EXPECT_EQ(failureOf("login", {{"email", "no-at-sign"}, {"password", "x"}}), "邮箱或密码错误");
}

TEST_F(AccountActionsTest, PasswordResetKeepsTheAddressForTheNextSignIn) {
    EXPECT_EQ(act("resetPassword",
                  {{"email", " a@b.c "}, {"code", panel.account().code}, {"password", "newpassword"}}),
              Json({{"reset", true}}));
    EXPECT_EQ(lastBody(),
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
    h.http.route("GET", kProfile, HttpResponse::json(500, "<html>"));
    EXPECT_EQ(failureOf("login", {{"email", panel.account().email}, {"password", panel.account().password}}),
              "请求失败 HTTP 500");
    const Json state = app().state();
    EXPECT_FALSE(state["loggedIn"]);
    EXPECT_EQ(state["email"], "");
    EXPECT_FALSE(h.fake.defaults.contains("remember"));
}

TEST_F(AccountActionsTest, TwoSignInsAtOnceTheLaterWinsAndAFailureUndoesOnlyItsOwnChange) {
    // A code sign-in whose refresh fails slowly, and meanwhile a password sign-in that succeeds.
    h.http.route("POST", std::string(deployment::kApi) + "/api/v1/korvane-auth/code/verify",
                 HttpResponse::json(200, R"({"status":"success","data":{"auth_data":"Bearer slow"}})"));
    h.http.route("GET", kProfile, [this](const ReceivedRequest& request) {
        if (request.header("authorization") == "Bearer slow") {
            HttpResponse failing = HttpResponse::json(500, "{}");
            failing.delay = 5s;
            return failing;
        }
        Json profile = {{"email", panel.account().email},
                        {"transfer_enable", 1000},
                        {"u", 1},
                        {"d", 1},
                        {"subscribe_url", panel.baseUrl() + "/s/demo%20subscription"}};
        return HttpResponse::json(200, Json{{"data", profile}}.dump());
    });
    auto slow = spawn([this]() -> Task<void> {
        Json args = {{"email", "slow@example.com"}, {"code", "123456"}};
        try {
            co_await app().dispatch("loginWithCode", args);
        } catch (const std::exception&) {
        }
    }());
    h.loop.runUntilIdle();
    const Json state = signIn();
    EXPECT_TRUE(state["loggedIn"]);
    h.loop.advance(6s);
    ASSERT_TRUE(slow.done());
    EXPECT_TRUE(app().state()["loggedIn"]) << "the failed sign-in must not sign the user out";
    EXPECT_EQ(app().state()["email"], panel.account().email);
    EXPECT_EQ(LocalSessionStore(h.fake.directories).read("auth"), panel.account().authData);
}

TEST_F(AccountActionsTest, ASignInWhoseSessionCannotBeStoredLeavesNothingOfTheNewAccount) {
    // A plain file where the private session folder belongs: the store refuses to write.
    std::filesystem::remove_all(h.fake.supportDir() / "PrivateSession");
    h.fake.writeSupportFile("PrivateSession", "not a folder");
    EXPECT_EQ(failureOf("login", {{"email", panel.account().email}, {"password", panel.account().password}}),
              "无法安全保存登录会话，请检查本机用户目录权限");
    const Json state = app().state();
    EXPECT_FALSE(state["loggedIn"]);
    EXPECT_EQ(state["nodes"], Json::array());
    EXPECT_FALSE(std::filesystem::exists(h.fake.supportDir() / "subscription.yaml"));
    EXPECT_FALSE(std::filesystem::exists(h.fake.supportDir() / "nodes.json"));
}

TEST_F(AccountActionsTest, ConsentAndPageServices) {
    EXPECT_EQ(act("setQualityConsent")["qualityConsentAnswered"], true);
    EXPECT_EQ(h.fake.defaults.getBool("qualityEnabled"), false);
    EXPECT_EQ(act("setQualityConsent", {{"enabled", true}})["qualityEnabled"], true);
    bool reported = false;
    for (const auto& line : h.fake.eventLog())
        reported = reported || line["event"] == "telemetry_enabled";
    EXPECT_TRUE(reported);
    // With consent the report is uploaded too, through the controller's client.
    h.loop.runUntilIdle();
    ASSERT_EQ(h.http.count("POST", deployment::kQualityEndpoint), 1u);
    const HttpRequest& upload = h.http.requests().back();
    EXPECT_EQ(Json::parse(upload.body.value_or(""))["event"], "telemetry_enabled");
    EXPECT_EQ(upload.headers, (HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_EQ(upload.timeoutSeconds, 4);

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
    // Each activation below runs its request to the end before the next line.
    const auto activate = [this] {
        app().applicationDidBecomeActive();
        h.loop.runUntilIdle();
    };
    h.loop.advance(29s);
    activate();
    EXPECT_EQ(profileRequests(), afterSignIn) << "29 s after the last attempt";
    h.loop.advance(1s);
    activate();
    EXPECT_EQ(profileRequests(), afterSignIn + 1);

    // A failure backs off to 1800 s, for the timer and for activation alike.
    h.http.route("GET", kProfile, HttpResponse::json(502, "{}"));
    h.loop.advance(30s);
    activate();
    EXPECT_EQ(profileRequests(), afterSignIn + 2);
    EXPECT_TRUE(h.window().lastState()["accountRefreshFailed"]);
    h.loop.advance(1799s);
    activate();
    EXPECT_EQ(profileRequests(), afterSignIn + 2);
    h.loop.advance(1s);
    activate();
    EXPECT_EQ(profileRequests(), afterSignIn + 3);
    bool recorded = false;
    for (const auto& line : h.fake.eventLog()) {
        recorded = recorded ||
                   (line["event"] == "account_summary_refresh_failure" && line["reason"] == "request_failed");
    }
    EXPECT_TRUE(recorded);
}

TEST_F(AccountActionsTest, ASummaryArrivingAfterSignOutIsDropped) {
    signIn();
    HttpResponse late = HttpResponse::json(
        200, Json{{"status", "success"}, {"data", {{"plan_id", 9}, {"transfer_enable", 1}}}}.dump());
    late.delay = 500ms;
    h.http.route("GET", kProfile, late);
    const std::size_t asked = profileRequests();
    h.loop.advance(30s);
    app().applicationDidBecomeActive();
    h.loop.runUntilIdle();
    ASSERT_EQ(profileRequests(), asked + 1);
    EXPECT_FALSE(act("logout")["loggedIn"]);
    const std::size_t pushes = h.window().states().size();
    h.loop.advance(1s); // the answer comes back meanwhile
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
    h.http.route("GET", panel.baseUrl() + "/s/demo%20subscription", HttpResponse::text(500, "down"));
    EXPECT_EQ(failureOf("refreshNodes"), "请求失败 HTTP 500");
    state = app().state();
    EXPECT_EQ(state["nodes"].size(), 1u) << "the previous list stays";
    EXPECT_EQ(state["accountOverview"]["totalBytes"], 42.0) << "the overview was already replaced";
}

TEST_F(AccountActionsTest, SignInsPulseOverThePhysicalPathAndSignOutForgetsTheThrottle) {
    NetworkPath path;
    path.satisfied = true;
    path.interfaces = {{"eth0", InterfaceType::Wired}};
    path.uses = {InterfaceType::Wired};
    path.addresses = {{"eth0", "192.0.2.2"}};
    app().networkPathChanged(path);
    const auto pulseStages = [this] {
        std::vector<std::string> stages;
        for (const auto& line : h.fake.eventLog())
            if (line["event"] == "whitelist_pulse_success") stages.push_back(line["stage"]);
        return stages;
    };
    signIn();
    h.loop.advance(1s);
    EXPECT_EQ(pulseStages(), std::vector<std::string>{"login"});
    ASSERT_EQ(h.pulses->posts.size(), 1u);
    EXPECT_EQ(h.pulses->posts[0].authorization, panel.account().authData);
    act("refreshNodes");
    h.loop.advance(1s);
    EXPECT_EQ(h.pulses->posts.size(), 1u) << "the same network within a minute";
    act("logout");
    signIn();
    h.loop.advance(1s);
    EXPECT_EQ(pulseStages(), (std::vector<std::string>{"login", "login"}));
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
