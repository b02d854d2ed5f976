// The update from the hand-off to the new copy, with real processes: the headless client runs
// from a bundle in the Applications folder of a temporary system root, connected through a real
// SOCKS node; the update check prepares the package, the client starts the install script
// (Debian's zsh, the real file tools, the stand-in launcher) and quits; the script swaps the
// bundles and opens the new copy, which this test attaches to through FIFOs. Also the ways it
// goes wrong: a copy that cannot be opened, an old copy that never exits, a core that does not
// stop, and each exit code of the script.

#include "base/child_process.h"
#include "base/files.h"
#include "base/json.h"
#include "e2e_support.h"
#include "platform/processes.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/stand_in_panel.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"
#include "testing/update_packages.h"
#include "update/korvane_update_download.h"

#include <gtest/gtest.h>

#include <korvane_deployment.h>

#include <csignal>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kNode = "HK 01";
constexpr const char* kInstalling = "正在安装并重新打开 Korvane…";
constexpr const char* kNotStarted = "更新未开始，旧版本和原配置已保留，请重试";

using WallClock = std::chrono::system_clock;

double seconds(WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Runs a program to its end and returns its exit code (-1 when a signal ended it).
int runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(startProcess(program, arguments));
    while (child.running())
        std::this_thread::sleep_for(5ms);
    const int status = *child.exitStatus();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class UpdateHandOffTest : public ::testing::Test {
protected:
    UpdateHandOffTest() {
        tools.trust(team);
        writeBundle(installed(), TestBundle{});
        fs::create_directories(served());
        update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
        update.route("GET", "/api/macos.json", HttpResponse::json(200, R"({"enabled":true,"build":100})"));
        panel.setSubscription("proxies:\n" + e2e::socksEntry(kNode, node.port()));
        systemTools.setServices(Json::array({standInService("Wi-Fi")}));
    }

    ~UpdateHandOffTest() override {
        for (auto* session : {&current, &attached}) {
            if (!*session || !(*session)->running()) continue;
            try {
                (*session)->send({{"cmd", "terminate"}});
                (*session)->waitForExit(30s);
            } catch (const std::exception&) {
            }
        }
        current.reset();
        attached.reset();
        // Whatever a copy left running below the test's root (a core, a copy nobody attached).
        for (int round = 0; round < 50; ++round) {
            const auto left = processesBelow(home.path());
            if (left.empty()) break;
            for (pid_t pid : left)
                ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(20ms);
        }
    }

    fs::path root() const { return home.path() / "root"; }
    fs::path applications() const { return root() / "Applications"; }
    fs::path installed() const { return applications() / "Korvane.app"; }
    fs::path support() const { return e2e::supportDir(home.path()); }
    fs::path served() const { return home.path() / "served"; }
    fs::path marker() const { return support() / "reconnect-after-update"; }
    fs::path oneTimeSession() const { return support() / "updates/one-time-session.json"; }
    fs::path result() const { return support() / "updates/last-update-result.json"; }
    HeadlessSession::Fifos fifos() const { return {home.path() / "copy.in", home.path() / "copy.out"}; }

    // A bundle of the client: Info.plist and the Mach-O stand-in of the build, the built
    // client's resources, and as its headless executable a launcher of the built shell for this
    // bundle (the shell itself is the same program in every build), sealed by the team.
    void writeBundle(const fs::path& bundle, const TestBundle& contents) const {
        writeTestBundle(bundle, contents);
        fs::copy(e2e::kBundle / "Contents/Resources", bundle / "Contents/Resources",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        writeFileAtomically(
            HeadlessSession::executableIn(bundle),
            "#!/bin/sh\nhere=$(cd \"$(dirname \"$0\")/../..\" && pwd)\nKORVANE_BUNDLE=\"$here\" exec '" +
                HeadlessSession::executableIn(e2e::kBundle).string() + "' \"$@\"\n",
            0755);
        signBundle(bundle, team);
    }

    HeadlessSession::Options options(std::map<std::string, std::string> environment = {}) const {
        auto options = e2e::sessionOptions(home.path());
        options.executable = HeadlessSession::executableIn(installed());
        options.environment = {{"KORVANE_OPEN_EXECUTABLE", "korvane-headless"},
                               {"KORVANE_OPEN_STDIN", fifos().input.string()},
                               {"KORVANE_OPEN_STDOUT", fifos().output.string()}};
        options.environment.merge(environment);
        return options;
    }

    static Json ask(HeadlessSession& session, const std::string& action, const Json& arg = Json::object()) {
        static int requests = 0;
        const std::string id = "r" + std::to_string(++requests);
        session.send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return session.waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, 60s);
    }
    static Json connectedState(HeadlessSession& session) {
        return session.waitFor(
            "state", [](const Json& e) { return e["state"]["connected"] == true; }, 30s);
    }

    // The installed copy, signed in without a remembered session and connected on the node.
    void startConnected(std::map<std::string, std::string> environment = {}) {
        current = std::make_unique<HeadlessSession>(options(std::move(environment)));
        current->waitFor("ready");
        current->waitFor("state", 30s);
        const Json login = ask(
            *current, "login",
            {{"email", panel.account().email}, {"password", panel.account().password}, {"remember", false}});
        ASSERT_TRUE(login["error"].is_null()) << login.dump();
        const Json connected = ask(*current, "connect", {{"nodeName", kNode}});
        ASSERT_TRUE(connected["error"].is_null()) << connected.dump();
        ASSERT_EQ(systemTools.services()[0]["socksfirewallproxy"]["port"], 7897);
    }

    // Serves a package to build `build` and offers it: a full package, or a delta patch from
    // the installed build.
    void offer(std::int64_t build, bool isPatch) {
        TestBundle contents;
        contents.build = build;
        contents.resources = {{"UI/added.js", "in " + std::to_string(build)}};
        const fs::path target = served() / ("Korvane-" + std::to_string(build) + ".app");
        fs::remove_all(target);
        fs::copy(installed(), target, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        writeBundle(target, contents);
        const fs::path package = served() / ("p" + std::to_string(build) + ".zip");
        const std::int64_t from = std::stoll(e2e::bundleBuild(installed()));
        if (isPatch) {
            writePatchPackage(package, installed(), target, patchManifest(from, build));
        } else {
            writeFullPackage(package, target);
        }
        const std::string path = "/packages/" + package.filename().string();
        HttpResponse answer;
        answer.file = package;
        update.route("GET", path, answer);
        Json entry = {{"url", update.baseUrl() + path}, {"sha256", sha256(package)}};
        Json manifest = {{"enabled", true}, {"build", build}};
        if (isPatch) {
            entry.update(patchManifest(from, build));
            manifest["patches"] = Json::array({entry});
        } else {
            manifest["downloads"] = {{"x64", entry}};
        }
        update.route("GET", "/api/macos.json", HttpResponse::json(200, manifest.dump()));
    }

    // The new copy's start, or a failure that says what the script left.
    void waitForNewCopy() {
        try {
            attached->waitFor("ready", 30s);
        } catch (const SessionError& error) {
            std::string staging;
            for (const auto& path : staged())
                staging += " " + path.filename().string();
            const std::string oldStatus =
                readFile("/proc/" + std::to_string(oldPid) + "/status").value_or("(gone)").substr(0, 300);
            FAIL() << error.what() << "old copy " << oldPid << ": " << oldStatus
                   << "\nresult: " << readFile(result()).value_or("(none)")
                   << "\nopened: " << readFile(root() / "var/stand-in/open/opened.jsonl").value_or("(none)")
                   << "\nstaged:" << staging << "\ninstalled build: " << e2e::bundleBuild(installed());
        }
    }

    std::vector<fs::path> staged() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(applications()))
            if (entry.path().filename() != "Korvane.app") found.push_back(entry.path());
        return found;
    }
    std::vector<Json> opened() const {
        std::vector<Json> lines;
        std::istringstream in(readFile(root() / "var/stand-in/open/opened.jsonl").value_or(""));
        for (std::string line; std::getline(in, line);)
            lines.push_back(Json::parse(line));
        return lines;
    }
    // The event log's lines named event, as "stage/reason".
    std::vector<std::string> logged(const std::string& event) const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(support() / "logs")) {
            std::istringstream in(readFile(entry.path()).value_or(""));
            for (std::string line; std::getline(in, line);) {
                const Json json = Json::parse(line, nullptr, false);
                if (json.is_object() && json.value("event", std::string()) == event)
                    found.push_back(json.value("stage", std::string()) + "/" +
                                    json.value("reason", std::string()));
            }
        }
        return found;
    }
    std::size_t settingsWrites() const {
        std::size_t writes = 0;
        for (const auto& call : systemTools.toolCalls())
            for (const auto& argument : call["args"])
                if (argument.get<std::string>().starts_with("-set")) ++writes;
        return writes;
    }

    TempDir home;
    SystemTools systemTools{home.path() / "root"};
    UpdateTools tools{home.path() / "root"};
    SigningKey team{deployment::kSigningTeam};
    SocksNode node{home.path()};
    StandInPanel panel{e2e::kPanelPort};
    HttpsServer update{HttpsServer::Options{e2e::kUpdatePort, true}};
    e2e::Probes probes;
    // Last, so that the copies have quit before the servers go.
    std::unique_ptr<HeadlessSession> current;
    std::unique_ptr<HeadlessSession> attached;
    pid_t oldPid = -1;
};

