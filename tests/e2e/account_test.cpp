// Signing in, the account data it brings, and signing out, through the headless client of
// the local deployment against a stand-in panel on the deployment's fixed port.

#include "base/files.h"
#include "base/json.h"
#include "e2e_support.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/stand_in_panel.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::vector<std::string> nodeNames(const Json& state) {
    std::vector<std::string> names;
    for (const auto& node : state["nodes"])
        names.push_back(node["name"]);
    return names;
}

class AccountTest : public ::testing::Test {
protected:
    fs::path support() const { return e2e::supportDir(home.path()); }

    Json launch() {
        session.emplace(e2e::sessionOptions(home.path()));
        session->waitFor("ready");
        Json state = session->waitFor("state")["state"];
        session->skipReceived();
        return state;
    }

    Json ask(const std::string& action, const Json& arg) {
        const std::string id = "r" + std::to_string(++requests);
        session->send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return session->waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, 20s);
    }

    void quit() {
        session->send({{"cmd", "terminate"}});
        EXPECT_EQ(session->waitForExit().code, 0);
        session.reset();
    }

    TempDir home;
    StandInPanel panel{e2e::kPanelPort};
    std::optional<HeadlessSession> session;
    int requests = 0;
    const std::vector<std::string> servers = {"香港 01", "日本 02 | IPLC", "新加坡 03", "美国 04"};
};

TEST_F(AccountTest, PasswordSignInShowsTheAccountAndSurvivesARelaunch) {
    EXPECT_FALSE(launch()["loggedIn"]);
    const Json reply = ask(
        "login", {{"email", "  " + panel.account().email + "\n"}, {"password", panel.account().password}});
    ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
    const Json& state = reply["value"];
    EXPECT_TRUE(state["loggedIn"]);
    EXPECT_EQ(state["email"], panel.account().email);
    EXPECT_EQ(nodeNames(state), servers);
    EXPECT_EQ(
        state["nodes"][1],
        Json(
            {{"name", "日本 02 | IPLC"}, {"type", "VMESS"}, {"host", "jp2.korvane.example"}, {"port", 443}}));
    const Json& overview = state["accountOverview"];
    EXPECT_EQ(overview["hasPlan"], true);
    EXPECT_EQ(overview["totalBytes"], 214748364800.0);
    EXPECT_EQ(overview["usedBytes"], 3221225472.0 + 25769803776.0);
    EXPECT_EQ(overview["resetDays"], 17);
    EXPECT_EQ(modeOf(support() / "subscription.yaml"), 0600u);
    EXPECT_EQ(modeOf(support() / "nodes.json"), 0600u);
    EXPECT_EQ(readFile(support() / "subscription.yaml"), StandInPanel::demoSubscription());
    quit();

    // The next launch shows the same nodes from the cache before anything is fetched.
    const auto requestsBefore = panel.server().requests().size();
    panel.server().route("GET", "/api/v1/user/getSubscribe", HttpResponse{200, {}, "{}", 3s});
    session.emplace(e2e::sessionOptions(home.path()));
    session->waitFor("ready");
    const Json bootstrap = ask("bootstrap", Json::object());
    EXPECT_TRUE(bootstrap["value"]["loggedIn"]);
    EXPECT_EQ(nodeNames(bootstrap["value"]), servers);
    EXPECT_LE(panel.server().requests().size(), requestsBefore + 1)
        << "at most the profile request is on its way";
    quit();
}

TEST_F(AccountTest, CodeSignInWithoutRememberLastsOneRun) {
    launch();
    EXPECT_EQ(ask("sendLoginCode", {{"email", panel.account().email}})["value"], Json({{"sent", true}}));
    const Json wrong = ask("loginWithCode", {{"email", panel.account().email}, {"code", "000000"}});
    EXPECT_EQ(wrong["error"], "验证码错误或已过期");
    const Json reply =
        ask("loginWithCode",
            {{"email", panel.account().email}, {"code", panel.account().code}, {"remember", false}});
    ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
    EXPECT_TRUE(reply["value"]["loggedIn"]);
    EXPECT_EQ(reply["value"]["rememberCredentials"], false);
    EXPECT_FALSE(fs::exists(support() / "PrivateSession" / "auth.session"));
    quit();
    EXPECT_FALSE(launch()["loggedIn"]);
    quit();
}

TEST_F(AccountTest, LogoutClearsTheAccountAndTheCache) {
    launch();
    ASSERT_TRUE(
        ask("login", {{"email", panel.account().email}, {"password", panel.account().password}})["error"]
            .is_null());
    ASSERT_TRUE(fs::exists(support() / "PrivateSession" / "auth.session"));
    const Json reply = ask("logout", Json::object());
    ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
    const Json& state = reply["value"];
    EXPECT_FALSE(state["loggedIn"]);
    EXPECT_EQ(state["nodes"], Json::array());
    EXPECT_TRUE(state["accountOverview"].is_null());
    EXPECT_EQ(state["rememberCredentials"], false);
    EXPECT_EQ(state["email"], panel.account().email) << "the address stays for the next sign-in";
    EXPECT_FALSE(fs::exists(support() / "subscription.yaml"));
    EXPECT_FALSE(fs::exists(support() / "nodes.json"));
    EXPECT_FALSE(fs::exists(support() / "PrivateSession" / "auth.session"));
    quit();
}

TEST_F(AccountTest, WrongPasswordShowsThePanelsSentence) {
    launch();
    EXPECT_EQ(ask("login", {{"email", panel.account().email}, {"password", "nope"}})["error"],
              "邮箱或密码错误");
    EXPECT_EQ(ask("login", {{"email", ""}, {"password", "x"}})["error"], "请输入邮箱和密码");
    EXPECT_FALSE(ask("bootstrap", Json::object())["value"]["loggedIn"]);
    quit();
}

} // namespace
