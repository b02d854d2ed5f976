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
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// Makes each path of "ro:<path>" read-only and each of "busy:<path>" a mount point of its own
// (which cannot be renamed), then runs the rest of the command line.
constexpr const char* kMounter = R"(while [ "$1" != "--" ]; do
  case "$1" in
    ro:*) mount --bind -o ro "${1#ro:}" "${1#ro:}" || exit 99 ;;
    busy:*) mount --bind "${1#busy:}" "${1#busy:}" || exit 99 ;;
  esac
  shift
done
shift
exec "$@")";

// What the script logs besides its first line, each starting with one of these.
const std::vector<std::string> kLogLines = {"App PID ",         "Invalid new",     "Refusing",
                                            "Install failed",   "Installed build", "Launch failed",
                                            "Korvane canonical"};

class FirstInstallScript {
public:
    FirstInstallScript() : tools(root()) {
        tools.trust(team);
        fs::create_directories(root() / "Applications");
        makeSource(dir.path() / "Downloads" / "Korvane.app", {.build = 101});
    }

    fs::path root() const { return dir.path() / "root"; }
    fs::path app() const { return root() / "Applications" / "Korvane.app"; }
    fs::path log() const { return dir.path() / "updates" / "installer.log"; }
    fs::path script() const { return dir.path() / "updates" / "install-1.zsh"; }

    void makeSource(const fs::path& bundle, const TestBundle& contents, const SigningKey* key = nullptr) {
        source = bundle;
        writeTestBundle(bundle, contents);
        signBundle(bundle, key ? *key : team, contents.identifier);
    }
    void install(const std::string& version) {
        writeTestBundle(app(), {.build = 100, .versionText = version});
        signBundle(app(), team);
    }
    // Puts a script in place of a tool; the stand-in itself stays beside it as <tool>-real.
    void wrap(const std::string& tool, const std::string& body) {
        const fs::path path = root() / fs::path(tool).relative_path();
        fs::rename(path, path.string() + "-real");
        tools.replace(tool, "#!/bin/sh\n" + body);
    }

