// The page contract: which messages are answered and how, what reaches the page as script,
// which resources the window loads, where navigations may go, and the confirm dialog.

#include "app/korvane_application.h"
#include "base/url.h"
#include "testing/fake_platform.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace korvane;
using korvane::testing::ControllerHarness;

namespace {

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override { h.launchAndSettle(); }

    void send(const Json& body) {
        h.app().didReceiveScriptMessage(body);
        h.loop.runUntilIdle();
    }

    ControllerHarness h;
};

TEST_F(BridgeTest, MalformedMessagesAreNotAnswered) {
    const std::vector<Json> bodies = {
        Json::array({"1", "bootstrap"}),
        "bootstrap",
        nullptr,
        {{"id", 1}, {"action", "bootstrap"}},
        {{"action", "bootstrap"}},
        {{"id", "1"}},
        {{"id", "1"}, {"action", 5}},
        {{"id", "1"}, {"action", nullptr}},
    };
    for (const auto& body : bodies)
        send(body);
    EXPECT_TRUE(h.window().replies().empty());

    // The same channel does answer a well-formed message.
    send({{"id", "ok"}, {"action", "bootstrap"}});
    ASSERT_EQ(h.window().replies().size(), 1u);
    EXPECT_EQ(h.window().replies()[0].id, "ok");
}

TEST_F(BridgeTest, AnArgumentThatIsNotAnObjectCountsAsEmpty) {
    const std::vector<std::optional<Json>> arguments = {
        std::nullopt, Json::object(), Json(5), Json("x"), Json::array({"email", "user@example.com"}),
        Json(nullptr)};
    for (const auto& argument : arguments) {
        for (const char* action : {"bootstrap", "login"}) {
            Json body = {{"id", action}, {"action", action}};
            if (argument) body["arg"] = *argument;
            send(body);
        }
    }
    const auto replies = h.window().replies();
    ASSERT_EQ(replies.size(), 2 * arguments.size());
    for (std::size_t i = 0; i < replies.size(); i += 2) {
        SCOPED_TRACE(arguments[i / 2] ? arguments[i / 2]->dump() : "(absent)");
        EXPECT_EQ(replies[i].id, "bootstrap");
        EXPECT_EQ(replies[i].value, h.app().state());
        EXPECT_TRUE(replies[i].error.is_null());
        // Refused before any request is made, as for an empty form.
        EXPECT_EQ(replies[i + 1].id, "login");
        EXPECT_TRUE(replies[i + 1].value.is_null());
        EXPECT_EQ(replies[i + 1].error, "请输入邮箱和密码");
    }
}

TEST_F(BridgeTest, UnknownActionIsAnsweredWithAnErrorInTheReplyForm) {
    send({{"id", "7"}, {"action", "connectNode"}, {"arg", {{"name", "香港 01"}}}});
    ASSERT_FALSE(h.window().scripts.empty());
    EXPECT_EQ(h.window().scripts.back(),
              R"(window.__korvaneResolve(...["7",null,"未知操作：connectNode"]);)");

    h.app().reply("id", Json(5), std::nullopt);
    EXPECT_EQ(h.window().scripts.back(), R"(window.__korvaneResolve(...["id",5,null]);)");
}

TEST(BridgeScriptTest, ClosingTagsInDataCannotEndTheScript) {
    const std::string hostile = "日本</script><script>alert(1)</script>";
    ControllerHarness h;
    h.fake.plantNodeCache(Json::array({{{"name", hostile}, {"type", "SS"}, {"host", "h"}, {"port", 1}}}));
    auto& app = h.launchAndSettle();
    app.didReceiveScriptMessage({{"id", "1"}, {"action", "bootstrap"}});
    app.didReceiveScriptMessage({{"id", "2"}, {"action", hostile}});
    h.loop.runUntilIdle();

    ASSERT_EQ(h.window().scripts.size(), 3u);
    for (const auto& script : h.window().scripts) {
        EXPECT_EQ(script.find("</"), std::string::npos) << script;
        EXPECT_NE(script.find("<\\/script>"), std::string::npos) << script;
    }
    EXPECT_EQ(h.window().lastState()["nodes"][0]["name"], hostile);
    const auto replies = h.window().replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].value["nodes"][0]["name"], hostile);
    EXPECT_EQ(replies[1].error, "未知操作：" + hostile);
}

