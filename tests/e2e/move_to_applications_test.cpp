// A copy started outside the Applications folder, through the headless shell: the offer, the
// user's answer, and what follows once the copy has quit. The install runs for real (the shell's
// own zsh script, Debian's tools and the stand-ins under the system root), and the installed
// copy is opened by the stand-in launcher as a new process.

#include "e2e_support.h"

#include "testing/reaped_child.h"
#include "testing/temp_dir.h"
#include "testing/update_packages.h"
#include "update/korvane_migration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kInstall = "安装并更新 Korvane";
constexpr const char* kInstalled = "Korvane 已安装相同或更新版本";
constexpr const char* kHint =
    "\n旧客户端没有被替换。你也可以退出 Korvane 后，将新版拖到「应用程序」并选择替换。";

// Runs the rest of the command line with "$1" read-only in a private mount namespace.
constexpr const char* kReadOnly = R"(mount --bind -o ro "$1" "$1" || exit 99; shift; exec "$@")";

enum Situation { Plain, RunningCopy, ReadOnly, NotAsked, FromInstalled };

struct Case {
    const char* name;
    std::optional<std::string> installed; // the version installed beforehand
    Situation situation;
    std::string answers;             // KORVANE_ALERT_ANSWERS
    std::vector<std::string> titles; // the alerts shown
    std::string text;                // the last one's
    std::string afterwards;          // the version installed afterwards, "none" when nothing is
    bool opensInstalled;
    bool sourceKept;
};

bool waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1500 && !condition(); ++i)
        std::this_thread::sleep_for(20ms);
    return condition();
}