// 100 → 101 with a full package, then the new copy updates itself to 102 with a delta patch.
// Each time the new copy takes the session and the connection over without a sign-in, a
// prompt or a change of the proxy settings.
TEST_F(UpdateHandOffTest, TheNewCopyTakesOverTheSessionAndTheConnection) {
    startConnected();
    const Json servicesBefore = systemTools.services();
    const std::size_t prompts = systemTools.prompts().size();
    const std::size_t writes = settingsWrites();
    const std::size_t logins = panel.server().requests().size();
    // The script's first move after its wait, timed from outside the script.
    const fs::path moves = home.path() / "moves.log";
    tools.replace("/bin/mv", "#!/bin/sh\ndate +%s.%N >> '" + moves.string() + "'\nexec /usr/bin/mv \"$@\"\n");

    struct Hop {
        std::int64_t build;
        bool isPatch;
    };
    for (const Hop hop : {Hop{101, false}, Hop{102, true}}) {
        SCOPED_TRACE(hop.isPatch ? "delta patch" : "full package");
        offer(hop.build, hop.isPatch);
        fs::remove(moves);
        attached = std::make_unique<HeadlessSession>(fifos());

        const Json reply = ask(*current, "checkUpdate", {{"manual", true}});
        ASSERT_TRUE(reply["error"].is_null()) << reply.dump();
        const auto progress = current->eventsNamed("progress");
        EXPECT_EQ(progress.back()["text"], kInstalling);
        EXPECT_EQ(current->waitFor("terminate")["reply"], "now");
        // Written just before the process ends.
        current->waitFor("exit", 30s);
        const auto exited = WallClock::now();
        EXPECT_EQ(current->waitForExit(30s).code, 0);

        ASSERT_NO_FATAL_FAILURE(waitForNewCopy());
        const Json state = connectedState(*attached);
        const auto connected = WallClock::now();
        EXPECT_EQ(state["state"]["selectedNode"], kNode);
        // Reconnected first; then signed in with the carried credential.
        attached->waitFor(
            "state", [](const Json& e) { return e["state"]["loggedIn"] == true; }, 30s);

        EXPECT_EQ(e2e::bundleBuild(installed()), std::to_string(hop.build));
        EXPECT_TRUE(staged().empty());
        EXPECT_FALSE(fs::exists(marker()));
        EXPECT_FALSE(fs::exists(oneTimeSession()));
        EXPECT_EQ(opened().back()["build"], std::to_string(hop.build));
        EXPECT_EQ(systemTools.services(), servicesBefore);
        EXPECT_EQ(systemTools.prompts().size(), prompts);
        EXPECT_EQ(settingsWrites(), writes);
        // The panel saw no sign-in, only the new copy's refresh with the carried credential.
        for (std::size_t i = logins; i < panel.server().requests().size(); ++i)
            EXPECT_EQ(panel.server().requests()[i].path.find("login"), std::string::npos);
        // The result is reported once the new copy runs (at its launch or the next tick).
        attached->send({{"cmd", "healthTick"}});
        ask(*attached, "bootstrap");
        EXPECT_FALSE(fs::exists(result()));
        const auto firstMove = std::stod(readFile(moves).value_or("0"));
        const double total = seconds(connected) - seconds(exited);
        const double polling = firstMove - seconds(exited);
        std::cout << "[ timing ] " << (hop.isPatch ? "patch" : "full")
                  << ": old copy's exit to new copy connected " << static_cast<int>(total * 1000)
                  << " ms, of which the script's wait " << static_cast<int>(polling * 1000) << " ms ("
                  << static_cast<int>(100 * polling / total) << "%)\n";
        RecordProperty(hop.isPatch ? "patch_exit_to_connected_ms" : "full_exit_to_connected_ms",
                       static_cast<int>(total * 1000));
        RecordProperty(hop.isPatch ? "patch_script_wait_ms" : "full_script_wait_ms",
                       static_cast<int>(polling * 1000));
        current = std::move(attached);
    }
    EXPECT_EQ(logged("update_install_success"),
              (std::vector<std::string>{"updater_result/ok", "updater_result/ok"}));
    EXPECT_EQ(logged("update_resume_success"), (std::vector<std::string>{"reconnect/", "reconnect/"}));
    EXPECT_EQ(logged("update_core_stop"),
              (std::vector<std::string>{"begin/", "success/", "begin/", "success/"}));
    EXPECT_EQ(logged("update_app_exit"), (std::vector<std::string>{"ready/", "ready/"}));
    EXPECT_EQ(logged("update_install_started"),
              (std::vector<std::string>{"prepared_handoff/", "prepared_handoff/"}));
    EXPECT_TRUE(logged("update_install_failure").empty());
}

