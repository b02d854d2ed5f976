// The first-install script run for real: Debian's zsh and tools and the stand-ins under a
// temporary system root, each way out reached by arranging the situation (a folder made
// read-only or busy in a private mount namespace, a tool that fails, a copy that will not quit),
// never by changing the script. For each: the exit code, the script's own log lines, the staging
// directory, what is installed afterwards, what was opened and whether the source is still there.

#include "testing/reaped_child.h"
#include "testing/temp_dir.h"
#include "testing/update_packages.h"
#include "update/korvane_migration.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <regex>

using namespace korvane;
using namespace korvane::testing;
namespace fs = std::filesystem;

namespace {

// In a private mount namespace: sets KORVANE_ROOT to $1, makes each "ro:<path>" read-only and each
// "busy:<path>" a mount point (which cannot be renamed), then runs the rest of the command line.
constexpr const char* kMounter = R"(export KORVANE_ROOT="$1"; shift
while [ "$1" != "--" ]; do
  case "$1" in
    ro:*) mount --bind -o ro "${1#ro:}" "${1#ro:}" || exit 99 ;;
    busy:*) mount --bind "${1#busy:}" "${1#busy:}" || exit 99 ;;
  esac
  shift
done
shift
exec "$@")";

// The script's own log lines after the first start with one of these.
const std::vector<std::string> kLogLines = {"App PID",          "Invalid new",     "Refusing",
                                            "Install failed",   "Installed build", "Launch failed",
                                            "Korvane canonical"};

struct Script {
    Script() : tools(root()) {
        tools.trust(team);
        fs::create_directories(root() / "Applications");
        makeSource(dir.path() / "Downloads" / "Korvane.app");
    }
    fs::path root() const { return dir.path() / "root"; }
    fs::path app() const { return root() / "Applications" / "Korvane.app"; }
    fs::path script() const { return dir.path() / "updates" / "install-1.zsh"; }

    // A signed bundle of build 101.
    void makeSource(const fs::path& bundle, const std::string& identifier = kClientIdentifier,
                    const SigningKey* key = nullptr) {
        source = bundle;
        TestBundle contents;
        contents.build = 101;
        contents.identifier = identifier;
        writeTestBundle(bundle, contents);
        signBundle(bundle, key ? *key : team, identifier);
    }
    void install(const std::string& version) {
        TestBundle contents;
        contents.versionText = version;
        writeTestBundle(app(), contents);
        signBundle(app(), team);
    }

    int run() {
        fs::create_directories(script().parent_path());
        std::ofstream(script()) << KorvaneMigration::kFirstInstallScript;
        std::vector<std::string> command = {"/usr/bin/unshare", "-m",      "--propagation",
                                            "private",          "/bin/sh", "-c",
                                            kMounter,           "sh",      root().string()};
        command.insert(command.end(), mounts.begin(), mounts.end());
        for (const std::string& argument :
             {std::string("--"), (root() / "bin/zsh").string(), script().string(), source.string(),
              app().string(), selfPid, others, required, (dir.path() / "updates/installer.log").string(),
              removeSource})
            command.push_back(argument);
        std::vector<char*> argv;
        for (auto& argument : command)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(dir.path().c_str()) == 0) ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::ifstream in(dir.path() / "updates/installer.log");
        for (std::string line; std::getline(in, line);)
            for (const auto& prefix : kLogLines)
                if (lines.empty() || line.starts_with(prefix)) {
                    lines.push_back(line);
                    break;
                }
        return lines;
    }
    int stagingDirectories() const {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(root() / "Applications"))
            count += entry.path().filename().string().starts_with(".korvane-bootstrap.");
        return count;
    }
    std::string installed() const {
        return fs::exists(app()) ? KorvaneMigration::loadPlistVersion(app()) : "none";
    }
    std::vector<std::string> opened() const {
        std::vector<std::string> builds;
        std::ifstream in(root() / "var/stand-in/open/opened.jsonl");
        for (std::string line; std::getline(in, line);)
            builds.push_back(Json::parse(line)["build"].get<std::string>());
        return builds;
    }

    TempDir dir;
    UpdateTools tools;
    SigningKey team{"TEAMA"};
    fs::path source;
    std::vector<std::string> mounts;
    std::string selfPid = "99999999"; // no such process
    std::string others;
    std::string required = "101";
    std::string removeSource = "no";
    std::optional<ReapedChild> self;
};

struct Case {
    const char* name;
    int code;
    std::vector<std::string> lines; // after the first; "$APP" stands for the installation
    bool stagingLeft;
    std::string installed; // CFBundleVersion at APP afterwards
    std::vector<std::string> opened;
    bool sourceKept;
    std::function<void(Script&)> arrange;
};

const std::vector<std::string> kInstalled = {"Installed build 101 at $APP",
                                             "Korvane canonical install complete"};
const std::vector<std::string> kInvalid = {"Invalid new Korvane.app; old one untouched"};
const std::vector<std::string> kRefused = {"Refusing to downgrade already installed version"};