TEST(MoveToApplicationsTest, TheOfferAndWhatFollows) {
    const std::string fresh =
        "将 Korvane v1.0.0 安装到「应用程序」，以后直接在客户端内升级，不需要重复下载安装。";
    const std::string older =
        "检测到「应用程序」内还有旧版本。将覆盖旧版，保留账号和节点资料，安装 v1.0.0 后自动重新打开。";
    const std::string same = "在「应用程序」中已有 Korvane，建议使用原来的程序，避免产生重复客户端。";
    const std::string denied =
        "当前账号没有「应用程序」目录的安装权限，需要由 Mac 管理员完成第一次安装。" + std::string(kHint);
    // clang-format off
    const std::vector<Case> cases = {
        {"nothing installed: installed and opened, the download removed", std::nullopt, Plain, "",
         {kInstall}, fresh, "101", false, false},
        {"an older copy running: asked to quit, waited for, replaced", "100", RunningCopy, "",
         {kInstall}, older, "101", false, false},
        {"not now", std::nullopt, Plain, "1", {kInstall}, fresh, "none", false, true},
        {"same build installed: opened instead", "101", Plain, "", {kInstalled}, same, "101", true, true},
        {"newer build installed, cancelled", "102", Plain, "1", {kInstalled}, same, "102", false, true},
        {"Applications not writable", "100", ReadOnly, "", {kInstall, "自动安装未能启动"}, denied, "100", false, true},
        {"no offer unless asked", std::nullopt, NotAsked, "", {}, "", "none", false, true},
        {"the installed copy starts as usual", "101", FromInstalled, "", {}, "", "101", false, true},
    };
    // clang-format on
    for (const auto& c : cases) {
        if (c.situation == ReadOnly && ::geteuid() != 0) continue;
        TempDir home;
        const fs::path root = home.path() / "root";
        const fs::path app = root / "Applications" / "Korvane.app";
        const fs::path source = home.path() / "Downloads" / "Korvane.app";
        const fs::path updates = e2e::supportDir(home.path()) / "updates";
        UpdateTools tools(root);
        SigningKey team("TEAMA");
        tools.trust(team);
        fs::create_directories(root / "Applications");
        // The copy to install; what the launcher starts of it leaves a mark in the home.
        TestBundle contents;
        contents.resources = {{"UI/index.html", "<p>"}};
        contents.build = 101;
        writeTestBundle(source, contents);
        writeFileAtomically(source / "Contents/MacOS/started", "#!/bin/sh\ntouch \"$HOME/started\"\n", 0755);
        signBundle(source, team);
        std::optional<ReapedChild> copy;
        if (c.installed) {
            contents.versionText = *c.installed;
            writeTestBundle(app, contents);
            if (c.situation == RunningCopy) {
                fs::copy_file("/usr/bin/sleep", app / "Contents/MacOS/Korvane-running");
                copy.emplace("exec '" + (app / "Contents/MacOS/Korvane-running").string() + "' 600");
                copy->waitForExec(app / "Contents/MacOS/Korvane-running");
            }
        }

        auto options = e2e::sessionOptions(home.path());
        options.root = root;
        options.bundle =
            c.situation == FromInstalled ? root / "Applications/../Applications/Korvane.app/" : source;
        options.environment = {{"KORVANE_OPEN_EXECUTABLE", "started"}, {"KORVANE_ALERT_ANSWERS", c.answers}};
        if (c.situation != NotAsked) options.environment["KORVANE_OFFER_MOVE"] = "1";
        if (c.situation == ReadOnly) {
            options.arguments = {"-m",
                                 "--propagation",
                                 "private",
                                 "/bin/sh",
                                 "-c",
                                 kReadOnly,
                                 "sh",
                                 (root / "Applications").string(),
                                 options.executable.string()};
            options.executable = "/usr/bin/unshare";
        }
        HeadlessSession session(options);
        if (c.titles.empty()) {
            session.waitFor("ready");
            session.send({{"cmd", "terminate"}});
            session.waitForExit(30s);
        } else {
            const auto exit = session.waitForExit();
            EXPECT_EQ(exit.code, 0) << c.name;
            EXPECT_TRUE(session.eventsNamed("ready").empty()) << c.name;
        }
        // A copy that started as usual has a core to stop before it may go; one that only made
        // the offer goes at once.
        ASSERT_FALSE(session.eventsNamed("terminate").empty()) << c.name;
        EXPECT_EQ(session.eventsNamed("terminate")[0]["reply"], c.titles.empty() ? "later" : "now") << c.name;
        std::vector<std::string> titles;
        for (const auto& alert : session.eventsNamed("alert"))
            titles.push_back(alert["title"]);
        EXPECT_EQ(titles, c.titles) << c.name;
        if (!titles.empty()) {
            EXPECT_EQ(session.eventsNamed("alert").back()["text"], c.text) << c.name;
        }
        EXPECT_EQ(session.eventsNamed("openApplication").size(), c.opensInstalled ? 1u : 0u) << c.name;
        if (c.opensInstalled) {
            EXPECT_EQ(session.eventsNamed("openApplication")[0]["path"], app.string()) << c.name;
        }

        if (c.titles == std::vector<std::string>{kInstall} && c.answers.empty()) {
            EXPECT_TRUE(waitUntil([&] {
                return readFile(updates / "installer.log")
                           .value_or("")
                           .find("Korvane canonical install complete") != std::string::npos;
            })) << c.name
                << ": " << readFile(updates / "installer.log").value_or("no log");
            EXPECT_TRUE(waitUntil([&] { return fs::exists(home.path() / "started"); })) << c.name;
        } else {
            EXPECT_FALSE(fs::exists(updates / "installer.log")) << c.name;
        }
        if (copy) {
            EXPECT_EQ(copy->endingSignal(), SIGTERM) << c.name;
        }
        EXPECT_EQ(fs::exists(app) ? KorvaneMigration::loadPlistVersion(app) : "none", c.afterwards) << c.name;
        EXPECT_EQ(fs::exists(source), c.sourceKept) << c.name;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(updates, error))
            EXPECT_FALSE(entry.path().extension() == ".zsh") << c.name << ": " << entry.path();
    }
}

} // namespace