TEST_F(BridgeTest, PageLoadMarksTheUiReadyAndPushesTheState) {
    EXPECT_FALSE(h.app().uiReady());
    ASSERT_EQ(h.window().states().size(), 1u);
    h.app().didFinishNavigation();
    EXPECT_TRUE(h.app().uiReady());
    EXPECT_EQ(h.window().states().size(), 2u);
}

TEST(PageResourcesTest, ThePageIsLoadedFromTheBundleWithReadAccessToItsFolder) {
    ControllerHarness h;
    h.launchAndSettle();
    const auto ui = h.fake.bundle.resourcesDirectory() / "UI";
    EXPECT_EQ(h.window().loadedUrl, fileURL((ui / "index.html").string()));
    EXPECT_EQ(h.window().readAccessDirectory, ui.string());
    EXPECT_TRUE(h.fake.windows.alerts.empty());
    EXPECT_TRUE(h.window().visible);
}

TEST(PageResourcesTest, AMissingPageIsReportedAndTheWindowStillShows) {
    ControllerHarness h;
    h.fake.bundle.removeResource("UI/index.html");
    h.launchAndSettle();
    ASSERT_EQ(h.fake.windows.alerts.size(), 1u);
    EXPECT_EQ(h.fake.windows.alerts[0].title, "安装包不完整");
    EXPECT_EQ(h.fake.windows.alerts[0].text, "找不到 Korvane UI 页面");
    EXPECT_FALSE(h.window().loadedUrl);
    EXPECT_TRUE(h.window().visible);
    EXPECT_TRUE(h.fake.windows.statusItem.created);
}

TEST(PageResourcesTest, BridgeScriptIsInjectedOnlyWhenPresentAndValidUtf8) {
    const std::string valid = "window.korvane = {label: '桥'};\n";
    struct Case {
        std::optional<std::string> file;
        std::vector<std::string> injected;
    };
    const std::vector<Case> cases = {
        {valid, {valid}},
        {std::nullopt, {}},
        {"window.korvane = '\xff';\n", {}},
        {"\xed\xa0\x80", {}}, // an encoded surrogate
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ControllerHarness h;
        h.fake.bundle.removeResource("UI/bridge.js");
        if (cases[i].file) h.fake.bundle.writeResource("UI/bridge.js", *cases[i].file);
        h.launchAndSettle();
        EXPECT_EQ(h.window().userScripts, cases[i].injected);
        EXPECT_TRUE(h.window().loadedUrl); // the page loads either way
    }
}

TEST_F(BridgeTest, NavigationsStayInTheBundleAndOnlyHttpsLeavesForTheBrowser) {
    struct Case {
        std::optional<std::string> url;
        NavigationDecision decision;
    };
    const std::vector<Case> cases = {
        {std::nullopt, NavigationDecision::Allow},
        {"file:///Applications/Korvane.app/Contents/Resources/UI/index.html", NavigationDecision::Allow},
        {"about:blank", NavigationDecision::Allow},
        {"https://example.com/plan?id=3", NavigationDecision::Cancel},
        {"http://example.com/", NavigationDecision::Cancel},
        {"HTTPS://example.com/", NavigationDecision::Cancel},
        {"javascript:alert(1)", NavigationDecision::Cancel},
        {"mailto:support@example.com", NavigationDecision::Cancel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.value_or("(no URL)"));
        EXPECT_EQ(h.app().decidePolicy(c.url), c.decision);
    }
    EXPECT_EQ(h.fake.workspace.openedURLs, std::vector<std::string>{"https://example.com/plan?id=3"});
}

TEST_F(BridgeTest, ConfirmIsTrueOnlyForTheFirstButton) {
    h.fake.windows.alertAnswers = {0, 1};
    std::vector<bool> answers;
    for (int i = 0; i < 2; ++i)
        h.app().runConfirmPanel("确定要退出登录吗？", [&](bool ok) { answers.push_back(ok); });
    EXPECT_EQ(answers, (std::vector<bool>{true, false}));
    ASSERT_EQ(h.fake.windows.alerts.size(), 2u);
    for (const auto& alert : h.fake.windows.alerts) {
        EXPECT_EQ(alert.title, "Korvane");
        EXPECT_EQ(alert.text, "确定要退出登录吗？");
        EXPECT_EQ(alert.buttons, (std::vector<std::string>{"继续", "取消"}));
    }
}

} // namespace
