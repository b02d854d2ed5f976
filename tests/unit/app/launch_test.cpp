// Launch: the one state push, the state document, and how settings, bundle values and the
// node cache left by earlier runs turn into what the page is shown.

#include "app/korvane_application.h"
#include "testing/fake_platform.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace korvane;
using korvane::testing::ControllerHarness;

namespace {

Json node(Json name, Json type = "SS", Json host = "edge.example.net", Json port = 443) {
    return Json{{"name", std::move(name)},
                {"type", std::move(type)},
                {"host", std::move(host)},
                {"port", std::move(port)}};
}

// The JSON kind as the page tells values apart: whole numbers, signed or not, are one kind,
// and distinct from 7897.0.
std::string kind(const Json& value) {
    if (value.is_number_integer()) return "integer";
    return value.type_name();
}

std::vector<std::string> nodeNames(const Json& state) {
    std::vector<std::string> names;
    for (const auto& entry : state.at("nodes"))
        names.push_back(entry.at("name").get<std::string>());
    return names;
}

TEST(LaunchTest, PushesExactlyOneStateWhenTheLaunchTaskEnds) {
    ControllerHarness h;
    auto& app = h.launch();
    EXPECT_FALSE(app.startupReady());
    EXPECT_TRUE(h.window().states().empty());

    ASSERT_TRUE(h.settle());
    EXPECT_TRUE(app.launchTask().done());
    EXPECT_TRUE(app.startupReady());
    EXPECT_EQ(h.window().states().size(), 1u);

    h.loop.advance(std::chrono::seconds{5});
    EXPECT_EQ(h.window().states().size(), 1u);
}

TEST(LaunchTest, StateDocumentOfAFreshInstall) {
    ControllerHarness h;
    h.launchAndSettle();
    const Json expected = {
        {"version", "1.0.0"},
        {"build", 100},
        {"loggedIn", false},
        {"accountOverview", nullptr},
        {"accountRefreshFailed", false},
        {"email", ""},
        {"nodes", Json::array()},
        {"selectedNode", ""},
        {"routingMode", "smart"},
        {"connected", false},
        {"socksHost", "127.0.0.1"},
        {"socksPort", 7897},
        {"socksReady", false},
        {"rememberCredentials", true},
        {"rememberedPassword", ""},
        {"proxyHelperInstalled", false},
        {"qualityEnabled", false},
        {"qualityConsentAnswered", false},
    };
    ASSERT_EQ(expected.size(), 18u);
    const Json state = h.window().lastState();
    EXPECT_EQ(state, expected);
    // JSON equality ignores the number kind; the page does not (7897.0 is not a port).
    for (const auto& [key, value] : expected.items())
        EXPECT_EQ(kind(state.at(key)), kind(value)) << key;
}

TEST(LaunchTest, ProxyHelperInstalledFollowsItsLaunchDaemon) {
    ControllerHarness h;
    h.fake.writeSystemFile("/Library/LaunchDaemons/art.korvane.proxyhelper.plist", "<plist/>");
    h.launchAndSettle();
    EXPECT_EQ(h.window().lastState()["proxyHelperInstalled"], true);
}

struct SettingCase {
    const char* key;
    std::optional<Json> planted;
    const char* member;
    Json expected;
};

TEST(SettingsTest, PlantedValuesReachTheStateOnlyInTheirExactForm) {
    const std::vector<SettingCase> cases = {
        {"mode", Json("global"), "routingMode", "global"},
        {"mode", Json("Global"), "routingMode", "smart"},
        {"mode", Json(" global"), "routingMode", "smart"},
        {"mode", Json(true), "routingMode", "smart"},
        {"mode", std::nullopt, "routingMode", "smart"},
        {"email", Json("user@example.com"), "email", "user@example.com"},
        {"email", Json(42), "email", ""},
        {"email", Json::array({"user@example.com"}), "email", ""},
        {"selectedNode", Json("香港 01"), "selectedNode", "香港 01"},
        {"selectedNode", Json(false), "selectedNode", ""},
        {"remember", std::nullopt, "rememberCredentials", true},
        {"remember", Json(false), "rememberCredentials", false},
        {"remember", Json(true), "rememberCredentials", true},
        {"remember", Json("false"), "rememberCredentials", true},
        {"remember", Json(0), "rememberCredentials", true},
        {"qualityEnabled", Json(true), "qualityEnabled", true},
        {"qualityEnabled", Json("true"), "qualityEnabled", false},
        {"qualityEnabled", Json(1), "qualityEnabled", false},
        {"qualityEnabled", std::nullopt, "qualityEnabled", false},
        {"qualityConsentAnswered", Json(true), "qualityConsentAnswered", true},
        {"qualityConsentAnswered", Json(false), "qualityConsentAnswered", true},
        {"qualityConsentAnswered", Json("no"), "qualityConsentAnswered", true},
        {"qualityConsentAnswered", std::nullopt, "qualityConsentAnswered", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + (c.planted ? c.planted->dump() : "(absent)"));
        ControllerHarness h;
        if (c.planted) h.fake.defaults.setRaw(c.key, *c.planted);
        h.launchAndSettle();
        const Json state = h.window().lastState();
        EXPECT_EQ(state.at(c.member), c.expected);
        EXPECT_EQ(kind(state.at(c.member)), kind(c.expected));
    }
}

TEST(SettingsTest, VersionAndBuildComeFromTheBundle) {
    struct Case {
        const char* key;
        std::optional<std::string> value;
        Json expected;
    };
    const std::vector<Case> cases = {
        {"CFBundleShortVersionString", "2.4.1", "2.4.1"},
        {"CFBundleShortVersionString", std::nullopt, "0.0.0"},
        {"CFBundleVersion", "241", 241},
        {"CFBundleVersion", "+12", 12},
        {"CFBundleVersion", "-3", -3},
        {"CFBundleVersion", "12a", 0},
        {"CFBundleVersion", "", 0},
        {"CFBundleVersion", " 12", 0},
        {"CFBundleVersion", "1.0", 0},
        {"CFBundleVersion", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value.value_or("(missing)"));
        ControllerHarness h;
        h.fake.bundle.info.erase(c.key);
        if (c.value) h.fake.bundle.info[c.key] = *c.value;
        auto& app = h.launchAndSettle();
        const bool isVersion = std::string(c.key) == "CFBundleShortVersionString";
        const Json shown = h.window().lastState().at(isVersion ? "version" : "build");
        EXPECT_EQ(shown, c.expected);
        EXPECT_EQ(kind(shown), kind(c.expected));
        if (isVersion) {
            EXPECT_EQ(app.appVersion(), c.expected.get<std::string>());
        } else {
            EXPECT_EQ(app.appBuild(), c.expected.get<std::int64_t>());
        }
    }
}

TEST(NodeCacheTest, CachedNodesAppearInFileOrderWithTheirFourFields) {
    ControllerHarness h;
    Json planted = Json::array({node("日本 03", "VMESS", "jp3.example.net", 8443), node("香港 01"),
                                node("美国 02", "TROJAN", "us2.example.net", 443)});
    Json withExtras = planted;
    withExtras[0]["udp"] = true;
    withExtras[1]["available"] = false;
    h.fake.plantNodeCache(withExtras);
    h.launchAndSettle();
    // No "available" key: nothing has been tested in this run, and a stale verdict from the
    // file must not be shown as current.
    EXPECT_EQ(h.window().lastState()["nodes"], planted);
}

TEST(NodeCacheTest, NodesNeedAReadableSubscriptionBesideThem) {
    // Missing, then not UTF-8 (a stray byte, an overlong "/").
    const std::vector<std::optional<std::string>> subscriptions = {std::nullopt, "proxies:\n  - \xff\n",
                                                                   "\xc0\xaf"};
    for (std::size_t i = 0; i < subscriptions.size(); ++i) {
        const auto& subscription = subscriptions[i];
        SCOPED_TRACE(i);
        ControllerHarness h;
        h.fake.writeSupportFile("nodes.json", Json::array({node("香港 01")}).dump());
        if (subscription) h.fake.writeSupportFile("subscription.yaml", *subscription);
        h.launchAndSettle();
        EXPECT_EQ(h.window().lastState()["nodes"], Json::array());
    }
}

TEST(NodeCacheTest, EntriesThatAreNotUsableServersAreLeftOut) {
    ControllerHarness h;
    Json missingPort = node("no port");
    missingPort.erase("port");
    h.fake.plantNodeCache(Json::array({
        node("  香港 01 "),
        node(7),
        node("type null", nullptr),
        node("host number", "SS", 5),
        node("float port", "SS", "h.example.net", 443.0),
        node("string port", "SS", "h.example.net", "443"),
        node("port zero", "SS", "h.example.net", 0),
        node("port too big", "SS", "h.example.net", 65536),
        node("negative port", "SS", "h.example.net", -443),
        missingPort,
        node("empty host", "SS", ""),
        node("剩余流量：100 GB"),
        node("套餐到期：2025-01-01"),
        node("官网 www.example.com"),
        node(" \t "),
        node("lowest port", "SS", "h.example.net", 1),
        node("highest port", "SS", "h.example.net", 65535),
    }));
    h.launchAndSettle();
    EXPECT_EQ(nodeNames(h.window().lastState()),
              (std::vector<std::string>{"  香港 01 ", "lowest port", "highest port"}));
}

TEST(NodeCacheTest, AFileThatIsNotAListOfObjectsGivesNoNodes) {
    const std::vector<std::string> files = {
        R"({"name":"香港 01","type":"SS","host":"h","port":1})",
        R"("nodes")",
        R"([{"name":"香港 01","type":"SS","host":"h","port":1},)",
        Json::array({node("香港 01"), 1}).dump(),
        Json::array({node("香港 01"), nullptr}).dump(),
        Json::array({node("香港 01"), Json::array({node("日本 02")})}).dump(),
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        ControllerHarness h;
        h.fake.writeSupportFile("subscription.yaml", "proxies: []\n");
        h.fake.writeSupportFile("nodes.json", file);
        h.launchAndSettle();
        EXPECT_EQ(h.window().lastState()["nodes"], Json::array());
    }
}

} // namespace
