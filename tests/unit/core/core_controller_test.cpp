#include "core/mihomo_core.h"
#include "core/runtime_configuration.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvane;
using namespace korvane::testing;

namespace {

TEST(MihomoCoreInterface, FilesAndCommandLine) {
    MihomoCore core("/support", "/bundle/Contents/Resources");
    EXPECT_EQ(core.binDir(), std::filesystem::path("/bundle/Contents/Resources/bin"));
    EXPECT_EQ(core.executable(), std::filesystem::path("/bundle/Contents/Resources/bin/micore"));
    EXPECT_EQ(core.arguments(),
              (std::vector<std::string>{"-d", "/support/runtime", "-f", "/support/runtime/config.yaml"}));
}

TEST(MihomoCoreInterface, NamesArePercentEncodedAsOneSegment) {
    EXPECT_EQ(MihomoCore::encodeName("Aa0-._~"), "Aa0-._~");
    EXPECT_EQ(MihomoCore::encodeName("a b/c</d"), "a%20b%2Fc%3C%2Fd");
    EXPECT_EQ(MihomoCore::encodeName(kProxyGroupName), "Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9");
    EXPECT_EQ(MihomoCore::encodeName("x%41"), "%78%25%34%31");
}

// The controller as the real core answers it, on its fixed loopback port.
class ControllerTest : public ::testing::Test {
protected:
    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    HttpsServer controller{HttpsServer::Options{9097, false}};
};

TEST_F(ControllerTest, MeasureDelayCountsOnlyAPositiveIntegerDelay) {
    struct Case {
        HttpResponse answer;
        bool reached;
    };
    const Case cases[] = {
        {HttpResponse::json(200, R"({"delay":87})"), true},
        {HttpResponse::json(200, R"({"delay":0})"), false},
        {HttpResponse::json(200, R"({"delay":-3})"), false},
        {HttpResponse::json(200, R"({"delay":87.5})"), false},
        {HttpResponse::json(200, R"({"delay":"87"})"), false},
        {HttpResponse::json(200, R"({})"), false},
        {HttpResponse::json(200, R"([87])"), false},
        {HttpResponse::json(200, "not json"), false},
        {HttpResponse::json(503, R"({"message":"An error occurred in the delay test"})"), false},
        {HttpResponse::json(504, R"({"message":"Timeout"})"), false},
    };
    for (const auto& c : cases) {
        controller.route("GET", "/proxies/n/delay", c.answer);
        EXPECT_EQ(runTask(loop, MihomoCore::measureDelay("n", "https://probe.example/generate_204", 2500)),
                  c.reached)
            << c.answer.body;
    }
    const HttpRequest request = controller.requests().back();
    EXPECT_EQ(request.query, "timeout=2500&url=https://probe.example/generate_204");
}

TEST_F(ControllerTest, MeasureDelayGivesUpAfterTheLimitPlusASecond) {
    HttpResponse slow = HttpResponse::json(200, R"({"delay":87})");
    slow.delay = std::chrono::milliseconds(3000);
    controller.route("GET", "/proxies/n/delay", slow);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay("n", "https://probe.example/generate_204", 500)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1400));
    EXPECT_LT(waited, std::chrono::milliseconds(2900));
}

TEST(MihomoCoreInterface, MeasureDelayIsFalseWithoutAController) {
    ManualLoopScope scope;
    EXPECT_FALSE(runTask(scope.loop, MihomoCore::measureDelay("n", "https://probe.example/", 1000)));
}

TEST_F(ControllerTest, SelectAndGroupRequests) {
    controller.route("PUT", "/proxies/Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9",
                     HttpResponse::text(204, ""));
    controller.route(
        "GET", "/proxies/Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9",
        HttpResponse::json(200, R"({"name":"Korvane 手动节点","now":"香港 01","type":"Selector"})"));
    controller.route("GET", "/version", HttpResponse::json(200, R"({"meta":true,"version":"v1.19.2"})"));

    runTask(loop, MihomoCore::version());
    runTask(loop, MihomoCore::select(std::string(kProxyGroupName), "香港 01"));
    const Json group = runTask(loop, MihomoCore::group(std::string(kProxyGroupName)));
    EXPECT_EQ(group.at("now"), "香港 01");

    const auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].header("content-type"), "application/json");
    EXPECT_EQ(Json::parse(requests[1].body), (Json{{"name", "香港 01"}}));

    controller.route("PUT", "/proxies/Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9",
                     HttpResponse::json(400, R"({"message":"Selector update error: proxy not exist"})"));
    EXPECT_EQ(errorOf(loop, MihomoCore::select(std::string(kProxyGroupName), "x")),
              "Selector update error: proxy not exist");
}

} // namespace
