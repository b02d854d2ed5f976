#include "testing/https_server.h"

#include "testing/test_certificates.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace korvane::testing {

namespace {

// Bounds that keep a misbehaving client from exhausting memory; no test comes near them.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Whether a comma-separated header value (Connection, Transfer-Encoding) holds a token.
bool hasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (lower(trim(list.substr(0, comma))) == token) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

[[noreturn]] void failWithErrno(const std::string& what) {
    throw std::runtime_error("HttpsServer: " + what + ": " + std::strerror(errno));
}

[[noreturn]] void failWithOpenSsl(const std::string& what) {
    char text[256] = "unknown error";
    if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error("HttpsServer: " + what + ": " + text);
}

// A write to a socket the client has closed raises SIGPIPE in the writing thread. Blocking it
// in the server's own threads turns that into EPIPE without touching the process's handling;
// a SIGPIPE left pending on such a thread is discarded when the thread ends.
void blockSigpipeInThisThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

enum class Wait { Ready, Stopped, TimedOut };

// Waits until fd is ready for events, or the server stops. fd < 0 waits on the stop pipe only;
// timeoutMs < 0 waits without limit. Every blocking point of the server goes through here, which
// is what lets the destructor end delays, handshakes and idle connections at once.
Wait waitFor(int fd, short events, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        const int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            if (timeoutMs < 0) continue;
            return Wait::TimedOut; // callers with a deadline recompute what is left
        }
        if (ready < 0 || fds[0].revents != 0) return Wait::Stopped;
        return ready == 0 ? Wait::TimedOut : Wait::Ready;
    }
}

// false when the server stopped first.
bool sleepUnlessStopped(int stopFd, std::chrono::milliseconds delay) {
    const auto deadline = std::chrono::steady_clock::now() + delay;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        if (waitFor(-1, 0, stopFd, static_cast<int>(std::min<long long>(left.count(), 1 << 30))) ==
            Wait::Stopped)
            return false;
    }
}

// One accepted socket, TLS or plain, on a non-blocking descriptor so that every wait can also
// watch the stop pipe.
class Stream {
public:
    Stream(int fd, SSL_CTX* context, int stopFd) : fd_(fd), stopFd_(stopFd) {
        if (!context) return;
        ssl_ = SSL_new(context);
        if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) broken_ = true;
    }
    ~Stream() {
        if (ssl_) SSL_free(ssl_); // sends nothing: closeNotify() is the polite ending
        ERR_clear_error();
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool handshake() {
        if (broken_) return false;
        if (!ssl_) return true;
        for (;;) {
            ERR_clear_error();
            const int result = SSL_accept(ssl_);
            if (result == 1) return true;
            if (!retry(result)) return false;
        }
    }

    // Appends what arrives next to buffer; false at end of stream, on error or when stopping.
    bool readMore(std::string& buffer) {
        char chunk[16 * 1024];
        for (;;) {
            if (ssl_) {
                ERR_clear_error();
                std::size_t got = 0;
                if (SSL_read_ex(ssl_, chunk, sizeof chunk, &got) == 1) {
                    buffer.append(chunk, got);
                    return true;
                }
                if (!retry(0)) return false;
                continue;
            }
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got > 0) {
                buffer.append(chunk, static_cast<std::size_t>(got));
                return true;
            }
            if (got == 0) return false;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (waitFor(fd_, POLLIN, stopFd_, -1) != Wait::Ready) return false;
        }
    }

    bool writeAll(std::string_view data) {
        while (!data.empty()) {
            if (ssl_) {
                ERR_clear_error();
                std::size_t written = 0;
                if (SSL_write_ex(ssl_, data.data(), data.size(), &written) == 1) {
                    data.remove_prefix(written);
                    continue;
                }
                if (!retry(0)) return false;
                continue;
            }
            const ssize_t written = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (written >= 0) {
                data.remove_prefix(static_cast<std::size_t>(written));
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (waitFor(fd_, POLLOUT, stopFd_, -1) != Wait::Ready) return false;
        }
        return true;
    }

    // Tells a TLS client that the server closes on purpose, so it does not see a truncation.
    void closeNotify() {
        if (!ssl_ || broken_) return;
        ERR_clear_error();
        SSL_shutdown(ssl_); // one attempt; the client's reply is not waited for
    }

private:
    // After an SSL call that did not complete: waits for what OpenSSL needs and returns true to
    // call again, or false when the connection is over.
    bool retry(int result) {
        switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            return waitFor(fd_, POLLIN, stopFd_, -1) == Wait::Ready;
        case SSL_ERROR_WANT_WRITE:
            return waitFor(fd_, POLLOUT, stopFd_, -1) == Wait::Ready;
        case SSL_ERROR_ZERO_RETURN: // the client's close_notify
            return false;
        default: // failed handshake, reset, truncation: OpenSSL forbids a shutdown after these
            broken_ = true;
            return false;
        }
    }

    int fd_;
    int stopFd_;
    SSL* ssl_ = nullptr;
    bool broken_ = false;
};