// The new copy cannot be opened: the old bundle is put back and opened, reconnects and reports
// the failure; the new bundle stays in the staging directory for diagnosis.
TEST_F(UpdateHandOffTest, ANewCopyThatCannotBeOpenedIsRolledBack) {
    const auto before = treeDigest(installed());
    startConnected();
    offer(101, false);
    fs::create_directories(root() / "var/stand-in/open");
    writeFileAtomically(root() / "var/stand-in/open/fail-builds", "101\n");
    attached = std::make_unique<HeadlessSession>(fifos());

    oldPid = current->pid();
    ASSERT_TRUE(ask(*current, "checkUpdate", {{"manual", true}})["error"].is_null());
    EXPECT_EQ(current->waitForExit(30s).code, 0);
    ASSERT_NO_FATAL_FAILURE(waitForNewCopy());
    EXPECT_EQ(connectedState(*attached)["state"]["selectedNode"], kNode);
    attached->send({{"cmd", "healthTick"}});
    ask(*attached, "bootstrap");

    EXPECT_EQ(treeDigest(installed()), before);
    ASSERT_EQ(opened().size(), 1u);
    EXPECT_EQ(opened()[0]["build"], "100");
    ASSERT_EQ(staged().size(), 1u);
    EXPECT_EQ(e2e::bundleBuild(staged()[0] / "failed.app"), "101");
    EXPECT_FALSE(fs::exists(result()));
    EXPECT_EQ(logged("update_install_failure"), (std::vector<std::string>{"updater_result/exit_14"}));
    EXPECT_FALSE(fs::exists(marker()));
}

