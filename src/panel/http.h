#pragma once

// http(): the one asynchronous HTTP helper. Requests run on libcurl's multi interface in
// one I/O thread; the awaiting task resumes on the main thread with the body of a 2xx
// answer, or with KorvaneHTTPStatusError / TransportError / KorvaneError. Cancelling the
// task abandons the transfer at once.

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

struct HttpRequestSpec {
    std::string url;
    std::string method;
    HttpHeaders headers;
    std::optional<std::string> body;
    double timeoutSeconds = 60;
};

namespace detail {
class HttpWait;
}

class HttpAwaiter {
public:
    explicit HttpAwaiter(HttpRequestSpec request);
    HttpAwaiter(HttpAwaiter&&) noexcept;
    ~HttpAwaiter();

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { start(h, stopTokenOf(h)); }
    std::string await_resume();

private:
    void start(std::coroutine_handle<> h, std::stop_token token);
    std::shared_ptr<detail::HttpWait> wait_;
};

// Sends one request. Only the caller's headers are added; redirects are followed and only
// the final answer counts; timeoutSeconds bounds the whole exchange.
inline HttpAwaiter http(std::string url, std::string method, HttpHeaders headers = {},
                        std::optional<std::string> body = std::nullopt, double timeoutSeconds = 60) {
    return HttpAwaiter(HttpRequestSpec{std::move(url), std::move(method), std::move(headers), std::move(body),
                                       timeoutSeconds});
}

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
