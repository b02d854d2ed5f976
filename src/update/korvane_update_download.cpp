#include "update/korvane_update_download.h"

#include "base/detached_thread.h"
#include "base/errors.h"
#include "base/executor.h"
#include "base/resume_once.h"
#include "base/unique_fd.h"
#include "base/uuid.h"
#include "panel/http.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace korvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBadResponse = "更新中心返回了不正确的下载响应";
constexpr const char* kStalled = "更新下载长时间没有收到数据，已停止";
constexpr std::size_t kDigestChunk = std::size_t{1} << 20;
constexpr long kTransferBuffer = 512L * 1024;
constexpr long kMaximumRedirects = 16;

CURLcode trustAdditionalAuthorities(CURL*, void* sslContext, void*) {
    addAdditionalCertificateAuthorities(static_cast<ssl_ctx_st*>(sslContext));
    return CURLE_OK;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool goodStatus(long status) { return status >= 200 && status <= 299; }

} // namespace

namespace detail {

// One download's wait. The transfer runs on a thread of its own and completes the wait on the
// main thread; a cancelled or abandoned wait tells the transfer to stop.
class DownloadWait final : public ResumeOnce {
public:
    DownloadWait(std::string url, fs::path destination, std::function<void(int)> report,
                 std::chrono::milliseconds stallLimit)
        : url_(std::move(url)), destination_(std::move(destination)), report_(std::move(report)),
          stallLimit_(stallLimit) {}

    void begin(std::coroutine_handle<> waiter, std::stop_token token) {
        suspend(waiter, std::move(token));
        if (!waiting()) return;
        auto self = std::static_pointer_cast<DownloadWait>(shared_from_this());
        try {
            startDetachedThread([self]() mutable {
                self->transfer();
                // OpenSSL's state of this thread goes before the wait completes, not at the
                // thread's exit, which may come after the process has ended.
                OPENSSL_thread_stop();
                ResumeOnce::completeLater(std::move(self));
            });
        } catch (const std::system_error& error) {
            error_ = std::make_exception_ptr(FileError(error.code().value()));
            completeLater();
        }
    }

    void take() {
        finish();
        if (error_) std::rethrow_exception(error_);
    }

private:
    enum class Failure { None, BadStatus, TooLarge, Stalled, Write };

    // The partial file, closed on every way out unless closed on purpose first.
    struct OpenFile {
        explicit OpenFile(int descriptor) : fd(descriptor) {}
        int fd;
        OpenFile(const OpenFile&) = delete;
        OpenFile& operator=(const OpenFile&) = delete;
        ~OpenFile() {
            if (fd >= 0) ::close(fd);
        }
    };

    // What the callbacks of one transfer share; touched by the transfer's thread only.
    struct Transfer {
        DownloadWait* wait = nullptr;
        CURL* easy = nullptr;
        int fd = -1;
        bool answered = false;
        std::int64_t expected = -1;
        std::int64_t written = 0;
        int lastPercentage = -1;
        Failure failure = Failure::None;
        int writeError = 0;
        curl_off_t lastReceived = 0;
        std::chrono::steady_clock::time_point lastActivity;
    };

    void stopWork() noexcept override { stop_ = true; }

    void transfer() noexcept {
        const fs::path partial = destination_.parent_path() /
                                 ("." + destination_.filename().string() + "." + makeUuid() + ".part");
        try {
            error_ = perform(partial);
        } catch (...) {
            error_ = std::current_exception();
        }
        // Once it has been moved, the name is free and this removes nothing.
        ::unlink(partial.c_str());
    }

