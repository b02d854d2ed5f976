#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

Easy newEasy() { return Easy(curl_easy_init(), &curl_easy_cleanup); }

struct Call {
    std::string url{};
    std::string method = "GET";
    std::string body{};
    std::vector<std::string> headers{};
    long timeoutMs = 10'000;
    bool trustTestCa = true;
    curl_off_t maxBodyBytes = 0; // a longer announced body makes libcurl hang up at once
};

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    long newConnections = 0;
    std::string body;
    std::string headers; // raw response head
};

std::size_t append(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One transfer on a given handle, so that consecutive calls may reuse its connection.
Reply perform(CURL* easy, const Call& call) {
    Reply reply;
    curl_slist* headers = nullptr;
    for (const auto& header : call.headers)
        headers = curl_slist_append(headers, header.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, call.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, call.timeoutMs);
    if (call.trustTestCa) curl_easy_setopt(easy, CURLOPT_CAINFO, testCaFile().c_str());
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, call.maxBodyBytes);
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    if (call.method != "GET") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    if (!call.body.empty()) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, call.body.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &reply.headers);
    reply.code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &reply.newConnections);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return reply;
}

Reply fetch(const Call& call) { return perform(newEasy().get(), call); }

// A raw TCP connection, for clients libcurl will not imitate.
int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST(HttpsServerTest, AnswersOverVerifiedTlsAndRecordsTheRequest) {
    HttpsServer server;
    ASSERT_EQ(server.baseUrl(), "https://127.0.0.1:" + std::to_string(server.port()));
    auto created = HttpResponse::json(201, R"({"id":7})");
    created.headers.emplace_back("X-Trace", "abc");
    server.route("POST", "/api/v1/orders", created);

    const auto reply = fetch({.url = server.baseUrl() + "/api/v1/orders?plan=2&x=%20y",
                              .method = "POST",
                              .body = R"({"n":1})",
                              .headers = {"X-Custom-Header: Yes", "Content-Type: application/json"}});
    ASSERT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(reply.body, R"({"id":7})");
    EXPECT_NE(reply.headers.find("X-Trace: abc\r\n"), std::string::npos);
    EXPECT_NE(reply.headers.find("Content-Type: application/json\r\n"), std::string::npos);

    const auto missing = fetch({.url = server.baseUrl() + "/api/v1/orders"}); // GET is not routed
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, R"({"message":"Not Found"})");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v1/orders?plan=2&x=%20y");
    EXPECT_EQ(request.path, "/api/v1/orders");
    EXPECT_EQ(request.query, "plan=2&x=%20y");
    EXPECT_EQ(request.headers.count("x-custom-header"), 1u);
    EXPECT_EQ(request.header("X-Custom-Header"), "Yes");
    EXPECT_EQ(request.header("host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(request.body, R"({"n":1})");
    EXPECT_EQ(server.count("POST", "/api/v1/orders"), 1u);
    EXPECT_EQ(server.count("GET", "/api/v1/orders"), 1u);
}

TEST(HttpsServerTest, SurvivesClientsThatFailTheHandshakeOrLeaveMidRequest) {
    HttpsServer server;
    server.route("GET", "/ok", HttpResponse::text(200, "fine"));

    // Without the test authority, verification must fail: the server is not trusted by accident.
    EXPECT_EQ(fetch({.url = server.baseUrl() + "/ok", .trustTestCa = false}).code,
              CURLE_PEER_FAILED_VERIFICATION);
    const int plaintext = connectTo(server.port()); // plain HTTP spoken to the TLS port
    const std::string hello = "GET /ok HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(plaintext, hello.data(), hello.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(hello.size()));
    char ignored[256];
    ::recv(plaintext, ignored, sizeof ignored, 0); // the server's alert, or its close
    ::close(plaintext);
    ::close(connectTo(server.port())); // gone before the handshake
    // Hanging up while the server writes must not raise SIGPIPE in the test process.
    server.route("GET", "/big", HttpResponse::text(200, std::string(16 << 20, 'x')));
    EXPECT_EQ(fetch({.url = server.baseUrl() + "/big", .maxBodyBytes = 1}).code, CURLE_FILESIZE_EXCEEDED);

    const auto reply = fetch({.url = server.baseUrl() + "/ok"});
    EXPECT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    EXPECT_EQ(reply.body, "fine");
    EXPECT_EQ(server.count("GET", "/ok"), 1u);
}

TEST(HttpsServerTest, SequenceAnswersInOrderOverOneKeptAliveConnection) {
    HttpsServer server;
    server.routeSequence("GET", "/poll", {HttpResponse::text(503, "busy"), HttpResponse::text(200, "done")});
    const auto easy = newEasy();
    const auto first = perform(easy.get(), {.url = server.baseUrl() + "/poll"});
    const auto second = perform(easy.get(), {.url = server.baseUrl() + "/poll?again=1"});
    const auto third = perform(easy.get(), {.url = server.baseUrl() + "/poll"});
    EXPECT_EQ(first.status, 503);
    EXPECT_EQ(first.body, "busy");
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(third.body, "done");
    EXPECT_EQ(first.newConnections, 1);
    EXPECT_EQ(second.newConnections + third.newConnections, 0); // libcurl reused the connection
    EXPECT_EQ(server.count("GET", "/poll"), 3u);
}

TEST(HttpsServerTest, DelayTimesTheClientOutWithoutHoldingUpOthers) {
    HttpsServer server;
    auto slow = HttpResponse::text(200, "late");
    slow.delay = 3s;
    server.route("GET", "/slow", slow);
    server.route("GET", "/fast", HttpResponse::text(200, "quick"));

    const auto start = Clock::now();
    EXPECT_EQ(fetch({.url = server.baseUrl() + "/slow", .timeoutMs = 300}).code, CURLE_OPERATION_TIMEDOUT);
    // The slow connection is still waiting out its delay on the server.
    const auto fast = fetch({.url = server.baseUrl() + "/fast"});
    EXPECT_EQ(fast.body, "quick");
    EXPECT_LT(Clock::now() - start, 2500ms);
}

TEST(HttpsServerTest, DroppedConnectionIsAClientError) {
    HttpsServer server;
    server.route("GET", "/drop", HttpResponse::dropped());
    server.route("GET", "/ok", HttpResponse::text(200, "fine"));
    const auto reply = fetch({.url = server.baseUrl() + "/drop"});
    EXPECT_NE(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(fetch({.url = server.baseUrl() + "/ok"}).body, "fine");
}

TEST(HttpsServerTest, PlainHttpServesChunkedBodiesAndSurvivesTruncatedRequests) {
    HttpsServer server({.tls = false});
    ASSERT_EQ(server.baseUrl(), "http://127.0.0.1:" + std::to_string(server.port()));
    server.route("PUT", "/echo",
                 [](const ReceivedRequest& request) { return HttpResponse::text(200, request.body); });

    const int truncated = connectTo(server.port());
    const std::string partial = "PUT /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc";
    ASSERT_EQ(::send(truncated, partial.data(), partial.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(partial.size()));
    ::close(truncated);

    const auto reply = fetch({.url = server.baseUrl() + "/echo",
                              .method = "PUT",
                              .body = "hello",
                              .headers = {"Transfer-Encoding: chunked"}});
    EXPECT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    EXPECT_EQ(reply.body, "hello");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("transfer-encoding"), "chunked");
}

TEST(HttpsServerTest, DestructionEndsLongDelaysAndIdleConnectionsAndFreesThePort) {
    auto server = std::make_unique<HttpsServer>();
    const auto port = server->port();
    auto stuck = HttpResponse::text(200, "never");
    stuck.delay = 60s;
    server->route("GET", "/stuck", stuck);
    const int idle = connectTo(port);

    const auto url = server->baseUrl() + "/stuck";
    std::optional<Reply> reply;
    std::thread client([&] { reply = fetch({.url = url, .timeoutMs = 30'000}); });
    ASSERT_TRUE(server->waitForRequests(1, 10s));
    const auto start = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - start, 2s);
    client.join();
    EXPECT_NE(reply->code, CURLE_OK);
    EXPECT_LT(Clock::now() - start, 2s);
    ::close(idle);

    // The server closed first, leaving TIME_WAIT behind: a stand-in must still get its fixed port.
    HttpsServer again({.port = port});
    EXPECT_EQ(again.port(), port);
}

} // namespace
