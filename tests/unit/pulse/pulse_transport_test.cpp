// Real pulses against a loopback TLS panel (port 0, the test certificate authority): answers
// framed every way, split at every byte of the head, slow, silent or refused, and certificates
// that must be refused. Every pulse here runs with proxies set in the environment, which it
// must ignore.

#include "base/errors.h"
#include "base/spawn.h"
#include "panel/http.h"
#include "pulse/korvane_physical_pulse.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

using Result = KorvanePulseResult;

const std::string kAccepted = R"({"status":"success","message":"ok","data":{"accepted":true}})";
const std::string kPulsePath = "/api/v1/user/whitelistPulse";

std::string withLength(const std::string& body, const std::string& statusLine = "HTTP/1.1 200 OK") {
    return statusLine +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string chunkedHead() { return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"; }

std::string chunk(const std::string& data, const std::string& extension = "") {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", data.size());
    return size + extension + "\r\n" + data + "\r\n";
}

std::vector<std::string> bytesOf(const std::string& text) {
    std::vector<std::string> bytes;
    for (char c : text)
        bytes.emplace_back(1, c);
    return bytes;
}

std::string acceptedAnswerOf(std::size_t total) {
    std::size_t body = total;
    for (int i = 0; i < 3; ++i)
        body = total - (withLength(std::string(body, ' ')).size() - body);
    return withLength(kAccepted + std::string(body - kAccepted.size(), ' '));
}

HttpResponse raw(std::vector<std::string> pieces, std::chrono::milliseconds gap = 0ms,
                 bool holdOpen = false) {
    HttpResponse response;
    response.raw = std::move(pieces);
    response.pieceGap = gap;
    response.holdOpen = holdOpen;
    return response;
}

Task<Result> pulse(KorvanePulseEndpoint endpoint, std::string authorization, Duration timeout) {
    co_return co_await KorvanePhysicalPulse::post(std::move(endpoint), std::move(authorization), "1.4.2",
                                                  timeout);
}

class PulseTransportTest : public ::testing::Test {
protected:
    static constexpr const char* kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "http_proxy",
                                                      "HTTP_PROXY",  "all_proxy",   "ALL_PROXY"};

    static void SetUpTestSuite() {
        trustAdditionalCertificateAuthority(testCaFile());
        // A proxy that answers nothing: a pulse that consulted it would never reach the panel.
        for (const char* name : kProxyVariables)
            ::setenv(name, "http://127.0.0.1:9", 1);
    }
    static void TearDownTestSuite() {
        for (const char* name : kProxyVariables)
            ::unsetenv(name);
    }

    Result send(const HttpsServer& panel, Duration timeout = 3s, const std::string& host = "127.0.0.1",
                const std::string& authorization = "Bearer token-1") {
        auto endpoint =
            KorvanePhysicalPulse::endpoint("https://" + host + ":" + std::to_string(panel.port()));
        return runTask(loop, pulse(*endpoint, authorization, timeout));
    }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
};

TEST_F(PulseTransportTest, AnswersOfEveryFramingAndPaceAreClassified) {
    std::vector<std::string> headByByte =
        bytesOf(withLength(kAccepted).substr(0, withLength(kAccepted).find("{")));
    headByByte.push_back(kAccepted);
    std::vector<std::string> slowly;
    for (std::size_t at = 0; at < withLength(kAccepted).size(); at += 16)
        slowly.push_back(withLength(kAccepted).substr(at, 16));
    std::string oneByteChunks = chunkedHead();
    for (char c : kAccepted)
        oneByteChunks += chunk(std::string(1, c));
    oneByteChunks += "0\r\n\r\n";

    const struct {
        std::string name;
        HttpResponse answer;
        Result expected;
        Duration timeout = 3s;
    } cases[] = {
        {"content length", raw({withLength(kAccepted)}), Result::Accepted},
        {"one chunk", raw({chunkedHead() + chunk(kAccepted) + "0\r\n\r\n"}), Result::Accepted},
        {"one-byte chunks, one record each", raw(bytesOf(oneByteChunks)), Result::Accepted},
        {"chunk extensions",
         raw({chunkedHead() + chunk(kAccepted.substr(0, 7), ";a=b") + chunk(kAccepted.substr(7), ";c") +
              "0;d\r\n\r\n"}),
         Result::Accepted},
        {"no last chunk before the close", raw({chunkedHead() + chunk(kAccepted)}), Result::InvalidResponse},
        {"head split at every byte", raw(headByByte), Result::Accepted},
        {"slowly", raw(slowly, 15ms), Result::Accepted},
        {"the largest answer", raw({acceptedAnswerOf(65536)}), Result::Accepted},
        {"65,537 bytes", raw({acceptedAnswerOf(65537)}), Result::InvalidResponse},
        {"HTTP/2 status line", raw({withLength(kAccepted, "HTTP/2 200")}), Result::InvalidResponse},
        {"not accepted", raw({withLength(R"({"status":"success","data":{"accepted":false}})")}),
         Result::InvalidResponse},
        // The status alone decides: the connection stays open and the body never comes.
        {"401", raw({"HTTP/1.1 401 Unauthorized\r\nContent-Length: 900\r\n\r\n"}, 0ms, true),
         Result::Unauthorized},
        {"403", raw({"HTTP/1.1 403 Forbidden\r\nContent-Length: 900\r\n\r\n"}, 0ms, true),
         Result::Unauthorized},
        {"429", raw({"HTTP/1.1 429 Too Many Requests\r\nContent-Length: 900\r\n\r\n"}, 0ms, true),
         Result::RateLimited},
        {"500", raw({"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 900\r\n\r\n"}, 0ms, true),
         Result::ServerError},
        {"head, then silence", raw({"HTTP/1.1 200 OK\r\nContent-Length: 90\r\n\r\n{\"st"}, 0ms, true),
         Result::TimedOut, 300ms},
        {"never", HttpResponse{200, {}, kAccepted, 30s}, Result::TimedOut, 300ms},
        {"closed without a word", HttpResponse::dropped(), Result::InvalidResponse},
    };
    for (const auto& c : cases) {
        HttpsServer panel;
        panel.route("POST", kPulsePath, c.answer);
        EXPECT_EQ(send(panel, c.timeout), c.expected) << c.name;
        const auto received = panel.requests();
        ASSERT_EQ(received.size(), 1u) << c.name;
        // The request as built, and nothing else: the server parsed nine fields and the body.
        EXPECT_EQ(received[0].header("authorization"), "Bearer token-1");
        EXPECT_EQ(received[0].headers.size(), 9u);
        EXPECT_EQ(received[0].body, "{}");
    }
}

TEST_F(PulseTransportTest, OnlyTheRightCertificateForTheRightNameIsAccepted) {
    const struct {
        HttpsServer::Certificate certificate;
        std::string host;
        Result expected;
    } cases[] = {
        {HttpsServer::Certificate::Trusted, "127.0.0.1", Result::Accepted},
        {HttpsServer::Certificate::Trusted, "localhost", Result::Accepted},
        {HttpsServer::Certificate::OtherName, "127.0.0.1", Result::TransportError},
        {HttpsServer::Certificate::OtherName, "localhost", Result::TransportError},
        {HttpsServer::Certificate::SelfSigned, "127.0.0.1", Result::TransportError},
    };
    for (const auto& c : cases) {
        HttpsServer panel(HttpsServer::Options{0, true, c.certificate});
        panel.route("POST", kPulsePath, raw({withLength(kAccepted)}));
        EXPECT_EQ(send(panel, 3s, c.host), c.expected) << c.host << " " << int(c.certificate);
        if (c.expected != Result::Accepted) {
            EXPECT_EQ(panel.requests().size(), 0u) << "refused before sending";
        }
    }
}

TEST_F(PulseTransportTest, NothingIsSentWithoutAFitRequestOrAListener) {
    HttpsServer panel;
    panel.route("POST", kPulsePath, raw({withLength(kAccepted)}));
    EXPECT_EQ(send(panel, 3s, "127.0.0.1", "Basic dXNlcg=="), Result::InvalidResponse);
    EXPECT_EQ(send(panel, 3s, "127.0.0.1", "Bearer " + std::string(5000, 'a')), Result::InvalidResponse);
    EXPECT_EQ(panel.requests().size(), 0u);

    std::uint16_t closedPort = 0;
    {
        HttpsServer gone;
        closedPort = gone.port();
    }
    auto endpoint = KorvanePhysicalPulse::endpoint("https://127.0.0.1:" + std::to_string(closedPort));
    EXPECT_EQ(runTask(loop, pulse(*endpoint, "Bearer t", 3s)), Result::TransportError);
}

TEST_F(PulseTransportTest, CancellingTheWaitingTaskEndsThePulseAtOnce) {
    HttpsServer panel;
    panel.route("POST", kPulsePath, HttpResponse{200, {}, kAccepted, 60s});
    auto endpoint = *KorvanePhysicalPulse::endpoint("https://127.0.0.1:" + std::to_string(panel.port()));
    bool cancelled = false;
    auto waiting = [&]() -> Task<void> {
        try {
            co_await KorvanePhysicalPulse::post(endpoint, "Bearer t", "1", 60s);
        } catch (const Cancelled&) {
            cancelled = true;
        }
    };
    auto handle = spawn(waiting());
    loop.runUntilIdle();
    EXPECT_TRUE(panel.waitForRequests(1, 10s));
    handle.cancel();
    EXPECT_TRUE(loop.runUntil([&] { return handle.done(); }));
    EXPECT_TRUE(cancelled);
}

} // namespace