    // The failure, or none once the file is in place.
    std::exception_ptr perform(const fs::path& partial) {
        OpenFile file{::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (file.fd < 0) return std::make_exception_ptr(FileError(errno));

        initialiseCurlOnce();
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
        if (!easy) return std::make_exception_ptr(TransportError(curl_easy_strerror(CURLE_OUT_OF_MEMORY)));
        Transfer state;
        state.wait = this;
        state.easy = easy.get();
        state.fd = file.fd;
        state.lastActivity = std::chrono::steady_clock::now();
        char errorText[CURL_ERROR_SIZE] = {};
        configure(easy.get(), state, errorText);
        const CURLcode result = curl_easy_perform(easy.get());

        if (stop_) return std::make_exception_ptr(Cancelled());
        switch (state.failure) {
        case Failure::BadStatus:
        case Failure::TooLarge:
            return std::make_exception_ptr(KorvaneError(kBadResponse));
        case Failure::Stalled:
            return std::make_exception_ptr(TransportError(kStalled));
        case Failure::Write:
            return std::make_exception_ptr(FileError(state.writeError));
        case Failure::None:
            break;
        }
        if (result != CURLE_OK)
            return std::make_exception_ptr(
                TransportError(errorText[0] ? errorText : curl_easy_strerror(result)));
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        if (!goodStatus(status)) return std::make_exception_ptr(KorvaneError(kBadResponse));

        if (::close(std::exchange(file.fd, -1)) != 0) return std::make_exception_ptr(FileError(errno));
        // rename replaces whatever is at destination, a link included, without following it.
        if (::rename(partial.c_str(), destination_.c_str()) != 0)
            return std::make_exception_ptr(FileError(errno));
        return nullptr;
    }

    void configure(CURL* easy, Transfer& state, char* errorText) const {
        curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaximumRedirects);
        // Never through a proxy from the environment: the computer's proxy may be our own core.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, trustAdditionalAuthorities);
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferBuffer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
    }

    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* user) {
        auto& state = *static_cast<Transfer*>(user);
        const std::size_t length = size * count;
        if (state.wait->stop_) return 0;
        if (!state.answered) {
            // The first bytes of the final answer: its status and announced length decide.
            state.answered = true;
            long status = 0;
            curl_easy_getinfo(state.easy, CURLINFO_RESPONSE_CODE, &status);
            curl_off_t announced = -1;
            curl_easy_getinfo(state.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
            if (!goodStatus(status)) {
                state.failure = Failure::BadStatus;
                return 0;
            }
            if (announced > static_cast<curl_off_t>(KorvaneUpdateDownload::kMaximumPackageSize)) {
                state.failure = Failure::TooLarge;
                return 0;
            }
            state.expected = announced;
        }
        const auto after = state.written + static_cast<std::int64_t>(length);
        if (after > static_cast<std::int64_t>(KorvaneUpdateDownload::kMaximumPackageSize) ||
            (state.expected >= 0 && after > state.expected)) {
            state.failure = Failure::TooLarge;
            return 0;
        }
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = ::write(state.fd, data + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                state.failure = Failure::Write;
                state.writeError = n < 0 ? errno : EIO;
                return 0;
            }
            done += static_cast<std::size_t>(n);
        }
        state.written = after;
        const int percentage = downloadPercentage(state.written, state.expected);
        if (percentage >= 0 && percentage != state.lastPercentage) {
            state.lastPercentage = percentage;
            state.wait->report(percentage);
        }
        return length;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        auto& state = *static_cast<Transfer*>(user);
        if (state.wait->stop_) return 1;
        const auto now = std::chrono::steady_clock::now();
        if (received > state.lastReceived) {
            state.lastReceived = received;
            state.lastActivity = now;
        } else if (now - state.lastActivity >= state.wait->stallLimit_) {
            state.failure = Failure::Stalled;
            return 1;
        }
        return 0;
    }

    // From the transfer's thread: hands the percentage to the main thread, where it reaches the
    // caller only while the wait is open.
    void report(int percentage) {
        if (!report_) return;
        mainExecutor().post([self = std::static_pointer_cast<DownloadWait>(shared_from_this()), percentage] {
            if (self->waiting()) self->report_(percentage);
        });
    }

    const std::string url_;
    const fs::path destination_;
    const std::function<void(int)> report_;
    const std::chrono::milliseconds stallLimit_;
    std::atomic<bool> stop_{false};
    // Written by the transfer's thread before it completes the wait, read after on the main thread.
    std::exception_ptr error_;
};

} // namespace detail

namespace {

class DownloadAwaiter {
public:
    explicit DownloadAwaiter(std::shared_ptr<detail::DownloadWait> wait) : wait_(std::move(wait)) {}
    DownloadAwaiter(const DownloadAwaiter&) = delete;
    DownloadAwaiter& operator=(const DownloadAwaiter&) = delete;
    ~DownloadAwaiter() {
        if (wait_) wait_->abandon();
    }

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { wait_->begin(h, stopTokenOf(h)); }
    void await_resume() { wait_->take(); }

private:
    std::shared_ptr<detail::DownloadWait> wait_;
};

} // namespace

KorvaneUpdateDownload::KorvaneUpdateDownload(fs::path destination, std::function<void(int)> reportProgress,
                                             std::chrono::milliseconds stallLimit)
    : destination_(std::move(destination)), reportProgress_(std::move(reportProgress)),
      stallLimit_(stallLimit) {}

Task<void> KorvaneUpdateDownload::run(std::string url) {
    auto wait =
        std::make_shared<detail::DownloadWait>(std::move(url), destination_, reportProgress_, stallLimit_);
    co_await DownloadAwaiter(std::move(wait));
}

int downloadPercentage(std::int64_t written, std::int64_t expected) {
    if (expected < 1) return -1;
    if (written <= 0) return 0;
    if (written >= expected) return 100;
    // written < expected here, so the product fits unless the length is near the top of 64 bits.
    if (written > std::numeric_limits<std::int64_t>::max() / 100)
        return static_cast<int>(written / (expected / 100));
    return static_cast<int>(written * 100 / expected);
}

std::string sha256(const fs::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throw FileError(errno);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) throw FileError(ENOMEM);
    std::vector<unsigned char> chunk(kDigestChunk);
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(errno);
        if (n == 0) break;
        EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xf];
    }
    return text;
}

} // namespace korvane