enum class Read { Ok, Closed, Malformed };

// Reads up to and including "\r\n" from pos; returns the line without it.
Read readLine(Stream& stream, std::string& buffer, std::size_t& pos, std::string_view& line) {
    std::size_t end;
    while ((end = buffer.find("\r\n", pos)) == std::string::npos) {
        if (buffer.size() - pos > kMaxHeadBytes) return Read::Malformed;
        if (!stream.readMore(buffer)) return Read::Closed;
    }
    line = std::string_view(buffer).substr(pos, end - pos);
    pos = end + 2;
    return Read::Ok;
}

Read readChunkedBody(Stream& stream, std::string& buffer, std::string& body) {
    std::size_t pos = 0;
    for (;;) {
        std::string_view line;
        if (const Read read = readLine(stream, buffer, pos, line); read != Read::Ok) return read;
        const std::string_view digits = trim(line.substr(0, line.find(';')));
        std::size_t size = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
        if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
            size > kMaxBodyBytes - body.size())
            return Read::Malformed;
        if (size == 0) {
            do { // trailer fields, ignored, up to the empty line
                if (const Read read = readLine(stream, buffer, pos, line); read != Read::Ok) return read;
            } while (!line.empty());
            buffer.erase(0, pos);
            return Read::Ok;
        }
        while (buffer.size() < pos + size + 2)
            if (!stream.readMore(buffer)) return Read::Closed;
        if (buffer.compare(pos + size, 2, "\r\n") != 0) return Read::Malformed;
        body.append(buffer, pos, size);
        pos += size + 2;
    }
}

// Reads one request; buffer carries bytes already received beyond the previous request.
Read readRequest(Stream& stream, std::string& buffer, ReceivedRequest& request, bool& keepAlive) {
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxHeadBytes) return Read::Malformed;
        if (!stream.readMore(buffer)) return Read::Closed;
    }
    const std::string head = buffer.substr(0, headEnd + 2);
    buffer.erase(0, headEnd + 4);

    const std::string_view all(head);
    std::size_t lineEnd = all.find("\r\n");
    const std::string_view requestLine = all.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return Read::Malformed;
    const std::string_view version = requestLine.substr(lastSpace + 1);
    if (!version.starts_with("HTTP/1.")) return Read::Malformed;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    request.query = question == std::string::npos ? "" : request.target.substr(question + 1);

    for (std::size_t pos = lineEnd + 2; pos < all.size(); pos = lineEnd + 2) {
        lineEnd = all.find("\r\n", pos);
        const std::string_view line = all.substr(pos, lineEnd - pos);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Read::Malformed;
        const std::string name = lower(trim(line.substr(0, colon)));
        const std::string_view value = trim(line.substr(colon + 1));
        auto [it, inserted] = request.headers.try_emplace(name, value);
        if (!inserted) it->second.append(", ").append(value);
    }

    const std::string connection = request.header("connection");
    keepAlive = version == "HTTP/1.0" ? hasToken(connection, "keep-alive") : !hasToken(connection, "close");

    const bool chunked = hasToken(request.header("transfer-encoding"), "chunked");
    const auto length = request.headers.find("content-length");
    if (!chunked && length == request.headers.end()) return Read::Ok;
    // libcurl holds back large bodies until told to go on (or a second passes).
    if (lower(request.header("expect")) == "100-continue" &&
        !stream.writeAll("HTTP/1.1 100 Continue\r\n\r\n"))
        return Read::Closed;
    if (chunked) return readChunkedBody(stream, buffer, request.body);

    std::size_t size = 0;
    const std::string& digits = length->second;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
        size > kMaxBodyBytes)
        return Read::Malformed;
    while (buffer.size() < size)
        if (!stream.readMore(buffer)) return Read::Closed;
    request.body = buffer.substr(0, size);
    buffer.erase(0, size);
    return Read::Ok;
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

