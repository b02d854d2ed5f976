// The real controller in the built bundle, driven through the headless shell's line protocol.

#include "base/files.h"
#include "base/json.h"
#include "base/url.h"
#include "testing/headless_session.h"
#include "testing/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <sys/stat.h>

using namespace korvane;
using namespace std::chrono_literals;
using korvane::testing::HeadlessSession;
using korvane::testing::TempDir;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

const fs::path kBundle = KORVANE_TEST_BUNDLE;

std::string utcToday() {
    const std::chrono::year_month_day date{
        std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

void plant(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    writeFileAtomically(file, text);
}

Json request(const std::string& id, const std::string& action) {
    return {{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", Json::object()}}}};
}

// What the shell did from event `from` on, without the scripts behind it: "window:show",
// "alert:<title>", "terminate:later", "ready", "state"...
std::vector<std::string> course(const HeadlessSession& session, std::size_t from = 0) {
    std::vector<std::string> steps;
    const auto& events = session.events();
    for (std::size_t i = from; i < events.size(); ++i) {
        const auto name = events[i]["event"].get<std::string>();
        if (name == "eval") continue;
        if (name == "window") {
            steps.push_back("window:" + events[i].value("action", std::string()));
        } else if (name == "alert") {
            steps.push_back("alert:" + events[i].value("title", std::string()));
        } else if (name == "terminate") {
            steps.push_back("terminate:" + events[i].value("reply", std::string()));
        } else {
            steps.push_back(name);
        }
    }
    return steps;
}

const Json kNodes = Json::array({
    {{"name", "香港 01"}, {"type", "VMESS"}, {"host", "hk.example.net"}, {"port", 443}},
    {{"name", "剩余流量：12 GB"}, {"type", "SS"}, {"host", "info.example.net"}, {"port", 1}},
    {{"name", "日本 </script> 02"}, {"type", "TROJAN"}, {"host", "jp.example.net"}, {"port", 8443}},
    {{"name", "美国 03"}, {"type", "SS"}, {"host", "10.0.0.3"}, {"port", 65535}},
});

class HeadlessShellTest : public ::testing::Test {
protected:
    fs::path support() const { return home_.path() / "Library" / "Application Support" / "Korvane"; }
    fs::path settingsFile() const {
        return home_.path() / "Library" / "Preferences" / "art.korvane.mac.native.json";
    }

    // A fresh home, an empty system root, and the bundle found from the executable's place.
    HeadlessSession::Options options() const {
        HeadlessSession::Options options;
        options.executable = HeadlessSession::executableIn(kBundle);
        options.home = home_.path();
        options.root = home_.path() / "root";
        return options;
    }

    // Starts the shell and waits for the state its launch task pushes. Later waits see only
    // what comes after; events() still holds the launch.
    HeadlessSession& launch(HeadlessSession::Options options) {
        session_.emplace(std::move(options));
        session_->waitFor("ready");
        launchState_ = session_->waitFor("state")["state"];
        session_->skipReceived();
        return *session_;
    }
    HeadlessSession& launch() { return launch(options()); }

    Json ask(const std::string& id, const std::string& action) {
        session_->send(request(id, action));
        return session_->waitFor("resolve", [&](const Json& e) { return e["id"] == id; });
    }

    // A copy of the built bundle without its executable, for a test to spoil; the shell finds
    // it through KORVANE_BUNDLE.
    fs::path copyOfBundle() const {
        const auto copy = scratch_.path() / "Korvane.app";
        fs::create_directories(copy / "Contents");
        fs::copy_file(kBundle / "Contents" / "Info.plist", copy / "Contents" / "Info.plist");
        fs::copy(kBundle / "Contents" / "Resources", copy / "Contents" / "Resources",
                 fs::copy_options::recursive);
        return copy;
    }

    // The lines of the event log, checking that there is one file, of the UTC day, private.
    std::vector<Json> eventLog() const {
        const auto logs = support() / "logs";
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(logs))
            files.push_back(entry.path());
        EXPECT_EQ(files.size(), 1u);
        if (files.empty()) return {};
        const auto name = files[0].filename().string();
        EXPECT_TRUE(name == "client-" + startDate_ + ".jsonl" || name == "client-" + utcToday() + ".jsonl")
            << name;
        EXPECT_EQ(modeOf(files[0]), 0600u);
        EXPECT_EQ(modeOf(logs), 0700u);
        std::vector<Json> lines;
        std::istringstream in(readFile(files[0]).value_or(""));
        for (std::string line; std::getline(in, line);)
            lines.push_back(Json::parse(line));
        return lines;
    }

    static std::size_t countLogged(const std::vector<Json>& log, const std::string& event,
                                   const std::string& stage) {
        return std::count_if(log.begin(), log.end(), [&](const Json& line) {
            return line["event"] == event && line["stage"] == stage;
        });
    }

    const std::string startDate_ = utcToday();
    TempDir home_;
    TempDir scratch_;
    // After the directories, so that the process is gone before they are removed.
    std::optional<HeadlessSession> session_;
    Json launchState_;
};

// ---- Launch --------------------------------------------------------------------------------

TEST_F(HeadlessShellTest, OnAnEmptyHomeTheWindowShowsThenReadyThenTheLaunchState) {
    auto& shell = launch();
    const auto page = fileURL((fs::canonical(kBundle) / "Contents/Resources/UI/index.html").string());
    EXPECT_EQ(shell.events().front(),
              (Json{{"event", "window"}, {"window", "main"}, {"action", "show"}, {"url", page}}));
    EXPECT_THAT(course(shell), ElementsAre("window:show", "window:front", "ready", "state"));
    EXPECT_TRUE(shell.malformedLines().empty());
}

TEST_F(HeadlessShellTest, BootstrapAnswersWithTheWholeStateDocument) {
    launch();
    const auto answer = ask("boot-1", "bootstrap");
    EXPECT_EQ(answer["error"], nullptr);
    const Json& state = answer["value"];
    EXPECT_EQ(state, (Json{
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
                     }));
    // Json equality lets 100.0 pass for 100; the page needs integers.
    EXPECT_TRUE(state["build"].is_number_integer());
    EXPECT_TRUE(state["socksPort"].is_number_integer());
    EXPECT_EQ(state, launchState_);
}

TEST_F(HeadlessShellTest, PlantedSettingsAndCachesAppearInTheState) {
    plant(settingsFile(), R"({"mode":"global","email":"a@b.c","selectedNode":"香港 01","remember":false,)"
                          R"("qualityEnabled":true,"qualityConsentAnswered":false})");
    plant(support() / "subscription.yaml",
          "proxies:\n  - {name: 香港 01, type: vmess, server: hk.example.net}\n");
    plant(support() / "nodes.json", kNodes.dump());
    plant(home_.path() / "root/Library/LaunchDaemons/art.korvane.proxyhelper.plist", "");
    auto& shell = launch();

    Json offered = kNodes;
    offered.erase(1); // informational
    EXPECT_EQ(launchState_["nodes"], offered);
    EXPECT_EQ(launchState_["email"], "a@b.c");
    EXPECT_EQ(launchState_["routingMode"], "global");
    EXPECT_EQ(launchState_["selectedNode"], "香港 01");
    EXPECT_EQ(launchState_["rememberCredentials"], false);
    EXPECT_EQ(launchState_["qualityEnabled"], true);
    // The key being there records that the question was answered; its value is not the answer.
    EXPECT_EQ(launchState_["qualityConsentAnswered"], true);
    EXPECT_EQ(launchState_["proxyHelperInstalled"], true);

    // The state is pushed as a script: a "</" in it would end the page's script element.
    const auto script = shell.eventsNamed("eval").back()["script"].get<std::string>();
    EXPECT_NE(script.find(R"(日本 <\/script> 02)"), std::string::npos);
    EXPECT_EQ(script.find("</"), std::string::npos);
}

TEST(HeadlessShellLaunchTest, SettingsAndCachesAreTakenOnlyWhenValid) {
    struct Row {
        const char* why;
        std::optional<std::string> settings, subscription, nodes;
        const char* mode;
        std::size_t nodeCount;
    };
    const Row rows[] = {
        {"modes are matched exactly", R"({"mode":"Global"})", std::nullopt, std::nullopt, "smart", 0},
        {"nodes without their subscription", std::nullopt, std::nullopt, kNodes.dump(), "smart", 0},
        {"a subscription that is not UTF-8", std::nullopt, "proxies: \xFF\n", kNodes.dump(), "smart", 0},
        {"both, valid", R"({"mode":"global"})", "proxies: []\n", kNodes.dump(), "global", 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        TempDir home;
        const auto support = home.path() / "Library/Application Support/Korvane";
        if (row.settings)
            plant(home.path() / "Library/Preferences/art.korvane.mac.native.json", *row.settings);
        if (row.subscription) plant(support / "subscription.yaml", *row.subscription);
        if (row.nodes) plant(support / "nodes.json", *row.nodes);
        HeadlessSession shell({.executable = HeadlessSession::executableIn(kBundle), .home = home.path()});
        const auto state = shell.waitFor("state")["state"];
        EXPECT_EQ(state["routingMode"], row.mode);
        EXPECT_EQ(state["nodes"].size(), row.nodeCount);
    }
}

TEST_F(HeadlessShellTest, ANonIntegerBuildNumberReadsAsZero) {
    const auto bundle = copyOfBundle();
    const auto plist = bundle / "Contents" / "Info.plist";
    auto text = readFile(plist).value();
    const auto key = text.find("<key>CFBundleVersion</key>");
    ASSERT_NE(key, std::string::npos);
    const auto value = text.find("<string>", key) + std::string_view("<string>").size();
    text.replace(value, text.find("</string>", value) - value, "12a");
    writeFileAtomically(plist, text);

    auto options = this->options();
    options.bundle = bundle;
    launch(options);
    EXPECT_EQ(launchState_["build"], 0);
    EXPECT_TRUE(launchState_["build"].is_number_integer());
    EXPECT_EQ(launchState_["version"], "1.0.0");
}

TEST_F(HeadlessShellTest, AMissingPageIsReportedAndTheShellStillGetsReady) {
    const auto bundle = copyOfBundle();
    fs::remove(bundle / "Contents/Resources/UI/index.html");
    auto options = this->options();
    options.bundle = bundle;
    auto& shell = launch(options);
    EXPECT_EQ(shell.eventsNamed("alert").at(0), (Json{{"event", "alert"},
                                                      {"title", "安装包不完整"},
                                                      {"text", "找不到 Korvane UI 页面"},
                                                      {"buttons", {"确定"}},
                                                      {"answer", 0}}));
    EXPECT_THAT(course(shell),
                ElementsAre("alert:安装包不完整", "window:show", "window:front", "ready", "state"));
}

TEST_F(HeadlessShellTest, TheCheckUpdateArgumentOpensTheUpdateOnceAfterThePageLoaded) {
    auto options = this->options();
    options.arguments = {"--check-update"};
    auto& shell = launch(options);
    auto clicksUpdate = [](const Json& e) {
        return e.value("script", std::string()).find("getElementById('updateButton').click()") !=
               std::string::npos;
    };
    shell.collectFor(1700ms); // the launch alone does not trigger it
    EXPECT_EQ(std::count_if(shell.events().begin(), shell.events().end(), clicksUpdate), 0);

    shell.send({{"cmd", "pageLoaded"}});
    shell.send({{"cmd", "pageLoaded"}});
    shell.waitFor("eval", clicksUpdate);
    shell.collectFor(1700ms);
    EXPECT_EQ(std::count_if(shell.events().begin(), shell.events().end(), clicksUpdate), 1);
    EXPECT_EQ(countLogged(eventLog(), "update_button_trigger", "webview"), 1u);
}

// ---- Page bridge ---------------------------------------------------------------------------

TEST_F(HeadlessShellTest, OnlyMessagesWithATextIdAndActionAreAnswered) {
    auto& shell = launch();
    const Json bodies[] = {
        {{"id", 7}, {"action", "bootstrap"}},
        "bootstrap",
        Json::array({"x-1", "bootstrap"}),
        nullptr,
        {{"action", "bootstrap"}},
        {{"id", "x-2"}},
        {{"id", "x-3"}, {"action", 3}},
    };
    for (const auto& body : bodies)
        shell.send({{"cmd", "message"}, {"body", body}});
    shell.send({{"cmd", "message"}});
    ask("boot-2", "bootstrap");
    const auto answers = shell.eventsNamed("resolve");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["id"], "boot-2");
}

TEST_F(HeadlessShellTest, AnUnknownActionIsAnsweredWithAnError) {
    launch();
    EXPECT_EQ(
        ask("act-1", "frobnicate"),
        (Json{{"event", "resolve"}, {"id", "act-1"}, {"value", nullptr}, {"error", "未知操作：frobnicate"}}));
}

TEST_F(HeadlessShellTest, PageLoadedPushesTheStateAgain) {
    auto& shell = launch();
    shell.send({{"cmd", "pageLoaded"}});
    EXPECT_EQ(shell.waitFor("state")["state"], launchState_);
}

TEST_F(HeadlessShellTest, OnlyLocalPagesLoadAndHttpsLinksOpenInTheBrowser) {
    auto& shell = launch();
    struct Row {
        Json url;
        const char* decision;
    };
    const Row rows[] = {
        {"http://korvane.art/renew", "cancel"},
        {"https://korvane.art/renew", "cancel"},
        {"javascript:alert(1)", "cancel"},
        {"file:///tmp/page.html", "allow"},
        {"about:blank", "allow"},
        {nullptr, "allow"},
    };
    for (const auto& row : rows) {
        Json command = {{"cmd", "navigate"}};
        if (!row.url.is_null()) command["url"] = row.url;
        shell.send(command);
        EXPECT_EQ(shell.waitFor("navigation"),
                  (Json{{"event", "navigation"}, {"url", row.url}, {"decision", row.decision}}));
    }
    const auto opened = shell.eventsNamed("openURL");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0]["url"], "https://korvane.art/renew");
}

TEST_F(HeadlessShellTest, ConfirmAsksWithContinueAndCancel) {
    auto& shell = launch();
    struct Row {
        std::vector<int> answers;
        int answer;
        bool result;
    };
    const Row rows[] = {{{1}, 1, false}, {{}, 0, true}};
    for (const auto& row : rows) {
        if (!row.answers.empty()) shell.send({{"cmd", "alertAnswers"}, {"buttons", row.answers}});
        shell.send({{"cmd", "confirm"}, {"message", "确定要删除吗？"}});
        EXPECT_EQ(shell.waitFor("alert"), (Json{{"event", "alert"},
                                                {"title", "Korvane"},
                                                {"text", "确定要删除吗？"},
                                                {"buttons", {"继续", "取消"}},
                                                {"answer", row.answer}}));
        EXPECT_EQ(shell.waitFor("confirm")["result"], row.result);
    }
}

// ---- Window and menu -----------------------------------------------------------------------

TEST_F(HeadlessShellTest, ClosingTheWindowHidesItAndTheMenuShowsItAgain) {
    auto& shell = launch();
    const auto from = shell.events().size();
    shell.send({{"cmd", "closeWindow"}});
    shell.waitFor("window", [](const Json& e) { return e["action"] == "hide"; });
    shell.send({{"cmd", "menu"}, {"item", "showWindow"}});
    shell.waitFor("window", [](const Json& e) { return e["action"] == "front"; });
    EXPECT_THAT(course(shell, from), ElementsAre("window:hide", "window:show", "window:front"));
}

TEST_F(HeadlessShellTest, ConnectingFromTheMenuSignedOutAsksToSignInFirst) {
    auto& shell = launch();
    shell.send({{"cmd", "menu"}, {"item", "menuToggle"}});
    EXPECT_EQ(shell.waitFor("alert"), (Json{{"event", "alert"},
                                            {"title", "连接操作失败"},
                                            {"text", "请先登录并刷新节点"},
                                            {"buttons", {"确定"}},
                                            {"answer", 0}}));
}

// ---- Robustness ----------------------------------------------------------------------------

TEST_F(HeadlessShellTest, MonitorsAndBadLinesLeaveTheShellAnswering) {
    auto& shell = launch();
    const auto woke = HeadlessSession::Clock::now();
    shell.send({{"cmd", "wake"}});
    shell.send({{"cmd", "healthTick"}});
    shell.send({{"cmd", "activate"}});
    shell.send({{"cmd", "network"},
                {"status", "satisfied"},
                {"interfaces", {{{"name", "en0"}, {"type", "wifi"}}}},
                {"uses", {"wifi"}},
                {"addresses", {{{"name", "en0"}, {"ipv4", "192.168.1.20"}}}}});
    for (const char* line :
         {"not json", "[1,2]", "{}", R"({"cmd":5})", R"({"cmd":"menu","item":5})",
          R"({"cmd":"confirm","message":[]})", R"({"cmd":"network","interfaces":[{"name":3}]})"}) {
        shell.sendLine(line);
        EXPECT_EQ(shell.waitFor("log")["text"], "korvane-headless: ignored a malformed command") << line;
    }
    shell.sendLine(R"({"cmd":"fly"})");
    EXPECT_EQ(shell.waitFor("log")["text"], "korvane-headless: unknown command fly");

    // The wake check resumes after a delay of its own; the shell must survive that as well.
    shell.collectFor(
        std::chrono::duration_cast<std::chrono::milliseconds>(woke + 4500ms - HeadlessSession::Clock::now()));
    EXPECT_EQ(ask("boot-3", "bootstrap")["error"], nullptr);
    EXPECT_TRUE(shell.running());
    EXPECT_EQ(countLogged(eventLog(), "system_wake", "network_check"), 1u);
}

// ---- Termination ---------------------------------------------------------------------------

class HeadlessShellExitTest : public HeadlessShellTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HeadlessShellExitTest, EveryWayOutPassesTheTerminationGate) {
    auto& shell = launch();
    const auto from = shell.events().size();
    const std::string way = GetParam();
    if (way == "terminate") shell.send({{"cmd", "terminate"}});
    if (way == "quit") shell.send({{"cmd", "menu"}, {"item", "quit"}});
    if (way == "end of input") shell.closeInput();

    EXPECT_EQ(shell.waitFor("exit"), (Json{{"event", "exit"}, {"code", 0}}));
    const auto status = shell.waitForExit();
    EXPECT_TRUE(status.exited() && status.code == 0) << status.describe();
    EXPECT_THAT(course(shell, from), ElementsAre("terminate:later", "terminate:yes", "exit"));

    const auto log = eventLog();
    EXPECT_EQ(countLogged(log, "app_start", ""), 1u);
    EXPECT_EQ(countLogged(log, "app_terminate_request", "normal"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, HeadlessShellExitTest, ::testing::Values("terminate", "quit", "end of input"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, ' ');
                             return name;
                         });

} // namespace
