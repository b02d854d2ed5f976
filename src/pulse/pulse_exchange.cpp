// One pulse on the wire: a TCP connection of the client's own (no proxy is ever consulted),
// TLS 1.2 or later with the peer's certificate and name verified, the request written whole,
// the answer read 8 KiB at a time and classified as it arrives.
//
// The exchange runs on a thread of its own; the awaiting task resumes on the main thread with
// the first of: the exchange's result, the time-out (a main-loop timer), or its cancellation.
// Whichever comes first stops the others: the thread watches a stop pipe at every wait.

#include "pulse/korvane_physical_pulse.h"

#include "base/detached_thread.h"
#include "panel/http.h"
#include "pulse/pulse_response_parser.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Result = KorvanePulseResult;

constexpr std::size_t kReceiveStep = 8192;
constexpr Duration kShortestTimeout{100};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// One client context for every pulse: loading the system's trust store takes far longer than
// the whole exchange on a local network, and the context's settings never change. Authorities
// added to the HTTP helper since are added here too (one already present is ignored).
std::unique_ptr<SSL_CTX, SslContextFree> clientContext() {
    static std::mutex mutex;
    static SSL_CTX* shared = nullptr; // kept for the life of the process
    std::lock_guard lock(mutex);
    if (!shared) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (!context) return nullptr;
        if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
            SSL_CTX_set_default_verify_paths(context) != 1) {
            SSL_CTX_free(context);
            return nullptr;
        }
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        // A peer that closes without close_notify has still completed its answer; the framing
        // of the answer, not the TLS ending, tells whether anything is missing.
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        shared = context;
    }
    addAdditionalCertificateAuthorities(shared);
    SSL_CTX_up_ref(shared);
    return std::unique_ptr<SSL_CTX, SslContextFree>(shared);
}

bool isIpLiteral(const std::string& host) {
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, host.c_str(), bytes) == 1 || ::inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

} // namespace

namespace detail {

// What the exchange thread works from, and how it is told to stop.
class PulseConnection {
public:
    PulseConnection(std::string host, int port, std::string request, Duration timeout)
        : host_(std::move(host)), port_(port), request_(std::move(request)),
          deadline_(SteadyClock::now() + std::max(timeout, kShortestTimeout)) {}
    ~PulseConnection() {
        for (int fd : stopPipe_)
            if (fd >= 0) ::close(fd);
    }
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    bool openStopPipe() { return ::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) == 0; }
    // Any thread, any number of times.
    void stop() {
        if (stopped_.exchange(true)) return;
        const char byte = 1;
        const ssize_t written = ::write(stopPipe_[1], &byte, 1);
        (void)written; // an empty pipe always takes one byte
    }
    bool stopped() const { return stopped_.load(); }

    Result run();

private:
    enum class Wait { Ready, Stopped, TimedOut };

    Wait waitFor(int fd, short events) const {
        pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {fd, events, 0}};
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline_ - SteadyClock::now()).count();
            if (left <= 0) return Wait::TimedOut;
            const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || fds[0].revents) return Wait::Stopped;
            if (ready > 0) return Wait::Ready;
        }
    }

    static Result failure(Wait wait) {
        return wait == Wait::TimedOut ? Result::TimedOut : Result::TransportError;
    }

    int connectTcp(Result& failed) const;
    // After an SSL call that did not complete: waits for what TLS needs, or says why not.
    std::optional<Result> retry(SSL* ssl, int returned) const;

    std::string host_;
    int port_;
    std::string request_;
    SteadyClock::time_point deadline_;
    int stopPipe_[2] = {-1, -1};
    std::atomic<bool> stopped_{false};
};

int PulseConnection::connectTcp(Result& failed) const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    failed = Result::TransportError;
    if (::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found) != 0) return -1;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        Fd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       entry->ai_protocol));
        if (fd.get() < 0) continue;
        if (::connect(fd.get(), entry->ai_addr, entry->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) continue;
            const Wait wait = waitFor(fd.get(), POLLOUT);
            if (wait != Wait::Ready) {
                failed = failure(wait);
                return -1;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) continue;
        }
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd.release();
    }
    return -1;
}

std::optional<Result> PulseConnection::retry(SSL* ssl, int returned) const {
    Wait wait;
    switch (SSL_get_error(ssl, returned)) {
    case SSL_ERROR_WANT_READ:
        wait = waitFor(SSL_get_fd(ssl), POLLIN);
        break;
    case SSL_ERROR_WANT_WRITE:
        wait = waitFor(SSL_get_fd(ssl), POLLOUT);
        break;
    default: // a refused certificate, a reset, a protocol error
        return Result::TransportError;
    }
    if (wait == Wait::Ready) return std::nullopt;
    return failure(wait);
}