    int run() {
        fs::create_directories(script().parent_path());
        std::ofstream(script()) << KorvaneMigration::kFirstInstallScript;
        fs::permissions(script(), fs::perms(0700));
        std::vector<std::string> command = {"/usr/bin/unshare", "-m", "--propagation", "private",
                                            "/bin/sh",          "-c", kMounter,        "sh"};
        command.insert(command.end(), mounts.begin(), mounts.end());
        for (const std::string& argument :
             {std::string("--"), (root() / "bin/zsh").string(), script().string(), source.string(),
              app().string(), selfPid, others, required, log().string(), removeSource})
            command.push_back(argument);
        std::vector<char*> argv;
        for (auto& argument : command)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::string rootVariable = "KORVANE_ROOT=" + root().string();
        std::vector<char*> environment;
        for (char** variable = environ; *variable; ++variable)
            if (!std::string_view(*variable).starts_with("KORVANE_ROOT=")) environment.push_back(*variable);
        environment.push_back(rootVariable.data());
        environment.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(dir.path().c_str()) == 0) ::execve(argv[0], argv.data(), environment.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::ifstream in(log());
        for (std::string line; std::getline(in, line);) {
            if (lines.empty()) lines.push_back(line);
            for (const auto& prefix : kLogLines)
                if (line.starts_with(prefix)) lines.push_back(line);
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
};

struct Case {
    const char* name;
    std::function<void(FirstInstallScript&)> arrange;
    int code;
    std::vector<std::string> lines; // after the first; "$APP" stands for the installation
    bool stagingLeft;
    std::string installed; // CFBundleVersion at APP afterwards, "none" when nothing is there
    std::vector<std::string> opened;
    bool sourceKept = true;
};

TEST(FirstInstallScriptTest, EveryWayOutLeavesTheInstallationAsItsCodeSays) {
    if (::geteuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
    SigningKey stranger("TEAMB");
    const std::vector<Case> cases = {
        {"fresh install from Downloads",
         [](auto& s) { s.removeSource = "yes"; },
         0,
         {"Installed build 101 at $APP", "Korvane canonical install complete"},
         false,
         "101",
         {"101"},
         false},
        {"over an older version, source not the download copy",
         [](auto& s) { s.install("100"); },
         0,
         {"Installed build 101 at $APP", "Korvane canonical install complete"},
         false,
         "101",
         {"101"}},
        {"over a version that is no number",
         [](auto& s) { s.install("102.1"); },
         0,
         {"Installed build 101 at $APP", "Korvane canonical install complete"},
         false,
         "101",
         {"101"}},
        {"source not a bundle",
         [](auto& s) { s.source = s.dir.path() / "Downloads"; },
         11,
         {},
         false,
         "none",
         {}},
        {"Applications read-only",
         [](auto& s) {
             s.install("100");
             s.mounts = {"ro:" + (s.root() / "Applications").string()};
         },
         12,
         {},
         false,
         "100",
         {}},
        {"staging directory not created",
         [](auto& s) { s.tools.replace("/usr/bin/mktemp", "#!/bin/sh\nexit 1\n"); },
         13,
         {},
         false,
         "none",
         {}},
        {"copy fails half way",
         [](auto& s) { s.tools.replace("/usr/bin/ditto", "#!/bin/sh\nmkdir -p \"$2/Contents\"\nexit 1\n"); },
         14,
         {},
         true,
         "none",
         {}},
        {"wrong build",
         [](auto& s) { s.required = "102"; },
         15,
         {"Invalid new Korvane.app; old one untouched"},
         false,
         "none",
         {}},
        {"wrong identifier",
         [](auto& s) {
             s.makeSource(s.dir.path() / "Korvane.app", {.build = 101, .identifier = "art.other"});
         },
         15,
         {"Invalid new Korvane.app; old one untouched"},
         false,
         "none",
         {}},
        {"untrusted signature",
         [&](auto& s) {
             s.install("100");
             s.makeSource(s.dir.path() / "Korvane.app", {.build = 101}, &stranger);
         },
         15,
         {"Invalid new Korvane.app; old one untouched"},
         false,
         "100",
         {}},
        {"installed build newer",
         [](auto& s) { s.install("102"); },
         16,
         {"Refusing to downgrade already installed version"},
         false,
         "102",
         {}},
        {"installed build newer beyond 64 bits",
         [](auto& s) { s.install("000123456789012345678901"); },
         16,
         {"Refusing to downgrade already installed version"},
         false,
         "000123456789012345678901",
         {}},
        {"installed version cannot be moved aside",
         [](auto& s) {
             s.install("100");
             s.mounts = {"busy:" + s.app().string()};
         },
         17,
         {},
         false,
         "100",
         {}},
        {"signature broken once in place",
         [](auto& s) {
             s.install("100");
             s.wrap("/usr/bin/codesign", "for a; do last=$a; done\n[ \"$last\" = '" + s.app().string() +
                                             "' ] && exit 1\nexec \"$0-real\" \"$@\"\n");
         },
         18,
         {"Install failed, restoring old Korvane"},
         true,
         "100",
         {"100"}},
        {"new version does not open",
         [](auto& s) {
             s.install("100");
             fs::create_directories(s.root() / "var/stand-in/open");
             std::ofstream(s.root() / "var/stand-in/open/fail-builds") << "101\n";
         },
         19,
         {"Installed build 101 at $APP", "Launch failed; rolling back"},
         true,
         "100",
         {"100"}},
    };
    const std::regex firstLine(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Korvane install to /Applications build \d+)");
    for (const auto& c : cases) {
        FirstInstallScript s;
        c.arrange(s);
        const fs::path source = s.source;
        EXPECT_EQ(s.run(), c.code) << c.name;
        auto lines = s.logLines();
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_TRUE(std::regex_match(lines.front(), firstLine)) << c.name << ": " << lines.front();
        lines.erase(lines.begin());
        auto expected = c.lines;
        for (auto& line : expected)
            if (auto at = line.find("$APP"); at != std::string::npos) line.replace(at, 4, s.app().string());
        EXPECT_EQ(lines, expected) << c.name;
        EXPECT_EQ(s.stagingDirectories(), c.stagingLeft ? 1 : 0) << c.name;
        EXPECT_EQ(s.installed(), c.installed) << c.name;
        EXPECT_EQ(s.opened(), c.opened) << c.name;
        EXPECT_EQ(fs::exists(source), c.sourceKept) << c.name;
        EXPECT_EQ(fs::exists(s.script()), c.code != 0) << c.name;
    }
}

// All old copies share one budget of 240 polls of half a second: the first copy used 200 of them
// before it quit, so the second, which ignores SIGTERM, gets the remaining 40.
TEST(FirstInstallScriptTest, GivesUpOnCopiesThatDoNotQuitAfterOneSharedBudget) {
    FirstInstallScript s;
    s.install("100");
    ReapedChild first("exec sleep 600");
    ReapedChild stubborn("trap '' TERM; exec sleep 600");
    stubborn.waitForExec("/usr/bin/sleep");
    ::kill(stubborn.pid(), SIGTERM);
    const fs::path polls = s.dir.path() / "polls";
    s.tools.replace("/bin/sleep", "#!/bin/sh\necho \"$1\" >> '" + polls.string() + "'\n[ $(wc -l < '" +
                                      polls.string() + "') -eq 200 ] && kill -9 " +
                                      std::to_string(first.pid()) + "\nexit 0\n");
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

// A source path with a space, quotes and command substitutions is installed like any other and
// runs nothing; it is removed afterwards as the known download copy.
TEST(FirstInstallScriptTest, HostilePathsInstallAndRunNothing) {
    FirstInstallScript s;
    const fs::path hostile = s.dir.path() / "Down loads" / "it's \"$(touch pwned)\" `touch pwned2`.app";
    s.makeSource(hostile, {.build = 101});
    s.removeSource = "yes";
    ReapedChild self("sleep 0.3");
    s.selfPid = std::to_string(self.pid());

    EXPECT_EQ(s.run(), 0);
    EXPECT_EQ(s.installed(), "101");
    EXPECT_EQ(s.opened(), std::vector<std::string>{"101"});
    EXPECT_FALSE(fs::exists(hostile));
    EXPECT_TRUE(fs::exists(hostile.parent_path()));
    for (const auto& entry : fs::recursive_directory_iterator(s.dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("pwned")) << entry.path();
}

// The installed build as the offer reads it: a file that is no bundle information or has no
// usable value reads as "", one that cannot be read or parsed throws (and counts as 0 there).
TEST(KorvaneMigrationTest, LoadPlistVersion) {
    TempDir dir;
    auto plist = [](const std::string& body) {
        return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)" + body + "</plist>";
    };
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {plist("<dict><key>CFBundleVersion</key><string>101</string></dict>"), "101"},
        {plist("<dict><key>CFBundleVersion</key><string>10 1</string></dict>"), "10 1"},
        {plist("<dict><key>CFBundleVersion</key><integer>101</integer></dict>"), ""},
        {plist("<dict><key>CFBundleName</key><string>Korvane</string></dict>"), ""},
        {plist("<array><string>101</string></array>"), ""},
        {"not a property list", std::nullopt},
        {std::nullopt, std::nullopt}, // no file
    };
    int index = 0;
    for (const auto& [content, version] : cases) {
        const fs::path bundle = dir.path() / (std::to_string(++index) + ".app");
        fs::create_directories(bundle / "Contents");
        if (content) std::ofstream(bundle / "Contents/Info.plist") << *content;
        if (version) {
            EXPECT_EQ(KorvaneMigration::loadPlistVersion(bundle), *version) << index;
        } else {
            EXPECT_ANY_THROW(KorvaneMigration::loadPlistVersion(bundle)) << index;
        }
    }
}

} // namespace
