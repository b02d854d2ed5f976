#include "base/errors.h"
#include "base/sleep.h"
#include "panel/http.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

// One request through the process's libcurl client.
Task<std::string> send(std::string url, std::string method, HttpHeaders headers = {},
                       std::optional<std::string> body = std::nullopt, double timeoutSeconds = 60) {
    HttpRequest request{std::move(url), std::move(method), std::move(headers), std::move(body),
                        timeoutSeconds};
    co_return co_await defaultHttpClient().send(std::move(request));
}

class HttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }

    Task<std::string> get(const std::string& path, double timeout = 5) {
        co_return co_await send(server.baseUrl() + path, "GET", {}, std::nullopt, timeout);
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
        co_return co_await send(server.baseUrl() + "/api/v1/passport/auth/login", "POST", headers,
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
        co_return co_await send(server.baseUrl() + "/proxies/Korvane", "PUT", {},
                                std::string(R"({"name":"HK"})"), 5);
    };
    EXPECT_EQ(runTask(loop, task()), "");
    EXPECT_EQ(server.count("PUT", "/proxies/Korvane"), 1u);
}

TEST_F(HttpTest, RedirectsAreFollowedButNeverFromHttpsToPlainHttp) {
    HttpsServer plain{HttpsServer::Options{0, false}};
    for (HttpsServer* s : {&server, &plain}) {
        s->route("GET", "/new", HttpResponse::text(200, "moved here"));
        s->route("GET", "/to-tls", HttpResponse{302, {{"Location", server.baseUrl() + "/new"}}, ""});
        s->route("GET", "/to-plain",
                 HttpResponse{301, {{"Location", plain.baseUrl() + "/new?t=secret"}}, ""});
    }
    server.route("GET", "/hop", HttpResponse{307, {{"Location", server.baseUrl() + "/to-plain"}}, ""});
    auto fetch = [](std::string url) -> Task<std::string> {
        co_return co_await send(std::move(url), "GET", {}, std::nullopt, 5);
    };
    EXPECT_EQ(runTask(loop, fetch(server.baseUrl() + "/to-tls")), "moved here");
    EXPECT_EQ(runTask(loop, fetch(plain.baseUrl() + "/to-plain")), "moved here");
    EXPECT_EQ(runTask(loop, fetch(plain.baseUrl() + "/to-tls")), "moved here");

    const std::string refused = "服务器把请求重定向到不安全的地址：" + plain.baseUrl() + "/new?t=secret";
    for (const char* path : {"/to-plain", "/hop"}) {
        try {
            runTask(loop, fetch(server.baseUrl() + path));
            ADD_FAILURE() << path << " must be refused";
        } catch (const KorvaneError& error) {
            EXPECT_EQ(error.what(), refused) << path;
        }
    }
    EXPECT_EQ(plain.count("GET", "/new"), 1u) << "only the plain request itself reached it";
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
        co_return co_await send("https://127.0.0.1:1/", "GET", {}, {}, 2);
    };
    EXPECT_THROW(runTask(loop, refused()), TransportError);
}

TEST_F(HttpTest, TlsFailuresAreTransportErrors) {
    HttpsServer plain{HttpsServer::Options{0, false}};
    auto handshake = [&]() -> Task<std::string> {
        co_return co_await send("https://127.0.0.1:" + std::to_string(plain.port()) + "/", "GET", {}, {}, 2);
    };
    EXPECT_THROW(runTask(loop, handshake()), TransportError);
}

TEST_F(HttpTest, CancellationAbandonsTheRequestAtOnce) {
    server.route("GET", "/slow", HttpResponse{200, {}, "late", 5s});
    bool cancelled = false;
    auto task = [&]() -> Task<void> {
        try {
            co_await send(server.baseUrl() + "/slow", "GET", {}, {}, 30);
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

// Holds back what other threads post to the loop until the test lets it through, so that a
// completion can be made to wait behind a cancellation.
class HoldingExecutor final : public Executor {
public:
    explicit HoldingExecutor(ManualLoop& loop) : loop_(loop) {}

    void post(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        if (!holding_ || std::this_thread::get_id() == owner_) {
            lock.unlock();
            return loop_.post(std::move(fn));
        }
        held_.push_back(std::move(fn));
        arrived_.notify_all();
    }
    TimerId callAfter(Duration delay, std::function<void()> fn) override {
        return loop_.callAfter(delay, std::move(fn));
    }
    void cancelTimer(TimerId id) override { loop_.cancelTimer(id); }
    MonotonicTime now() const override { return loop_.now(); }

    bool waitForHeld(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [this] { return !held_.empty(); });
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    // Lets what was held through, and everything after it.
    void release() {
        std::lock_guard lock(mutex_);
        for (auto& fn : held_)
            loop_.post(std::move(fn));
        held_.clear();
        holding_ = false;
    }

private:
    ManualLoop& loop_;
    const std::thread::id owner_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::function<void()>> held_;
    bool holding_ = false;
};

TEST_F(HttpTest, CancellingAFinishedRequestNeverTouchesTheNextOne) {
    // The transfer is done and its completion is queued when the task is cancelled; the
    // request made right after must still end, wherever its memory lands. (AddressSanitizer
    // does not hand freed memory out again soon, so only an uninstrumented build, such as the
    // gcc preset, lands a new request where the old one was.)
    HttpsServer plain{HttpsServer::Options{0, false}};
    plain.route("GET", "/ok", HttpResponse::text(200, "ok"));
    HoldingExecutor holding{loop};
    setMainExecutor(&holding);
    auto request = [](std::string url) -> Task<void> {
        try {
            co_await send(std::move(url), "GET", {}, std::nullopt, 5);
        } catch (const Cancelled&) {
        }
    };
    const std::string url = plain.baseUrl() + "/ok";
    int stuck = -1;
    for (int round = 0; round < 10000 && stuck < 0; ++round) {
        holding.hold();
        auto first = spawn(request(url));
        loop.runUntilIdle();
        const bool completed = holding.waitForHeld(5s);
        first.cancel();
        holding.release();
        loop.runUntilIdle();
        auto next = spawn(request(url));
        const bool ended = loop.runUntil([&] { return first.done() && next.done(); }, 5s);
        if (!completed || !ended) stuck = round;
    }
    setMainExecutor(&loop);
    EXPECT_EQ(stuck, -1) << "a request never ended";
}

TEST_F(HttpTest, ManyRequestsInFlightAtOnce) {
    server.route("GET", "/echo",
                 [](const ReceivedRequest& request) { return HttpResponse::text(200, request.query); });
    std::vector<std::string> answers(8);
    std::vector<TaskHandle> handles;
    for (int i = 0; i < 8; ++i) {
        auto one = [](HttpsServer& s, int n, std::string& out) -> Task<void> {
            out = co_await send(s.baseUrl() + "/echo?n=" + std::to_string(n), "GET", {}, {}, 5);
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