// Content-Length and Connection are the server's to set: the first always matches the body,
// the second follows keepAlive (which a "Connection: close" in the response turns off).
std::string formatResponse(const HttpResponse& response, bool sendBody, bool& keepAlive) {
    std::string out =
        "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) {
        const std::string key = lower(name);
        if (key == "connection" && hasToken(value, "close")) keepAlive = false;
        if (key == "content-length" || key == "connection") continue;
        out.append(name).append(": ").append(value).append("\r\n");
    }
    out.append("Content-Length: ").append(std::to_string(response.body.size())).append("\r\n");
    if (!keepAlive) out.append("Connection: close\r\n");
    out.append("\r\n");
    if (sendBody) out.append(response.body);
    return out;
}

bool streamed(const HttpResponse& response) {
    return !response.file.empty() || response.noLength || response.cutAfter.has_value();
}

// Writes a streamed answer; false when the connection is over (always, unless it can go on).
bool writeStreamed(Stream& stream, const HttpResponse& response, bool sendBody, bool& keepAlive,
                   std::string& buffer) {
    std::ifstream file;
    std::uintmax_t size = response.body.size();
    if (!response.file.empty()) {
        file.open(response.file, std::ios::binary);
        std::error_code error;
        size = std::filesystem::file_size(response.file, error);
        if (!file || error) return false;
    }
    if (response.noLength) keepAlive = false;
    HttpResponse head = response;
    head.body.clear();
    std::string out = formatResponse(head, false, keepAlive);
    const std::string emptyLength = "Content-Length: 0\r\n";
    const auto at = out.find(emptyLength);
    out.replace(at, emptyLength.size(),
                response.noLength ? std::string() : "Content-Length: " + std::to_string(size) + "\r\n");
    if (!stream.writeAll(out)) return false;
    if (!sendBody) return keepAlive;

    std::uintmax_t left = response.cutAfter ? std::min<std::uintmax_t>(*response.cutAfter, size) : size;
    std::size_t offset = 0;
    std::vector<char> piece(64 * 1024);
    while (left > 0) {
        const auto length = static_cast<std::size_t>(std::min<std::uintmax_t>(left, piece.size()));
        if (file.is_open()) {
            file.read(piece.data(), static_cast<std::streamsize>(length));
            if (static_cast<std::size_t>(file.gcount()) != length) return false;
        } else {
            std::copy_n(response.body.data() + offset, length, piece.data());
        }
        if (!stream.writeAll(std::string_view(piece.data(), length))) return false;
        offset += length;
        left -= length;
    }
    if (response.cutAfter && *response.cutAfter < size) {
        if (response.holdOpen) {
            while (stream.readMore(buffer)) {
            } // until the client leaves or the server stops
        }
        return false; // no close_notify: the client sees the answer cut short
    }
    if (!keepAlive) stream.closeNotify();
    return keepAlive;
}

} // namespace

std::string ReceivedRequest::header(std::string_view name) const {
    const auto it = headers.find(lower(name));
    return it == headers.end() ? std::string() : it->second;
}

