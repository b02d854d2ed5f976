#pragma once

// A loopback HTTP/1.1 server for tests and stand-in services: TLS with the build-time test
// certificate (clients trust testCaFile()) or plain HTTP. Answers come from routes on method
// and path; every request is recorded so that tests can check what a client sent.
//
// Each connection has its own thread, so a delayed answer never holds up another client.
// Connections are kept alive (libcurl reuses them); request bodies may come with
// Content-Length or chunked; answers always carry Content-Length.
//
// Threading: every method may be called from any thread at any time. Handlers run on the
// connection's thread without any server lock held, so they may call the server (e.g.
// requests() or route()); the destructor waits for running handlers, so they must return. To
// answer late, use HttpResponse::delay rather than sleeping in a handler: only that wait ends
// when the server is destroyed.
//
// Server threads block SIGPIPE for themselves only, so a client that goes away never kills
// the test process; the process's own signal handling is left alone.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

struct ssl_ctx_st; // OpenSSL's SSL_CTX, kept out of this header

namespace korvane::testing {

struct ReceivedRequest {
    std::string method{};                         // as sent, e.g. "GET"
    std::string target{};                         // as sent: path plus "?query" if any
    std::string path{};                           // the target up to '?', not percent-decoded
    std::string query{};                          // after '?', not percent-decoded; empty when none
    std::map<std::string, std::string> headers{}; // lower-cased names; repeated ones joined by ", "
    std::string body{};                           // de-chunked when sent chunked

    // The value of a header by case-insensitive name, or "" when absent.
    std::string header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers{}; // Content-Length is always set by the server
    std::string body{};
    std::chrono::milliseconds delay{0}; // wait this long before answering (or dropping)
    // Close the connection without writing anything. libcurl sends a request again, once, on
    // a fresh connection when a reused one closes unanswered, so a drop on a kept-alive
    // connection is usually seen (and counted) twice.
    bool drop = false;
    // When not empty, written instead of a formatted answer, byte for byte: each piece as one
    // write (one TLS record), pieceGap apart; then the connection is closed (with close_notify)
    // unless holdOpen keeps it open, silent, until the client leaves or the server stops. For
    // clients that must cope with any framing of an answer.
    std::vector<std::string> raw{};
    std::chrono::milliseconds pieceGap{0};
    bool holdOpen = false;
    // Streamed answers, for downloads: the body is read from file when one is named (in 64 KiB
    // pieces, so a large package never sits in memory), sent without a Content-Length when
    // noLength (the connection's end then marks the body's end), and cut off after cutAfter
    // bytes of body: the connection dies there without a TLS close, or stays open and silent
    // with holdOpen.
    std::filesystem::path file{};
    bool noLength = false;
    std::optional<std::size_t> cutAfter{};

    static HttpResponse json(int status, std::string body);
    static HttpResponse text(int status, std::string body);
    static HttpResponse dropped(std::chrono::milliseconds delay = {});
};

class HttpsServer {
public:
    using Handler = std::function<HttpResponse(const ReceivedRequest&)>;

    // The certificate a TLS server presents: the test authority's for 127.0.0.1 and localhost,
    // the test authority's for another name only, or a self-signed one for 127.0.0.1.
    enum class Certificate { Trusted, OtherName, SelfSigned };

    struct Options {
        std::uint16_t port = 0; // 0: an ephemeral port; see port()
        bool tls = true;        // false: plain HTTP
        Certificate certificate = Certificate::Trusted;
    };

    // Listens on 127.0.0.1 at once; throws std::runtime_error when it cannot (e.g. port taken).
    explicit HttpsServer(Options options);
    HttpsServer() : HttpsServer(Options{}) {}
    // Stops promptly, also during delays and idle keep-alive connections: joins every thread
    // and closes every socket.
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "https://127.0.0.1:<port>" or "http://127.0.0.1:<port>", without a trailing slash.
    std::string baseUrl() const;

    // Routes match the exact method and path (query ignored); a later route for the same pair
    // replaces the earlier one. Unrouted requests get 404 {"message":"Not Found"}.
    void route(std::string method, std::string path, HttpResponse response);
    void route(std::string method, std::string path, Handler handler);
    // One answer per request in order; the last one repeats.
    void routeSequence(std::string method, std::string path, std::vector<HttpResponse> responses);

    // Every complete request received, in arrival order (recorded before it is answered).
    std::vector<ReceivedRequest> requests() const;
    std::size_t count(std::string_view method, std::string_view path) const;
    // Waits until at least n requests have arrived in total; false on time-out.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    struct Connection;

    void closeResources();
    void acceptLoop();
    void serve(Connection& connection);
    void record(const ReceivedRequest& request);
    HttpResponse answer(const ReceivedRequest& request) const;

    Options options_;
    std::uint16_t port_ = 0;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};       // readable once the server stops; every wait polls it
    ssl_ctx_st* sslContext_ = nullptr; // null for plain HTTP

    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<const Handler>> routes_;
    std::vector<ReceivedRequest> requests_;

    std::vector<std::unique_ptr<Connection>> connections_; // the acceptor's alone until it is joined
    std::thread acceptor_;
};

} // namespace korvane::testing