Result PulseConnection::run() {
    // A write to a connection the peer has reset must not raise SIGPIPE in this process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    ERR_clear_error();

    Result failed = Result::TransportError;
    Fd socket(connectTcp(failed));
    if (socket.get() < 0) return failed;

    const auto context = clientContext();
    if (!context) return Result::TransportError;
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket.get()) != 1) return Result::TransportError;
    if (isIpLiteral(host_)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host_.c_str()) != 1)
            return Result::TransportError;
    } else {
        SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set_tlsext_host_name(ssl.get(), host_.c_str()) != 1 ||
            SSL_set1_host(ssl.get(), host_.c_str()) != 1)
            return Result::TransportError;
    }

    for (;;) {
        const int returned = SSL_connect(ssl.get());
        if (returned == 1) break;
        if (auto ended = retry(ssl.get(), returned)) return *ended;
    }

    std::string_view unsent = request_;
    while (!unsent.empty()) {
        std::size_t written = 0;
        const int returned = SSL_write_ex(ssl.get(), unsent.data(), unsent.size(), &written);
        if (returned == 1) {
            unsent.remove_prefix(written);
            continue;
        }
        if (auto ended = retry(ssl.get(), returned)) return *ended;
    }

    PulseResponseParser parser;
    char buffer[kReceiveStep];
    for (;;) {
        // A peer that keeps sending never lets the waits below see the deadline.
        if (stopped() || SteadyClock::now() >= deadline_) return Result::TimedOut;
        std::size_t got = 0;
        const int returned = SSL_read_ex(ssl.get(), buffer, sizeof buffer, &got);
        if (returned == 1) {
            // The parser settles an answer that grows beyond its limit.
            if (auto result = parser.feed(std::string_view(buffer, got), false)) return *result;
            continue;
        }
        if (SSL_get_error(ssl.get(), returned) == SSL_ERROR_ZERO_RETURN)
            return parser.feed({}, true).value_or(Result::InvalidResponse);
        if (auto ended = retry(ssl.get(), returned)) return *ended;
    }
}

// The awaiting task's side, on the main thread.
class PulseExchange final : public ResumeOnce {
public:
    PulseExchange(KorvanePulseEndpoint endpoint, std::string authorization, std::string version,
                  Duration timeout)
        : endpoint_(std::move(endpoint)), timeout_(std::max(timeout, kShortestTimeout)),
          request_(KorvanePhysicalPulse::request(endpoint_, authorization, version)) {}
    // May run on the exchange thread, which can hold the last reference; the timer is gone by
    // then (it holds a reference itself until it fires or is cancelled).
    ~PulseExchange() override {
        if (connection_) connection_->stop();
    }

    bool sendable() const { return request_.has_value(); }

    void begin(std::coroutine_handle<> waiter, std::stop_token token) {
        suspend(waiter, std::move(token));
        if (!waiting()) return;
        auto self = std::static_pointer_cast<PulseExchange>(shared_from_this());
        connection_ = std::make_shared<PulseConnection>(
            endpoint_.host, endpoint_.port.value_or(KorvanePhysicalPulse::kDefaultPort), *request_, timeout_);
        if (!connection_->openStopPipe()) {
            failLater();
            return;
        }
        timer_ = mainExecutor().callAfter(timeout_, [self] {
            self->timerSet_ = false;
            self->deliver(Result::TimedOut);
        });
        timerSet_ = true;
        try {
            startDetachedThread([self, connection = connection_] {
                const Result result = connection->run();
                // OpenSSL's state of this thread goes now, not at the thread's exit, which may
                // come after the process has ended and left it behind.
                OPENSSL_thread_stop();
                // Once stopped, the main side has its answer and may be gone.
                if (!connection->stopped()) mainExecutor().post([self, result] { self->deliver(result); });
            });
        } catch (const std::system_error&) {
            failLater();
        }
    }

    Result take() {
        finish();
        return result_;
    }

private:
    // Not inside await_suspend: the task resumes on the next turn.
    void failLater() {
        result_ = Result::TransportError;
        stopConnection();
        completeLater();
    }

    void deliver(Result result) {
        if (!waiting()) return;
        result_ = result;
        stopConnection();
        complete();
    }

    void stopWork() noexcept override { stopConnection(); }

    void stopConnection() noexcept {
        if (timerSet_) {
            timerSet_ = false;
            mainExecutor().cancelTimer(timer_);
        }
        if (connection_) connection_->stop();
    }

    KorvanePulseEndpoint endpoint_;
    Duration timeout_;
    std::optional<std::string> request_;
    Result result_ = Result::InvalidResponse;
    std::shared_ptr<PulseConnection> connection_;
    Executor::TimerId timer_ = 0;
    bool timerSet_ = false;
};

} // namespace detail

PulsePostAwaiter::PulsePostAwaiter(KorvanePulseEndpoint endpoint, std::string authorization,
                                   std::string version, Duration timeout)
    : exchange_(std::make_shared<detail::PulseExchange>(std::move(endpoint), std::move(authorization),
                                                        std::move(version), timeout)) {}
PulsePostAwaiter::PulsePostAwaiter(PulsePostAwaiter&&) noexcept = default;
PulsePostAwaiter::~PulsePostAwaiter() {
    if (exchange_) exchange_->abandon();
}

bool PulsePostAwaiter::await_ready() const noexcept { return !exchange_->sendable(); }

void PulsePostAwaiter::start(std::coroutine_handle<> h, std::stop_token token) {
    exchange_->begin(h, std::move(token));
}

KorvanePulseResult PulsePostAwaiter::await_resume() {
    if (!exchange_->sendable()) return Result::InvalidResponse;
    return exchange_->take();
}

} // namespace korvane
