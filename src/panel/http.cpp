#include "panel/http.h"

#include "base/errors.h"
#include "base/executor.h"
#include "base/files.h"
#include "base/json.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace korvane {

namespace detail {

// One request's meeting point between the main thread and the I/O thread. The outcome is
// filled by the I/O thread before the completion is posted; resumed_ and the stop callback
// are touched on the main thread only.
class HttpWait : public std::enable_shared_from_this<HttpWait> {
public:
    explicit HttpWait(HttpRequestSpec toSend) : request(std::move(toSend)) {}

    HttpRequestSpec request;
    // Filled by the I/O thread.
    std::string body;
    std::exception_ptr error;

    void begin(std::coroutine_handle<> waiter, std::stop_token token);
    void completeOnMain();
    std::string finish();

private:
    struct OnStop {
        HttpWait* self;
        void operator()() const noexcept;
    };

    std::coroutine_handle<> waiter_;
    bool resumed_ = false;
    bool cancelled_ = false;
    std::optional<std::stop_callback<OnStop>> onStop_;
};

} // namespace detail

namespace {

using detail::HttpWait;

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

    void abandon(const HttpWait* wait) {
        {
            std::lock_guard lock(mutex_);
            abandoned_.push_back(wait);
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

    void takeIncoming() {
        std::deque<std::shared_ptr<HttpWait>> incoming;
        std::vector<const HttpWait*> abandoned;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(incoming_);
            abandoned.swap(abandoned_);
        }
        for (auto& wait : incoming)
            start(std::move(wait));
        for (const HttpWait* wait : abandoned) {
            for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
                if (it->second->wait.get() == wait) {
                    curl_multi_remove_handle(multi_, it->first);
                    transfers_.erase(it);
                    break;
                }
            }
        }
    }

    void start(std::shared_ptr<HttpWait> wait) {
        auto transfer = std::make_unique<Transfer>();
        transfer->wait = std::move(wait);
        const HttpRequestSpec& request = transfer->wait->request;
        CURL* easy = curl_easy_init();
        transfer->easy = easy;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
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
            auto wait = transfer->wait;
            mainExecutor().post([wait] { wait->completeOnMain(); });
        }
    }

    static void settle(Transfer& transfer, CURLcode result) {
        HttpWait& wait = *transfer.wait;
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
    std::vector<const HttpWait*> abandoned_;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers_;
};

// Never destroyed: the I/O thread runs for the life of the process.
HttpEngine& engine() {
    static auto* instance = new HttpEngine();
    return *instance;
}

} // namespace

namespace detail {

void HttpWait::begin(std::coroutine_handle<> waiter, std::stop_token token) {
    waiter_ = waiter;
    if (token.stop_requested()) {
        resumed_ = true;
        cancelled_ = true;
        mainExecutor().post([waiter] { waiter.resume(); });
        return;
    }
    onStop_.emplace(std::move(token), OnStop{this});
    engine().submit(shared_from_this());
}

void HttpWait::completeOnMain() {
    if (resumed_) return;
    resumed_ = true;
    waiter_.resume();
}

void HttpWait::OnStop::operator()() const noexcept {
    if (self->resumed_) return;
    self->resumed_ = true;
    self->cancelled_ = true;
    engine().abandon(self);
    mainExecutor().post([h = self->waiter_] { h.resume(); });
}

std::string HttpWait::finish() {
    onStop_.reset();
    if (cancelled_) throw Cancelled();
    if (error) std::rethrow_exception(error);
    return std::move(body);
}

} // namespace detail

HttpAwaiter::HttpAwaiter(HttpRequestSpec request)
    : wait_(std::make_shared<detail::HttpWait>(std::move(request))) {}
HttpAwaiter::HttpAwaiter(HttpAwaiter&&) noexcept = default;
HttpAwaiter::~HttpAwaiter() = default;

void HttpAwaiter::start(std::coroutine_handle<> h, std::stop_token token) {
    wait_->begin(h, std::move(token));
}

std::string HttpAwaiter::await_resume() { return wait_->finish(); }

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