TEST(FirstInstallScriptTest, EveryWayOutLeavesTheInstallationAsItsCodeSays) {
    if (::geteuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
    SigningKey other("TEAMB");
    // clang-format off
    const std::vector<Case> cases = {
        {"fresh install of the download copy", 0, kInstalled, false, "101", {"101"}, false,
         [](Script& s) { s.removeSource = "yes"; }},
        {"a hostile path, its copy waited for", 0, kInstalled, false, "101", {"101"}, false,
         [](Script& s) {
             s.makeSource(s.dir.path() / "Down loads/it's \"$(touch pwned)\" `touch pwned`.app");
             s.removeSource = "yes";
             s.selfPid = std::to_string(s.self.emplace("sleep 0.3").pid());
         }},
        {"over an older version", 0, kInstalled, false, "101", {"101"}, true,
         [](Script& s) { s.install("100"); }},
        {"over a version that is no number", 0, kInstalled, false, "101", {"101"}, true,
         [](Script& s) { s.install("102.1"); }},
        {"source not a bundle", 11, {}, false, "none", {}, true,
         [](Script& s) { s.source = s.dir.path() / "Downloads"; }},
        {"Applications read-only", 12, {}, false, "100", {}, true,
         [](Script& s) { s.install("100"); s.mounts = {"ro:" + (s.root() / "Applications").string()}; }},
        {"no staging directory", 13, {}, false, "none", {}, true,
         [](Script& s) { s.tools.replace("/usr/bin/mktemp", "#!/bin/sh\nexit 1\n"); }},
        {"copy fails half way", 14, {}, true, "none", {}, true,
         [](Script& s) { s.tools.replace("/usr/bin/ditto", "#!/bin/sh\nmkdir -p \"$2/Contents\"; exit 1"); }},
        {"wrong build", 15, kInvalid, false, "none", {}, true,
         [](Script& s) { s.required = "102"; }},
        {"wrong identifier", 15, kInvalid, false, "none", {}, true,
         [](Script& s) { s.makeSource(s.dir.path() / "K.app", "art.other"); }},
        {"untrusted signature", 15, kInvalid, false, "100", {}, true,
         [&](Script& s) { s.install("100"); s.makeSource(s.dir.path() / "K.app", kClientIdentifier, &other); }},
        {"installed build newer", 16, kRefused, false, "102", {}, true,
         [](Script& s) { s.install("102"); }},
        {"installed build newer beyond 64 bits", 16, kRefused, false, "00123456789012345678901", {}, true,
         [](Script& s) { s.install("00123456789012345678901"); }},
        {"installed version cannot be moved aside", 17, {}, false, "100", {}, true,
         [](Script& s) { s.install("100"); s.mounts = {"busy:" + s.app().string()}; }},
        {"signature broken in place", 18, {"Install failed, restoring old Korvane"}, true, "100", {"100"},
         true,
         [](Script& s) {
             s.install("100");
             fs::rename(s.root() / "usr/bin/codesign", s.root() / "usr/bin/codesign-real");
             s.tools.replace("/usr/bin/codesign", "#!/bin/sh\nfor a; do last=$a; done\n[ \"$last\" = '" +
                             s.app().string() + "' ] && exit 1\nexec \"$0-real\" \"$@\"\n");
         }},
        {"new version does not open", 19, {"Installed build 101 at $APP", "Launch failed; rolling back"},
         true, "100", {"100"}, true,
         [](Script& s) {
             s.install("100");
             fs::create_directories(s.root() / "var/stand-in/open");
             std::ofstream(s.root() / "var/stand-in/open/fail-builds") << "101\n";
         }},
    };
    // clang-format on
    const std::regex firstLine(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Korvane install to /Applications build 10[12])");
    for (const auto& c : cases) {
        Script s;
        c.arrange(s);
        const fs::path source = s.source;
        EXPECT_EQ(s.run(), c.code) << c.name;
        auto lines = s.logLines();
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_TRUE(std::regex_match(lines.front(), firstLine)) << c.name << ": " << lines.front();
        auto expected = c.lines;
        expected.insert(expected.begin(), lines.front());
        for (auto& line : expected)
            if (auto at = line.find("$APP"); at != std::string::npos) line.replace(at, 4, s.app().string());
        EXPECT_EQ(lines, expected) << c.name;
        EXPECT_EQ(s.stagingDirectories(), c.stagingLeft ? 1 : 0) << c.name;
        EXPECT_EQ(s.installed(), c.installed) << c.name;
        EXPECT_EQ(s.opened(), c.opened) << c.name;
        EXPECT_EQ(fs::exists(source), c.sourceKept) << c.name;
        EXPECT_EQ(fs::exists(s.script()), c.code != 0) << c.name;
        EXPECT_FALSE(fs::exists(s.dir.path() / "pwned")) << c.name;
    }
}

// All old copies share one budget of 240 polls of half a second: the first copy used 200 of them
// before it quit, so the second, which ignores SIGTERM, gets the remaining 40.
TEST(FirstInstallScriptTest, GivesUpOnCopiesThatDoNotQuitAfterOneSharedBudget) {
    Script s;
    s.install("100");
    ReapedChild first("exec sleep 600");
    ReapedChild stubborn("trap '' TERM; exec sleep 600");
    stubborn.waitForExec("/usr/bin/sleep");
    ::kill(stubborn.pid(), SIGTERM);
    const std::string polls = (s.dir.path() / "polls").string();
    s.tools.replace("/bin/sleep", "#!/bin/sh\necho \"$1\" >> '" + polls + "'\n[ $(wc -l < '" + polls +
                                      "') -eq 200 ] && kill -9 " + std::to_string(first.pid()) +
                                      "\nexit 0\n");
    s.selfPid = std::to_string(first.pid());
    s.others = ",0," + std::to_string(stubborn.pid()) + ",";

    EXPECT_EQ(s.run(), 10);
    const auto lines = s.logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              "App PID " + std::to_string(stubborn.pid()) + " did not exit; original installation untouched");
    std::ifstream in(polls);
    std::vector<std::string> intervals;
    for (std::string line; std::getline(in, line);)
        intervals.push_back(line);
    EXPECT_EQ(intervals, std::vector<std::string>(240, "0.5"));
    EXPECT_EQ(s.stagingDirectories(), 0);
    EXPECT_EQ(s.installed(), "100");
    EXPECT_TRUE(s.opened().empty());
}

} // namespace
