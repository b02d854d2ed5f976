// The helper client against a fake daemon on the per-user socket.

#include "base/errors.h"
#include "platform/system_paths.h"
#include "sysproxy/proxy_helper_client.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace korvane;
using korvane::testing::FakeProxyHelper;
using korvane::testing::SystemTools;
using korvane::testing::TempDir;

namespace {

constexpr uid_t kNobody = 65534;

std::string outcome(const std::string& operation) {
    try {
        return "reply:" + KorvaneProxyHelperClient::send(operation);
    } catch (const KorvaneError& error) {
        return error.what();
    }
}

class HelperClient : public ::testing::Test {
protected:
    HelperClient() { setSystemRoot(dir_.path()); }
    ~HelperClient() override { setSystemRoot(""); }

    void SetUp() override {
        // The client trusts only a superuser peer, so a trusted fake needs one.
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a trusted fake helper";
    }

    TempDir dir_;
    SystemTools tools_{dir_.path()};
};

TEST_F(HelperClient, RepliesAndTheirMeaning) {
    struct Case {
        std::string reply;
        std::string expected;
    } cases[] = {
        {"OK\n", "reply:OK"},
        {" ON ", "reply:ON"},
        {"\r\nOFF\t", "reply:OFF"},
        {"ok", "网络辅助服务返回异常"},
        {"ONE", "网络辅助服务返回异常"},
        {"ERR_x", "网络代理操作未完成，请检查辅助服务是否正常运行"},
        {" ERR_NOT_ALLOWED\n", "网络代理操作未完成，请检查辅助服务是否正常运行"},
        {"\xff", "网络辅助服务没有响应"},
        {"", "网络辅助服务没有响应"}, // closed without a reply
    };
    for (const auto& c : cases) {
        FakeProxyHelper helper(tools_.helperSocket(), c.reply);
        EXPECT_EQ(outcome("enable"), c.expected) << c.reply;
        EXPECT_EQ(helper.received(), "enable\n") << c.reply;
    }
}

TEST_F(HelperClient, HelperNotRunningAsRootIsRefusedBeforeAnythingIsWritten) {
    FakeProxyHelper helper(tools_.helperSocket(), "OK", kNobody);
    EXPECT_EQ(outcome("restore"), "网络辅助服务身份校验失败");
    EXPECT_EQ(helper.received(), "");
}

TEST_F(HelperClient, RequestsThatCannotBeMade) {
    FakeProxyHelper helper(tools_.helperSocket(), "OK");
    EXPECT_EQ(outcome("shutdown"), "无效的网络代理辅助操作");
    EXPECT_EQ(outcome("enable\n"), "无效的网络代理辅助操作");
    EXPECT_EQ(helper.received(), "");

    setSystemRoot(dir_.path() / "elsewhere");
    EXPECT_EQ(outcome("status"), "Korvane 网络辅助服务未运行，请通过安装器修复安装");

    // The socket path with its zero must fit 103 bytes.
    const std::string suffix = "/var/run/korvane-proxy-" + std::to_string(::getuid()) + ".sock";
    setSystemRoot("/" + std::string(102 - suffix.size() - 1, 'r'));
    EXPECT_EQ(KorvaneProxyHelperClient::socketPath().string().size(), 102u);
    EXPECT_EQ(outcome("status"), "Korvane 网络辅助服务未运行，请通过安装器修复安装");
    setSystemRoot("/" + std::string(103 - suffix.size() - 1, 'r'));
    EXPECT_EQ(outcome("status"), "网络辅助服务地址无效");
}

TEST_F(HelperClient, EnabledOnlyWhenInstalledAndOn) {
    {
        FakeProxyHelper helper(tools_.helperSocket(), "ON");
        EXPECT_FALSE(KorvaneProxyHelperClient::enabled());
        EXPECT_EQ(helper.received(), "") << "no launch daemon file, so no socket is opened";
        tools_.setHelperInstalled(true);
        EXPECT_TRUE(KorvaneProxyHelperClient::enabled());
        EXPECT_EQ(helper.received(), "status\n");
    }
    for (const char* reply : {"OFF", "OK", "ERR_BUSY"}) {
        FakeProxyHelper helper(tools_.helperSocket(), reply);
        EXPECT_FALSE(KorvaneProxyHelperClient::enabled()) << reply;
    }
    EXPECT_FALSE(KorvaneProxyHelperClient::enabled()) << "installed, nobody listening";
}

} // namespace
