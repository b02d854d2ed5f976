// The command runner, the quoting rules and the administrator run through the stand-in
// script host, which feeds the decoded script to a real zsh.

#include "base/errors.h"
#include "base/files.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "sysproxy/command_runner.h"
#include "sysproxy/proxy_change_lock.h"
#include "sysproxy/system_proxy.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace korvane;
using korvane::testing::SystemTools;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr const char* kEnablePrompt =
    "Korvane 需要设置 Mac 网络代理来连接您的节点，代理地址为 127.0.0.1:7897。此授权只用于更改网络代理设置。";
constexpr const char* kRestorePrompt =
    "Korvane 需要恢复您原来的 Mac 网络代理设置。仅恢复此前保存的网络配置。";

TEST(Quoting, ShellAndScriptHostRules) {
    EXPECT_EQ(shellQuote("Wi-Fi"), "'Wi-Fi'");
    EXPECT_EQ(shellQuote("Bob's Mac"), "'Bob'\\''s Mac'");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(scriptHostLiteral(R"(a\b "c")"), R"("a\\b \"c\"")");
    EXPECT_EQ(scriptHostLiteral("有线"), "\"有线\"");
}

TEST(CommandRunner, ReturnsOutputAndErrorTogetherUntrimmed) {
    EXPECT_EQ(CommandRunner::run("/bin/sh", {"-c", "printf 'out\\n'; printf ' err ' >&2"}), "out\n err ");
}

TEST(CommandRunner, FailureCarriesTheFirst180Characters) {
    try {
        CommandRunner::run("/bin/sh",
                           {"-c", "i=0; while [ $i -lt 500 ]; do printf '网'; i=$((i+1)); done; exit 1"});
        FAIL() << "no error";
    } catch (const KorvaneError& error) {
        std::string expected = "系统代理命令失败：";
        for (int i = 0; i < 180; ++i)
            expected += "网";
        EXPECT_EQ(std::string(error.what()), expected);
    }
    EXPECT_THROW(CommandRunner::run("/bin/sh", {"-c", "kill -9 $$"}), KorvaneError);
}

TEST(CommandRunner, OutputThatIsNotUtf8ReadsEmpty) {
    EXPECT_EQ(CommandRunner::run("/bin/sh", {"-c", "printf '\\377\\376'"}), "");
}

TEST(CommandRunner, ProgramThatCannotStartIsAPlatformError) {
    TempDir dir;
    EXPECT_THROW(CommandRunner::run((dir.path() / "missing").string(), {}), FileError);
}

class PrivilegedRun : public ::testing::Test {
protected:
    PrivilegedRun() { setSystemRoot(dir_.path()); }
    ~PrivilegedRun() override { setSystemRoot(""); }

    TempDir dir_;
    SystemTools tools_{dir_.path()};
};

TEST_F(PrivilegedRun, ScriptReachesZshByteForByteBehindTheRightPrompt) {
    const fs::path out = dir_.path() / "out";
    const std::string text = "Bob's \"Mac\" \\ 有线 网络 $HOME `x`";
    SystemProxy::runPrivileged(
        "#!/bin/zsh\nprint -rn -- " + shellQuote(text) + " > " + shellQuote(out.string()) + "\n", "enable");
    EXPECT_EQ(readFile(out).value_or("<none>"), text);
    SystemProxy::runPrivileged("true\n", "restore");
    SystemProxy::runPrivileged("true\n", "Restore");
    EXPECT_EQ(tools_.prompts(), (std::vector<std::string>{kEnablePrompt, kRestorePrompt, kEnablePrompt}));
}

TEST_F(PrivilegedRun, DismissedPromptAndFailuresAreTold) {
    tools_.setPromptMode("cancel");
    EXPECT_THROW(SystemProxy::runPrivileged("true\n", "enable"), ProxyAuthorizationCancelled);
    tools_.setPromptMode("fail");
    try {
        SystemProxy::runPrivileged("true\n", "enable");
        FAIL() << "no error";
    } catch (const ProxyAuthorizationCancelled&) {
        FAIL() << "a failure is not a refusal";
    } catch (const KorvaneError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("系统代理命令失败：")) << error.what();
    }
    tools_.setPromptMode("run");
    try {
        SystemProxy::runPrivileged("echo broken; exit 3\n", "enable");
        FAIL() << "no error";
    } catch (const ProxyAuthorizationCancelled&) {
        FAIL() << "a failing script is not a refusal";
    } catch (const KorvaneError& error) {
        EXPECT_NE(std::string(error.what()).find("broken"), std::string::npos) << error.what();
    }
}

TEST_F(PrivilegedRun, RefusalMarkersInAnyLetterCase) {
    struct Case {
        const char* output;
        bool refusal;
    } cases[] = {
        {"execution error: (-128)", true}, {"USER CANCELED.", true}, {"User Cancelled", true},
        {"操作被用户取消", true},          {"user cancel", false},   {"password incorrect (-60007)", false},
    };
    const fs::path host = dir_.path() / "usr/bin/osascript";
    for (const auto& c : cases) {
        writeFileAtomically(host, std::string("#!/bin/sh\nprintf '%s' '") + c.output + "'\nexit 1\n", 0755);
        try {
            SystemProxy::runPrivileged("true\n", "enable");
            ADD_FAILURE() << "no error for " << c.output;
        } catch (const ProxyAuthorizationCancelled&) {
            EXPECT_TRUE(c.refusal) << c.output;
        } catch (const KorvaneError& error) {
            EXPECT_FALSE(c.refusal) << c.output;
            EXPECT_EQ(std::string(error.what()), std::string("系统代理命令失败：") + c.output);
        }
    }
}

// A run of a change keeps the change's lock as its descriptor 3, in a process group of its own,
// and nothing else of this process's; a run left behind by its client (here a background
// process that outlives the run) is ended by the next change's lock.
TEST(ChangeLock, ARunKeepsTheLockAloneAndALeftoverRunIsEndedByTheNextChange) {
    TempDir dir;
    const fs::path file = dir.path() / "proxy-backup.json.lock";
    // Not close-on-exec: inherited by children unless they are careful.
    const int stray = ::fcntl(STDERR_FILENO, F_DUPFD, 20);
    ASSERT_GE(stray, 20);
    std::string leftover;
    {
        const ProxyChangeLock change(file);
        ASSERT_GE(change.fd(), 0);
        const std::string seen =
            CommandRunner::run("/bin/sh",
                               {"-c", "readlink /proc/$$/fd/3; [ -e /proc/$$/fd/" + std::to_string(stray) +
                                          " ] && echo stray; ps -o pgid= -p $$ | tr -d ' '; echo $$"},
                               &change);
        std::istringstream lines(seen);
        std::string lock, group, pid;
        std::getline(lines, lock);
        std::getline(lines, group);
        std::getline(lines, pid);
        EXPECT_EQ(seen.find("stray"), std::string::npos) << seen;
        EXPECT_EQ(lock, file.string());
        EXPECT_EQ(group, pid) << seen;
        leftover = CommandRunner::run("/bin/sh", {"-c", "sleep 30 >/dev/null 2>&1 & echo $!"}, &change);
    }
    ::close(stray);
    const auto sleeper = static_cast<pid_t>(std::stol(leftover));
    ASSERT_EQ(::kill(sleeper, 0), 0) << "the leftover run holds the lock";

    const auto started = std::chrono::steady_clock::now();
    const ProxyChangeLock next(file);
    EXPECT_GE(next.fd(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    for (int i = 0; i < 100 && !processEnded(sleeper); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(processEnded(sleeper));
}

} // namespace