HttpResponse HttpResponse::json(int status, std::string body) {
    return HttpResponse{status, {{"Content-Type", "application/json"}}, std::move(body)};
}

HttpResponse HttpResponse::text(int status, std::string body) {
    return HttpResponse{status, {{"Content-Type", "text/plain; charset=utf-8"}}, std::move(body)};
}

HttpResponse HttpResponse::dropped(std::chrono::milliseconds delay) {
    HttpResponse response;
    response.delay = delay;
    response.drop = true;
    return response;
}

struct HttpsServer::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
};

HttpsServer::HttpsServer(Options options) : options_(options) {
    try {
        if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) failWithErrno("pipe");
        if (options_.tls) {
            sslContext_ = SSL_CTX_new(TLS_server_method());
            if (!sslContext_) failWithOpenSsl("SSL_CTX_new");
            SSL_CTX_set_min_proto_version(sslContext_, TLS1_2_VERSION);
            auto certificate = testServerCertFile();
            auto key = testServerKeyFile();
            if (options_.certificate == Certificate::OtherName) {
                certificate = otherNameCertFile();
                key = otherNameKeyFile();
            } else if (options_.certificate == Certificate::SelfSigned) {
                certificate = selfSignedCertFile();
                key = selfSignedKeyFile();
            }
            if (SSL_CTX_use_certificate_chain_file(sslContext_, certificate.c_str()) != 1)
                failWithOpenSsl("loading " + certificate.string());
            if (SSL_CTX_use_PrivateKey_file(sslContext_, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(sslContext_) != 1)
                failWithOpenSsl("loading " + key.string());
        }

        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listenFd_ < 0) failWithErrno("socket");
        // Stand-in servers come back on the same fixed port right after the previous one closed.
        const int one = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(options_.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            failWithErrno("cannot bind 127.0.0.1:" + std::to_string(options_.port));
        if (::listen(listenFd_, SOMAXCONN) != 0) failWithErrno("listen");
        socklen_t length = sizeof address;
        if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            failWithErrno("getsockname");
        port_ = ntohs(address.sin_port);

        acceptor_ = std::thread([this] { acceptLoop(); });
    } catch (...) {
        closeResources();
        throw;
    }
}

HttpsServer::~HttpsServer() {
    // Never read, the byte keeps the pipe readable: every wait of every thread sees it.
    const char stop = 1;
    const ssize_t written = ::write(stopPipe_[1], &stop, 1);
    (void)written; // an empty pipe always takes one byte
    acceptor_.join();
    // The acceptor was the only other user of connections_.
    for (auto& connection : connections_)
        connection->thread.join();
    connections_.clear();
    closeResources();
}

void HttpsServer::closeResources() {
    if (listenFd_ >= 0) ::close(listenFd_);
    for (int& fd : stopPipe_)
        if (fd >= 0) ::close(fd);
    if (sslContext_) SSL_CTX_free(sslContext_);
    listenFd_ = -1;
    stopPipe_[0] = stopPipe_[1] = -1;
    sslContext_ = nullptr;
}

std::string HttpsServer::baseUrl() const {
    return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void HttpsServer::route(std::string method, std::string path, HttpResponse response) {
    route(std::move(method), std::move(path),
          Handler([response = std::move(response)](const ReceivedRequest&) { return response; }));
}

void HttpsServer::route(std::string method, std::string path, Handler handler) {
    auto shared = std::make_shared<const Handler>(std::move(handler));
    const std::lock_guard lock(mutex_);
    routes_[{std::move(method), std::move(path)}] = std::move(shared);
}

void HttpsServer::routeSequence(std::string method, std::string path, std::vector<HttpResponse> responses) {
    if (responses.empty())
        throw std::invalid_argument("HttpsServer::routeSequence needs at least one response");
    struct Sequence {
        std::mutex mutex;
        std::vector<HttpResponse> responses;
        std::size_t next = 0;
    };
    auto sequence = std::make_shared<Sequence>();
    sequence->responses = std::move(responses);
    route(std::move(method), std::move(path), Handler([sequence](const ReceivedRequest&) {
              const std::lock_guard lock(sequence->mutex);
              const std::size_t index = std::min(sequence->next, sequence->responses.size() - 1);
              ++sequence->next;
              return sequence->responses[index];
          }));
}

std::vector<ReceivedRequest> HttpsServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpsServer::count(std::string_view method, std::string_view path) const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(requests_.begin(), requests_.end(),
                      [&](const ReceivedRequest& r) { return r.method == method && r.path == path; }));
}