// A hand-off that fails before the script runs: the update does not start, the connection is
// up on the same node afterwards (never down when the pause failed, resumed under the unchanged
// settings when the script could not start), and both hand-over files are gone.
TEST_F(UpdateHandOffTest, AFailedHandOffLeavesTheConnectionOnTheSameNode) {
    const auto before = treeDigest(installed());
    struct Case {
        const char* name;
        std::map<std::string, std::string> environment;
        bool noNohup; // the script cannot be started
        std::string error;
        std::vector<std::string> coreStop; // the pause's events
    };
    const std::vector<Case> cases = {
        {"the core ignores SIGTERM",
         {{"MICORE_IGNORE_SIGTERM", "1"}},
         false,
         "Mihomo 尚未安全退出，更新已暂停",
         {"begin/"}},
        {"nohup is missing", {}, true, "No such file or directory", {"begin/", "success/"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(support() / "logs");
        startConnected(c.environment);
        const std::size_t writes = settingsWrites();
        const std::size_t prompts = systemTools.prompts().size();
        offer(101, false);
        if (c.noNohup) fs::remove(root() / "usr/bin/nohup");

        const Json reply = ask(*current, "checkUpdate", {{"manual", true}});
        EXPECT_EQ(reply["error"], c.error);
        EXPECT_EQ(current->eventsNamed("progress").back()["text"], kNotStarted);
        const Json state = ask(*current, "bootstrap")["value"];
        EXPECT_EQ(state["connected"], true);
        EXPECT_EQ(state["socksReady"], true);
        EXPECT_EQ(state["selectedNode"], kNode);
        EXPECT_FALSE(fs::exists(marker()));
        EXPECT_FALSE(fs::exists(oneTimeSession()));
        EXPECT_EQ(treeDigest(installed()), before);
        EXPECT_EQ(settingsWrites(), writes);
        EXPECT_EQ(systemTools.prompts().size(), prompts);
        EXPECT_TRUE(opened().empty());
        EXPECT_EQ(logged("update_core_stop"), c.coreStop);
        EXPECT_EQ(logged("update_install_failure"),
                  (std::vector<std::string>{"before_exit/preflight_or_core"}));
        EXPECT_TRUE(logged("update_helper_started").empty());

        // The system's quit (SIGTERM) passes the gate: the connection ends and the settings are
        // put back before the process goes.
        current->sendSignal(SIGTERM);
        EXPECT_EQ(current->waitFor("terminate", 30s)["reply"], "later");
        EXPECT_EQ(current->waitFor("terminate", 30s)["reply"], "yes");
        EXPECT_EQ(current->waitForExit(30s).code, 0);
        EXPECT_EQ(systemTools.services()[0]["socksfirewallproxy"]["enabled"], false);
        current.reset();
        UpdateTools fresh(root());
    }
}

// The script on its own, for each way out that the client cannot arrange: the situation is
// made with a process that never exits, a missing staging bundle or a tool that fails on
// demand; the script itself is never edited. The copy of a failed update that never exited
// reports the result at its next launch.
TEST_F(UpdateHandOffTest, EachFailureOfTheScriptHasItsExitCodeAndLeavesTheOldBundle) {
    const fs::path script = installed() / "Contents/Resources/update-install.zsh";
    const fs::path updates = support() / "updates";
    fs::create_directories(updates);
    const auto before = treeDigest(installed());
    const fs::path stage = applications() / ".korvane-update-test";
    // The script's root, as the client passes it on.
    struct Root {
        explicit Root(const fs::path& root) { ::setenv("KORVANE_ROOT", root.c_str(), 1); }
        ~Root() { ::unsetenv("KORVANE_ROOT"); }
    } scriptRoot(root());
    auto failing = [](const std::string& when) {
        return "#!/bin/sh\ncase \"$*\" in " + when + ") exit 1;; esac\nexec /usr/bin/" +
               "$(basename \"$0\") \"$@\"\n";
    };

    struct Case {
        const char* name;
        int code;
        bool oldRunning = false;    // the old copy never exits
        bool noReadyBundle = false; // the staging directory holds no ready.app
        std::string replaced;       // a tool that fails on demand
        std::string script;         // its replacement
        std::string pid;            // the process id parameter, when not the old copy's
        bool opensOld = true;       // the old bundle is opened afterwards
        bool leftAside = false;     // the old bundle could not be put back: it is in the stage
    };
    const std::vector<Case> cases = {
        {.name = "the old copy never exits",
         .code = 10,
         .oldRunning = true,
         .replaced = "/bin/sleep",
         .script = "#!/bin/sh\nexit 0\n",
         .opensOld = false},
        {.name = "a tool failing where no check expects it",
         .code = 70,
         .oldRunning = true,
         .replaced = "/bin/sleep",
         .script = "#!/bin/sh\nexit 3\n",
         .opensOld = false},
        {.name = "no ready.app", .code = 11, .noReadyBundle = true},
        {.name = "the bundle cannot be moved aside",
         .code = 12,
         .replaced = "/bin/mv",
         .script = failing("*/Korvane.app*/backup.app")},
        {.name = "ready.app cannot be moved in",
         .code = 13,
         .replaced = "/bin/mv",
         .script = failing("*/ready.app*")},
        {.name = "the rollback cannot put the bundle back",
         .code = 15,
         .replaced = "/bin/mv",
         .script = failing("*/backup.app*/Korvane.app|*/ready.app*"),
         .opensOld = false,
         .leftAside = true},
        {.name = "the result cannot be written",
         .code = 16,
         .replaced = "/usr/bin/mktemp",
         .script = failing("*")},
        {.name = "a process id that is not a number",
         .code = 65,
         .pid = "1 $(touch planted)",
         .opensOld = false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(stage);
        fs::remove(root() / "var/stand-in/open/opened.jsonl");
        fs::remove(result());
        fs::create_directories(stage);
        if (!c.noReadyBundle) writeBundle(stage / "ready.app", TestBundle{.build = 101});
        UpdateTools fresh(root()); // the real tools back
        if (!c.replaced.empty()) tools.replace(c.replaced, c.script);

        ChildProcess old(startProcess("/usr/bin/sleep", {c.oldRunning ? "600" : "0"}));
        if (!c.oldRunning)
            while (old.running())
                std::this_thread::sleep_for(5ms);
        const std::string pid = c.pid.empty() ? std::to_string(old.pid()) : c.pid;
        const int code = runToEnd("/usr/bin/zsh", {script.string(), installed().string(), stage.string(), pid,
                                                   "100", "101", updates.string()});
        old.signal(SIGKILL);
        while (old.running())
            std::this_thread::sleep_for(5ms);

        EXPECT_EQ(code, c.code);
        if (c.leftAside) {
            EXPECT_FALSE(fs::exists(installed()));
            EXPECT_EQ(treeDigest(stage / "backup.app"), before);
            fs::rename(stage / "backup.app", installed());
        }
        EXPECT_EQ(treeDigest(installed()), before);
        const Json written = Json::parse(readFile(result()).value_or("null"), nullptr, false);
        if (c.code == 16) {
            EXPECT_TRUE(written.is_null());
        } else {
            EXPECT_EQ(written, (Json{{"status", "failed"}, {"to_build", 100}, {"exit_code", c.code}}));
        }
        EXPECT_EQ(opened().size(), c.opensOld ? 1u : 0u);
        if (c.opensOld && !opened().empty()) EXPECT_EQ(opened()[0]["build"], "100");
        EXPECT_FALSE(fs::exists(applications() / "planted"));
        EXPECT_FALSE(fs::exists(home.path() / "planted"));
    }
    // Six parameters are needed; with fewer nothing is written.
    fs::remove(result());
    EXPECT_EQ(runToEnd("/usr/bin/zsh", {script.string(), installed().string()}), 64);
    EXPECT_FALSE(fs::exists(result()));
    // Killed while it waits: the result says so and nothing is opened.
    {
        UpdateTools fresh(root());
        fs::remove(root() / "var/stand-in/open/opened.jsonl");
        ChildProcess old(startProcess("/usr/bin/sleep", {"600"}));
        ChildProcess installer(
            startProcess("/usr/bin/zsh", {script.string(), installed().string(), stage.string(),
                                          std::to_string(old.pid()), "100", "101", updates.string()}));
        std::this_thread::sleep_for(300ms);
        installer.signal(SIGTERM);
        while (installer.running())
            std::this_thread::sleep_for(5ms);
        old.signal(SIGKILL);
        while (old.running())
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(WEXITSTATUS(*installer.exitStatus()), 75);
        EXPECT_EQ(Json::parse(readFile(result()).value_or("null"), nullptr, false)["exit_code"], 75);
        EXPECT_TRUE(opened().empty());
    }

    // The next launch of the old copy reports the last failure and consumes its result.
    writeFileAtomically(result(), R"({"status":"failed","to_build":100,"exit_code":10})");
    current = std::make_unique<HeadlessSession>(options());
    current->waitFor("ready");
    current->waitFor("state", 30s);
    EXPECT_EQ(logged("update_install_failure"), (std::vector<std::string>{"updater_result/exit_10"}));
    EXPECT_FALSE(fs::exists(result()));
}

} // namespace
