// The fake client stands in for the real one only if both turn the same answer into the same
// outcome; the rest is how it keeps time and routes.

#include "base/errors.h"
#include "panel/http.h"
#include "testing/async_test.h"
#include "testing/fake_http_client.h"
#include "testing/https_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

// The body, or the kind and text of the error.
std::string outcome(ManualLoop& loop, HttpClient& client, HttpRequest request) {
    auto send = [](HttpClient& c, HttpRequest r) -> Task<std::string> {
        co_return co_await c.send(std::move(r));
    };
    try {
        return "body " + runTask(loop, send(client, std::move(request)));
    } catch (const KorvaneHTTPStatusError& error) {
        return "status " + std::to_string(error.statusCode()) + " " + error.what();
    } catch (const TransportError& error) {
        return std::string("transport ") + error.what();
    } catch (const std::exception& error) {
        return std::string(typeid(error).name()) + " " + error.what();
    }
}

TEST(FakeHttpClientTest, AnswersBecomeWhatTheRealClientMakesOfThem) {
    ManualLoopScope scope;
    HttpsServer server{HttpsServer::Options{0, false}};
    FakeHttpClient fake;
    // The same handler on both sides: it sees the request in the same form.
    const auto echo = [](const ReceivedRequest& r) {
        return HttpResponse::text(200, r.method + " " + r.target + " " + r.path + " " + r.query + " " +
                                           r.header("x-token") + " " + r.body);
    };
    const std::vector<HttpResponse> answers = {
        HttpResponse::text(200, "ok"),        HttpResponse{204, {}, ""},
        HttpResponse{302, {}, "no location"}, HttpResponse::json(401, R"({"message":"账号或密码错误"})"),
        HttpResponse::json(500, "<html>"),    HttpResponse::dropped(),
    };
    for (std::size_t i = 0; i <= answers.size(); ++i) {
        const std::string path = "/answer/" + std::to_string(i);
        if (i < answers.size()) {
            server.route("POST", path, answers[i]);
            fake.route("POST", server.baseUrl() + path, answers[i]);
        } else {
            server.route("POST", path, echo);
            fake.route("POST", server.baseUrl() + path, echo);
        }
        HttpRequest request{server.baseUrl() + path + "?a=1&b=%20", "POST", {{"X-Token", "t"}}, "payload", 5};
        EXPECT_EQ(outcome(scope.loop, fake, request), outcome(scope.loop, defaultHttpClient(), request))
            << path;
    }
    EXPECT_EQ(fake.count("POST", server.baseUrl() + "/answer/0"), 1u);
    EXPECT_EQ(fake.requests().back().url, server.baseUrl() + "/answer/6?a=1&b=%20");
}

TEST(FakeHttpClientTest, DelaysAndTimeOutsRunInVirtualTimeAndCancellationEndsTheWait) {
    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    FakeHttpClient fake;
    HttpResponse slow = HttpResponse::text(200, "late");
    slow.delay = 2s;
    fake.route("GET", "https://panel.example/slow", slow);
    fake.route("GET", "https://panel.example/silent", FakeHttpClient::noAnswer());

    std::vector<std::string> outcomes;
    auto fetch = [](HttpClient& client, std::string url, double timeout,
                    std::vector<std::string>& out) -> Task<void> {
        HttpRequest request{std::move(url), "GET", {}, std::nullopt, timeout};
        try {
            out.push_back(co_await client.send(std::move(request)));
        } catch (const Cancelled&) {
            out.push_back("cancelled");
        } catch (const std::exception& error) {
            out.push_back(error.what());
        }
    };
    const std::vector<TaskHandle> running = {
        spawn(fetch(fake, "https://panel.example/slow", 3, outcomes)),
        spawn(fetch(fake, "https://panel.example/slow", 1.5, outcomes)),
        spawn(fetch(fake, "https://panel.example/silent", 10, outcomes)),
    };
    auto cancelled = spawn(fetch(fake, "https://panel.example/silent", 10, outcomes));
    loop.advance(1499ms);
    EXPECT_TRUE(outcomes.empty());
    loop.advance(1ms);
    EXPECT_EQ(outcomes, (std::vector<std::string>{
                            "Operation timed out after 1500 milliseconds with 0 bytes received"}));
    loop.advance(500ms);
    EXPECT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes.back(), "late");
    cancelled.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(outcomes.back(), "cancelled");
    loop.advance(8s);
    EXPECT_EQ(outcomes.back(), "Operation timed out after 10000 milliseconds with 0 bytes received");
    for (const auto& handle : running)
        EXPECT_TRUE(handle.done());
    EXPECT_EQ(fake.requests().size(), 4u);
}

TEST(FakeHttpClientTest, ExactRoutesBeforeTheLongestPrefixAndNothingElseAnswers) {
    ManualLoopScope scope;
    FakeHttpClient fake;
    fake.routePrefix("GET", "http://127.0.0.1:9097/", HttpResponse::text(200, "controller"));
    fake.routePrefix("GET", "http://127.0.0.1:9097/proxies/", HttpResponse::text(200, "proxies"));
    fake.route("GET", "http://127.0.0.1:9097/proxies/a", HttpResponse::text(200, "a"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://127.0.0.1:9097/version", "body controller"},
        {"http://127.0.0.1:9097/proxies/b/delay?timeout=1", "body proxies"},
        {"http://127.0.0.1:9097/proxies/a?x=1", "body a"},
        {"http://127.0.0.1:9098/version",
         "transport Failed to connect: nothing answers GET http://127.0.0.1:9098/version"},
    };
    for (const auto& [url, expected] : cases) {
        HttpRequest request{url, "GET", {}, std::nullopt, 5};
        EXPECT_EQ(outcome(scope.loop, fake, request), expected) << url;
    }
}

} // namespace
