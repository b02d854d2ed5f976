#include "core/mihomo_core.h"
#include "core/runtime_configuration.h"
#include "testing/async_test.h"
#include "testing/fake_http_client.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The controller as the real core answers it, at its fixed loopback address.
class ControllerTest : public ::testing::Test {
protected:
    static std::string url(std::string_view path) {
        return std::string(MihomoCore::kControllerBase) + std::string(path);
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    FakeHttpClient controller;
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
        {HttpResponse::dropped(), false},
    };
    for (const auto& c : cases) {
        controller.route("GET", url("/proxies/n/delay"), c.answer);
        EXPECT_EQ(runTask(loop, MihomoCore::measureDelay(controller, "n",
                                                         "https://probe.example/generate_204", 2500)),
                  c.reached)
            << c.answer.body;
    }
    const HttpRequest request = controller.requests().back();
    EXPECT_EQ(request.url, url("/proxies/n/delay?timeout=2500&url=https://probe.example/generate_204"));
    EXPECT_EQ(request.timeoutSeconds, 3.5);
}

TEST_F(ControllerTest, MeasureDelayGivesUpAfterTheLimitPlusASecond) {
    HttpResponse slow = HttpResponse::json(200, R"({"delay":87})");
    slow.delay = std::chrono::milliseconds(3000);
    controller.route("GET", url("/proxies/n/delay"), slow);
    std::optional<bool> reached;
    auto measure = [](HttpClient& http, std::optional<bool>& out) -> Task<void> {
        out = co_await MihomoCore::measureDelay(http, "n", "https://probe.example/generate_204", 500);
    };
    auto handle = spawn(measure(controller, reached));
    loop.advance(std::chrono::milliseconds(1499));
    EXPECT_FALSE(handle.done());
    loop.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(handle.done());
    EXPECT_EQ(reached, false);
}

TEST_F(ControllerTest, SelectGroupAndVersionRequests) {
    const std::string group = url("/proxies/Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9");
    controller.route("PUT", group, HttpResponse::text(204, ""));
    controller.route(
        "GET", group,
        HttpResponse::json(200, R"({"name":"Korvane 手动节点","now":"香港 01","type":"Selector"})"));
    controller.route("GET", url("/version"), HttpResponse::json(200, R"({"meta":true,"version":"v1.19.2"})"));

    runTask(loop, MihomoCore::version(controller));
    runTask(loop, MihomoCore::select(controller, std::string(kProxyGroupName), "香港 01"));
    const Json state = runTask(loop, MihomoCore::group(controller, std::string(kProxyGroupName)));
    EXPECT_EQ(state.at("now"), "香港 01");

    const auto& requests = controller.requests();
    ASSERT_EQ(requests.size(), 3u);
    std::vector<double> timeouts;
    for (const auto& request : requests)
        timeouts.push_back(request.timeoutSeconds);
    EXPECT_EQ(timeouts, (std::vector<double>{1, 5, 4}));
    EXPECT_EQ(requests[1].headers, (HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_EQ(Json::parse(requests[1].body.value_or("")), (Json{{"name", "香港 01"}}));

    controller.route("PUT", group,
                     HttpResponse::json(400, R"({"message":"Selector update error: proxy not exist"})"));
    EXPECT_EQ(errorOf(loop, MihomoCore::select(controller, std::string(kProxyGroupName), "x")),
              "Selector update error: proxy not exist");
}

} // namespace