bool HttpsServer::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

void HttpsServer::record(const ReceivedRequest& request) {
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    requestArrived_.notify_all();
}

HttpResponse HttpsServer::answer(const ReceivedRequest& request) const {
    std::shared_ptr<const Handler> handler;
    {
        const std::lock_guard lock(mutex_);
        const auto it = routes_.find({request.method, request.path});
        if (it != routes_.end()) handler = it->second;
    }
    if (!handler) return HttpResponse::json(404, R"({"message":"Not Found"})");
    try {
        return (*handler)(request);
    } catch (const std::exception& error) {
        return HttpResponse::text(500, std::string("handler threw: ") + error.what());
    } catch (...) {
        return HttpResponse::text(500, "handler threw");
    }
}

void HttpsServer::acceptLoop() {
    blockSigpipeInThisThread(); // inherited by the connection threads started here
    for (;;) {
        if (waitFor(listenFd_, POLLIN, stopPipe_[0], -1) == Wait::Stopped) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: back off instead of spinning on the ready socket.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                if (waitFor(-1, 0, stopPipe_[0], 50) == Wait::Stopped) return;
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        // Long-running stand-in servers see many short connections: join the ended ones.
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& connection) {
            if (!connection->finished) return false;
            connection->thread.join();
            return true;
        });
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection& ref = *connection;
        try {
            ref.thread = std::thread([this, &ref] {
                try {
                    serve(ref);
                } catch (...) {
                    // Out of memory at worst; the connection just ends.
                }
                ::close(ref.fd);
                ref.finished = true;
            });
        } catch (const std::system_error&) {
            ::close(fd);
            continue;
        }
        connections_.push_back(std::move(connection));
    }
}

void HttpsServer::serve(Connection& connection) {
    const int stopFd = stopPipe_[0];
    Stream stream(connection.fd, sslContext_, stopFd);
    if (!stream.handshake()) return;
    std::string buffer;
    for (;;) {
        ReceivedRequest request;
        bool keepAlive = true;
        const Read read = readRequest(stream, buffer, request, keepAlive);
        if (read == Read::Closed) return;
        if (read == Read::Malformed) {
            keepAlive = false;
            stream.writeAll(formatResponse(HttpResponse::text(400, "Bad Request"), true, keepAlive));
            stream.closeNotify();
            return;
        }
        record(request);
        const HttpResponse response = answer(request);
        if (response.delay.count() > 0 && !sleepUnlessStopped(stopFd, response.delay)) return;
        if (response.drop) return; // no close_notify either: the client sees the connection die
        if (!response.raw.empty()) {
            for (std::size_t i = 0; i < response.raw.size(); ++i) {
                if (i > 0 && response.pieceGap.count() > 0 && !sleepUnlessStopped(stopFd, response.pieceGap))
                    return;
                if (!stream.writeAll(response.raw[i])) return;
            }
            if (response.holdOpen) {
                while (stream.readMore(buffer)) {
                } // until the client closes or the server stops
                return;
            }
            stream.closeNotify();
            return;
        }
        if (streamed(response)) {
            if (!writeStreamed(stream, response, request.method != "HEAD", keepAlive, buffer)) return;
            continue;
        }
        if (!stream.writeAll(formatResponse(response, request.method != "HEAD", keepAlive))) return;
        if (!keepAlive) {
            stream.closeNotify();
            return;
        }
    }
}

} // namespace korvane::testing
