#include "panel/http.h"

#include "base/errors.h"
#include "base/executor.h"
#include "base/files.h"
#include "base/json.h"
#include "base/resume_once.h"
#include "base/url.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane {

namespace detail {

// One request's wait. The outcome is filled by the I/O thread before it completes the wait on
// the main thread; a cancelled or abandoned wait tells the I/O thread to drop the transfer.
class HttpWait final : public ResumeOnce {
public:
    explicit HttpWait(HttpRequest toSend);

    // Never reused in the life of the process: the I/O thread may hear of an abandoned
    // transfer after its wait is gone and another one lives at the same address.
    const std::uint64_t id;
    HttpRequest request;
    // Filled by the I/O thread.
    std::string body;
    std::exception_ptr error;

    void begin(std::coroutine_handle<> waiter, std::stop_token token);
    std::string take();

private:
    void stopWork() noexcept override;
};

} // namespace detail

namespace {

using detail::HttpWait;

constexpr const char* kInsecureRedirect = "服务器把请求重定向到不安全的地址：";

std::atomic<std::uint64_t> nextTransferId{1};

std::mutex trustMutex;
// Kept for the life of the process: every new TLS context gets them.
std::vector<X509*>& extraAuthorities() {
    static auto* authorities = new std::vector<X509*>();
    return *authorities;
}

CURLcode addExtraAuthorities(CURL*, void* sslContext, void*) {
    addAdditionalCertificateAuthorities(static_cast<SSL_CTX*>(sslContext));
    return CURLE_OK;
}

bool isSecure(std::string_view url) {
    std::string scheme(urlScheme(url));
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "https";
}

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::optional<std::string> panelMessage(const std::string& body) {
    Json parsed = Json::parse(body, nullptr, false);
    if (!parsed.is_object()) return std::nullopt;
    auto message = parsed.find("message");
    if (message == parsed.end() || !message->is_string()) return std::nullopt;
    return message->get<std::string>();
}

// One transfer in the multi handle, owned by the engine while it runs.
struct Transfer {
    std::shared_ptr<HttpWait> wait;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    std::string response;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }
};

class HttpEngine {
public:
    HttpEngine() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        std::thread([this] { run(); }).detach();
    }

    void submit(std::shared_ptr<HttpWait> wait) {
        {
            std::lock_guard lock(mutex_);
            incoming_.push_back(std::move(wait));
        }
        curl_multi_wakeup(multi_);
    }

    void abandon(std::uint64_t id) {
        {
            std::lock_guard lock(mutex_);
            abandoned_.push_back(id);
        }
        curl_multi_wakeup(multi_);
    }

