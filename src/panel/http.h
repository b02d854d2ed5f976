#pragma once

// HttpClient: how the client makes every ordinary HTTP request. Whatever sends requests is
// given one by reference; the process default runs on libcurl's multi interface in one I/O
// thread, and tests put a scripted one in its place.

#include "base/task.h"

#include <coroutine>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

struct ssl_ctx_st; // OpenSSL's SSL_CTX, kept out of this header

namespace korvane {

using HttpHeaders = std::map<std::string, std::string>;

struct HttpRequest {
    std::string url;
    std::string method;
    HttpHeaders headers;
    std::optional<std::string> body;
    double timeoutSeconds = 60;
};

// send() resumes on the main thread with the body of a 2xx answer, or throws what
// checkHttpResponse makes of another status, a TransportError with the transport's own text
// when no answer arrived (connection, TLS, time-out), or Cancelled as soon as its task is
// cancelled. Only the caller's headers are added. Redirects are followed and only the final
// answer counts, but a request made over https never follows one to another scheme: that
// ends in a KorvaneError naming the target. timeoutSeconds bounds the whole exchange.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual Task<std::string> send(HttpRequest request) = 0;
};

// The libcurl client, for the life of the process.
HttpClient& defaultHttpClient();

namespace detail {
class HttpWait;
}

// One libcurl transfer, as the default client awaits it.
class HttpAwaiter {
public:
    explicit HttpAwaiter(HttpRequest request);
    HttpAwaiter(HttpAwaiter&&) noexcept;
    ~HttpAwaiter();

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { start(h, stopTokenOf(h)); }
    std::string await_resume();

private:
    void start(std::coroutine_handle<> h, std::stop_token token);
    std::shared_ptr<detail::HttpWait> wait_;
};

// The body of a final answer with this status, or the error it stands for: only 200 to 299
// is success; otherwise KorvaneHTTPStatusError with the panel's JSON "message" when there
// is a string one. A status of 0 means no HTTP answer arrived at all.
std::string checkHttpResponse(long status, std::string body);

// Adds a certificate authority (PEM file) to the ones TLS trusts, besides the system's.
// Only the local deployment calls this, with the test authority shipped in its bundle.
void trustAdditionalCertificateAuthority(const std::filesystem::path& pemFile);

// Makes a TLS context of the client's own (not libcurl's) trust the authorities added above too.
void addAdditionalCertificateAuthorities(ssl_ctx_st* context);

} // namespace korvane
