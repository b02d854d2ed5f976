// The command runner, the quoting rules and the administrator run through the stand-in
// script host, which feeds the decoded script to a real zsh.

#include "base/errors.h"
#include "base/files.h"
#include "platform/system_paths.h"
#include "sysproxy/command_runner.h"
#include "sysproxy/system_proxy.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

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

} // namespace
