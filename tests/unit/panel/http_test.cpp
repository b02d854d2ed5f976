#include "base/errors.h"
#include "base/sleep.h"
#include "panel/http.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

class HttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }

    Task<std::string> get(const std::string& path, double timeout = 5) {
        co_return co_await http(server.baseUrl() + path, "GET", {}, std::nullopt, timeout);
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    HttpsServer server;
};

TEST_F(HttpTest, OnlyTwoHundredsAreSuccess) {
    struct Case {
        int status;
        std::string body;
        std::string expected; // body on success, else the error's text
        bool success;
    };
    const Case cases[] = {
        {200, "", "", true},
        {200, R"({"status":"success","message":"操作成功","data":{},"error":null})",
         R"({"status":"success","message":"操作成功","data":{},"error":null})", true},
        {299, "edge", "edge", true},
        {300, "", "请求失败 HTTP 300", false},
        {304, "", "请求失败 HTTP 304", false},
        {401, R"({"message":"账号或密码错误"})", "账号或密码错误", false},
        {422, R"({"message":"邮箱格式不正确","errors":{"email":["bad"]}})", "邮箱格式不正确", false},
        {403, R"({"status":"fail","message":"该账户已被停止使用","data":null,"error":null})",
         "该账户已被停止使用", false},
        {500, "<html><body>Server Error</body></html>", "请求失败 HTTP 500", false},
        {500, R"({"message":""})", "请求失败 HTTP 500", false},
        {500, R"({"message":42})", "请求失败 HTTP 500", false},
        {502, R"(["message"])", "请求失败 HTTP 502", false},
    };
    for (const auto& c : cases) {
        server.route("GET", "/status",
                     HttpResponse{c.status, {{"Content-Type", "application/json"}}, c.body});
        if (c.success) {
            EXPECT_EQ(runTask(loop, get("/status")), c.expected) << c.status;
        } else {
            try {
                runTask(loop, get("/status"));
                ADD_FAILURE() << "status " << c.status << " must fail";
            } catch (const KorvaneHTTPStatusError& error) {
                EXPECT_EQ(error.what(), c.expected);
                EXPECT_EQ(error.statusCode(), c.status);
            }
        }
    }
}

TEST(HttpResponseTest, InterimAndMissingStatusesAreErrors) {
    // A 1xx answer can only arrive as a final status from a broken server; it still fails.
    EXPECT_THROW(checkHttpResponse(199, ""), KorvaneHTTPStatusError);
    EXPECT_EQ(checkHttpResponse(200, "ok"), "ok");
    try {
        checkHttpResponse(0, "");
        FAIL();
    } catch (const KorvaneError& error) {
        EXPECT_STREQ(error.what(), "没有收到有效的服务器响应");
    }
}

TEST_F(HttpTest, SendsMethodBodyAndOnlyTheCallersHeaders) {
    server.route("POST", "/api/v1/passport/auth/login", HttpResponse::json(200, "{}"));
    auto task = [&]() -> Task<std::string> {
        const HttpHeaders headers = {{"Content-Type", "application/json"}, {"X-Korvane-Client", "macos"}};
        co_return co_await http(server.baseUrl() + "/api/v1/passport/auth/login", "POST", headers,
                                std::string(R"({"email":"a@b.c"})"), 5);
    };
    runTask(loop, task());
    ASSERT_EQ(server.requests().size(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, R"({"email":"a@b.c"})");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("x-korvane-client"), "macos");
    EXPECT_EQ(request.header("user-agent"), "") << "the helper adds no User-Agent of its own";
    EXPECT_EQ(request.header("expect"), "");
}

TEST_F(HttpTest, PutWithABodyKeepsItsMethod) {
    server.route("PUT", "/proxies/Korvane", HttpResponse{204, {}, ""});
    auto task = [&]() -> Task<std::string> {
        co_return co_await http(server.baseUrl() + "/proxies/Korvane", "PUT", {},
                                std::string(R"({"name":"HK"})"), 5);
    };
    EXPECT_EQ(runTask(loop, task()), "");
    EXPECT_EQ(server.count("PUT", "/proxies/Korvane"), 1u);
}

TEST_F(HttpTest, RedirectsAreFollowedAndOnlyTheFinalAnswerCounts) {
    server.route("GET", "/old", HttpResponse{302, {{"Location", server.baseUrl() + "/new"}}, ""});
    server.route("GET", "/new", HttpResponse::text(200, "moved here"));
    EXPECT_EQ(runTask(loop, get("/old")), "moved here");
}

TEST_F(HttpTest, TimeOutFiresWithTheTransportsOwnText) {
    server.route("GET", "/slow", HttpResponse{200, {}, "late", 3s});
    const auto start = std::chrono::steady_clock::now();
    try {
        runTask(loop, get("/slow", 0.3));
        FAIL() << "expected a time-out";
    } catch (const TransportError& error) {
        EXPECT_NE(std::string(error.what()).find("timed out"), std::string::npos) << error.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(HttpTest, ConnectionErrorsAndDroppedConnectionsAreTransportErrors) {
    server.route("GET", "/drop", HttpResponse::dropped());
    EXPECT_THROW(runTask(loop, get("/drop")), TransportError);
    auto refused = []() -> Task<std::string> {
        co_return co_await http("https://127.0.0.1:1/", "GET", {}, {}, 2);
    };
    EXPECT_THROW(runTask(loop, refused()), TransportError);
}

TEST_F(HttpTest, TlsFailuresAreTransportErrors) {
    HttpsServer plain{HttpsServer::Options{0, false}};
    auto handshake = [&]() -> Task<std::string> {
        co_return co_await http("https://127.0.0.1:" + std::to_string(plain.port()) + "/", "GET", {}, {}, 2);
    };
    EXPECT_THROW(runTask(loop, handshake()), TransportError);
}

TEST_F(HttpTest, CancellationAbandonsTheRequestAtOnce) {
    server.route("GET", "/slow", HttpResponse{200, {}, "late", 5s});
    bool cancelled = false;
    auto task = [&]() -> Task<void> {
        try {
            co_await http(server.baseUrl() + "/slow", "GET", {}, {}, 30);
        } catch (const Cancelled&) {
            cancelled = true;
        }
    };
    auto handle = spawn(task());
    loop.runUntilIdle();
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    const auto start = std::chrono::steady_clock::now();
    handle.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return handle.done(); }, 2s));
    EXPECT_TRUE(cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(HttpTest, ManyRequestsInFlightAtOnce) {
    server.route("GET", "/echo",
                 [](const HttpRequest& request) { return HttpResponse::text(200, request.query); });
    std::vector<std::string> answers(8);
    std::vector<TaskHandle> handles;
    for (int i = 0; i < 8; ++i) {
        auto one = [](HttpsServer& s, int n, std::string& out) -> Task<void> {
            out = co_await http(s.baseUrl() + "/echo?n=" + std::to_string(n), "GET", {}, {}, 5);
        };
        handles.push_back(spawn(one(server, i, answers[static_cast<std::size_t>(i)])));
    }
    ASSERT_TRUE(loop.runUntil([&] {
        for (auto& h : handles)
            if (!h.done()) return false;
        return true;
    }));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(answers[static_cast<std::size_t>(i)], "n=" + std::to_string(i));
}

} // namespace