private:
    void run() {
        for (;;) {
            takeIncoming();
            int running = 0;
            curl_multi_perform(multi_, &running);
            collectFinished();
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    // Abandoned transfers go first, whether running or still waiting to start, so that no
    // new transfer is started only to be dropped.
    void takeIncoming() {
        std::deque<std::shared_ptr<HttpWait>> incoming;
        std::vector<std::uint64_t> abandoned;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(incoming_);
            abandoned.swap(abandoned_);
        }
        const std::unordered_set<std::uint64_t> gone(abandoned.begin(), abandoned.end());
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if (gone.contains(it->second->wait->id)) {
                curl_multi_remove_handle(multi_, it->first);
                it = transfers_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& wait : incoming) {
            if (!gone.contains(wait->id)) start(std::move(wait));
        }
    }

    void start(std::shared_ptr<HttpWait> wait) {
        auto transfer = std::make_unique<Transfer>();
        transfer->wait = std::move(wait);
        const HttpRequest& request = transfer->wait->request;
        CURL* easy = curl_easy_init();
        transfer->easy = easy;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        // What was asked for over TLS (a credential, a subscription) never continues in clear.
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, isSecure(request.url) ? "https" : "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        // The client's own traffic never goes through a proxy taken from the environment:
        // the computer's proxy may be the very core this client controls.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, addExtraAuthorities);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        const auto timeoutMs = static_cast<long>(request.timeoutSeconds * 1000.0);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs > 0 ? timeoutMs : 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer->response);
        if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
            // POSTFIELDS switches the method to POST; keep the caller's.
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        // libcurl adds "Expect: 100-continue" to larger bodies; the caller's headers are the
        // only ones this helper wants on the wire.
        transfer->headers = curl_slist_append(transfer->headers, "Expect:");
        for (const auto& [name, value] : request.headers) {
            transfer->headers = curl_slist_append(transfer->headers, (name + ": " + value).c_str());
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
        curl_multi_add_handle(multi_, easy);
        transfers_.emplace(easy, std::move(transfer));
    }

    void collectFinished() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            auto it = transfers_.find(message->easy_handle);
            if (it == transfers_.end()) continue;
            std::unique_ptr<Transfer> transfer = std::move(it->second);
            transfers_.erase(it);
            curl_multi_remove_handle(multi_, transfer->easy);
            settle(*transfer, message->data.result);
            // The reference goes with the completion: the wait and its outcome are released on
            // the main thread.
            ResumeOnce::completeLater(std::move(transfer->wait));
        }
    }

    static void settle(Transfer& transfer, CURLcode result) {
        HttpWait& wait = *transfer.wait;
        if (result == CURLE_UNSUPPORTED_PROTOCOL) {
            // A redirect the protocol list refused: libcurl has already moved to its target.
            long redirects = 0;
            char* target = nullptr;
            curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_COUNT, &redirects);
            curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &target);
            if (redirects > 0 && target) {
                wait.error = std::make_exception_ptr(KorvaneError(kInsecureRedirect + std::string(target)));
                return;
            }
        }
        if (result != CURLE_OK) {
            std::string text = transfer.errorText[0] ? transfer.errorText : curl_easy_strerror(result);
            wait.error = std::make_exception_ptr(TransportError(text));
            return;
        }
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        try {
            wait.body = checkHttpResponse(status, std::move(transfer.response));
        } catch (...) {
            wait.error = std::current_exception();
        }
    }

    CURLM* multi_ = nullptr;
    std::mutex mutex_;
    std::deque<std::shared_ptr<HttpWait>> incoming_;
    std::vector<std::uint64_t> abandoned_;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers_;
};

// Never destroyed: the I/O thread runs for the life of the process.
HttpEngine& engine() {
    static auto* instance = new HttpEngine();
    return *instance;
}

} // namespace

namespace detail {

HttpWait::HttpWait(HttpRequest toSend) : id(nextTransferId++), request(std::move(toSend)) {}

void HttpWait::begin(std::coroutine_handle<> waiter, std::stop_token token) {
    suspend(waiter, std::move(token));
    if (waiting()) engine().submit(std::static_pointer_cast<HttpWait>(shared_from_this()));
}

void HttpWait::stopWork() noexcept { engine().abandon(id); }

std::string HttpWait::take() {
    finish();
    if (error) std::rethrow_exception(error);
    return std::move(body);
}

} // namespace detail

HttpAwaiter::HttpAwaiter(HttpRequest request)
    : wait_(std::make_shared<detail::HttpWait>(std::move(request))) {}
HttpAwaiter::HttpAwaiter(HttpAwaiter&&) noexcept = default;
HttpAwaiter::~HttpAwaiter() {
    if (wait_) wait_->abandon();
}

void HttpAwaiter::start(std::coroutine_handle<> h, std::stop_token token) {
    wait_->begin(h, std::move(token));
}

std::string HttpAwaiter::await_resume() { return wait_->take(); }

namespace {

class CurlHttpClient final : public HttpClient {
public:
    Task<std::string> send(HttpRequest request) override {
        co_return co_await HttpAwaiter(std::move(request));
    }
};

} // namespace

HttpClient& defaultHttpClient() {
    static CurlHttpClient client;
    return client;
}

std::string checkHttpResponse(long status, std::string body) {
    if (status <= 0) throw KorvaneError("没有收到有效的服务器响应");
    if (status >= 200 && status <= 299) return body;
    throw KorvaneHTTPStatusError(static_cast<int>(status), panelMessage(body));
}

void addAdditionalCertificateAuthorities(ssl_ctx_st* context) {
    std::lock_guard lock(trustMutex);
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (X509* authority : extraAuthorities())
        X509_STORE_add_cert(store, authority);
}

void trustAdditionalCertificateAuthority(const std::filesystem::path& pemFile) {
    auto pem = readFile(pemFile);
    if (!pem) return;
    BIO* bio = BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size()));
    if (!bio) return;
    std::lock_guard lock(trustMutex);
    while (X509* authority = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        extraAuthorities().push_back(authority);
    }
    BIO_free(bio);
}

} // namespace korvane
