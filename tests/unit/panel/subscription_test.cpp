#include "base/errors.h"
#include "base/json.h"
#include "base/yaml.h"
#include "panel/http.h"
#include "panel/subscription_parser.h"
#include "panel/xboard_service.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::testing;

namespace {

std::vector<std::string> namesOf(const std::vector<Node>& nodes) {
    std::vector<std::string> names;
    for (const auto& node : nodes)
        names.push_back(node.name);
    return names;
}

std::string failureOf(const std::string& text) {
    try {
        extractNodes(text);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(SubscriptionParserTest, KeepsRealServersInOrderWithTheirRules) {
    const auto nodes = extractNodes(R"(
proxies:
  - {name: "剩余流量：100 GB", type: ss, server: a.example, port: 1}
  - {name: "套餐到期：2025-01-01", type: ss, server: a.example, port: 1}
  - {name: "https://panel.example", type: ss, server: a.example, port: 1}
  - {name: "  香港 01", type: vless, server: hk.example, port: "8443"}
  - {name: HK, type: ss, server: hk2.example, port: 0}
  - {name: HK, type: ss, server: hk3.example, port: 443}
  - {name: HK, type: ss, server: hk4.example, port: 444}
  - {name: 无类型, server: x.example, port: 80}
  - {name: 空地址, type: ss, server: "", port: 80}
  - {name: 带空格端口, type: ss, server: x.example, port: " 8443"}
  - {name: 小数端口, type: ss, server: x.example, port: "443.0"}
  - {name: 浮点端口, type: ss, server: x.example, port: 443.0}
  - {name: 超出端口, type: ss, server: x.example, port: 65536}
  - {name: 无端口, type: ss, server: x.example}
  - {name: 12345, type: ss, server: x.example, port: 80}
  - {name: 加号端口, type: trojan, server: y.example, port: "+443"}
)");
    EXPECT_EQ(namesOf(nodes), (std::vector<std::string>{"  香港 01", "HK", "无类型", "加号端口"}));
    EXPECT_EQ(nodes[0], (Node{"  香港 01", "VLESS", "hk.example", 8443}));
    EXPECT_EQ(nodes[1].host, "hk3.example") << "an entry skipped for its port does not reserve the name";
    EXPECT_EQ(nodes[2].type, "PROXY");
    EXPECT_EQ(nodes[3].port, 443);
}

TEST(SubscriptionParserTest, BlockStyleWithAnchorsAndMergeKeys) {
    const auto nodes = extractNodes(R"(
x-base: &base {type: trojan, port: 443}
proxies:
  - name: 日本 01
    <<: *base
    server: jp.example
  - name: 日本 02
    <<: *base
    server: jp2.example
    port: 8443
)");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0], (Node{"日本 01", "TROJAN", "jp.example", 443}));
    EXPECT_EQ(nodes[1].port, 8443);
}

TEST(SubscriptionParserTest, WhatIsNotAProxyConfiguration) {
    const char* invalid[] = {
        "",
        "just text",
        "- a\n- b\n",
        "proxies: 3\n",
        "rules: []\n",
        "proxies:\n  - {name: a, type: ss, server: s, port: 1}\n  - plain string\n",
        "1: x\nproxies: []\n",
    };
    for (const char* text : invalid)
        EXPECT_EQ(failureOf(text), "订阅没有返回有效的 Mihomo 节点") << text;
    EXPECT_EQ(failureOf("proxies: []\n"), "订阅中没有可用的节点");
    EXPECT_EQ(failureOf("proxies:\n  - {name: 官网, type: ss, server: s, port: 1}\n"),
              "订阅中没有可用的节点");
    EXPECT_EQ(failureOf("bad \xC3 bytes"), "订阅没有返回有效的 Mihomo 节点");
    EXPECT_THROW(extractNodes("proxies: [unclosed\n"), YamlError);
}

class SubscriptionRequestTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }
    void SetUp() override { remote.api = server.baseUrl(); }

    void answerProfile(const Json& data) {
        server.route("GET", "/api/v1/user/getSubscribe",
                     HttpResponse::json(200, Json{{"status", "success"}, {"data", data}}.dump()));
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    HttpsServer server;
    KorvaneRemote remote{std::vector<std::string>{}};
    XBoardService xboard{defaultHttpClient(), std::string("1.0.0")};
};

TEST_F(SubscriptionRequestTest, SubscriptionUrlFromTheProfile) {
    answerProfile({{"subscribe_url", ""}, {"token", "a b"}, {"email", "u@x.example"}, {"plan_id", 1}});
    auto subscription = runTask(loop, xboard.subscription(remote, "Bearer t"));
    EXPECT_EQ(subscription.url, server.baseUrl() + "/s/a%20b");
    EXPECT_EQ(subscription.email, "u@x.example");
    EXPECT_TRUE(subscription.overview.hasPlan);
    EXPECT_EQ(server.requests().at(0).header("authorization"), "Bearer t");

    answerProfile({{"subscribe_url", "http://plain.example/s/x"}, {"token", "tok"}});
    EXPECT_EQ(errorOf(loop, xboard.subscription(remote, "Bearer t")), "未取得有效的 HTTPS 订阅地址");
    answerProfile({{"email", 7}});
    EXPECT_EQ(errorOf(loop, xboard.subscription(remote, "Bearer t")), "未取得订阅地址");
    server.route("GET", "/api/v1/user/getSubscribe",
                 HttpResponse::json(200, R"({"status":"success","data":[]})"));
    EXPECT_EQ(errorOf(loop, xboard.subscription(remote, "Bearer t")), "没有读取到账号订阅资料");
    server.route("GET", "/api/v1/user/getSubscribe",
                 HttpResponse::json(403, R"({"message":"未登录或登陆已过期"})"));
    EXPECT_EQ(errorOf(loop, xboard.subscription(remote, "Bearer t")), "未登录或登陆已过期");
}

TEST_F(SubscriptionRequestTest, DownloadSendsTheCoresHeadersAndParsesOffTheMainThread) {
    const std::string yaml = "proxies:\n  - {name: 香港 01, type: ss, server: hk.example, port: 443}\n";
    server.route("GET", "/s/tok", HttpResponse::text(200, yaml));
    auto [text, nodes] = runTask(loop, xboard.nodes(server.baseUrl() + "/s/tok"));
    EXPECT_EQ(text, yaml);
    EXPECT_EQ(nodes.size(), 1u);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.header("user-agent"), "clash.meta");
    EXPECT_EQ(request.header("accept"), "text/yaml,text/plain,*/*");
}

} // namespace
