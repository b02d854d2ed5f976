// The update flow of the controller: the "checkUpdate" action, the manifest and the choice of
// package, the download with its progress on the page, the digest, the preparation beside the
// installation, and the hand-off that follows it.

#include "app/korvane_application.h"

#include "base/blocking.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/sleep.h"
#include "base/url.h"
#include "diag/korvane_recorder.h"
#include "diag/quality_log.h"
#include "update/korvane_update_download.h"
#include "update/korvane_update_installer.h"
#include "update/update_manifest.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;

namespace {

constexpr double kManifestTimeoutSeconds = 8;
constexpr const char* kBusy = "正在进行其他操作，请稍后再更新";

constexpr const char* kChecking = "正在检查更新…";
constexpr const char* kUpToDate = "目前已是最新版本";
constexpr const char* kDownloadingPatch = "正在下载增量补丁…";
constexpr const char* kDownloadingFull = "正在下载自动安装更新包…";
constexpr const char* kDownloading = "正在下载更新… ";
constexpr const char* kDownloadFailed = "下载失败，请重试";
constexpr const char* kVerifying = "下载完成，正在校验 SHA256…";
constexpr const char* kDigestRefused = "SHA256 校验失败，已拒绝安装";
constexpr const char* kDigestPassed = "已通过 SHA256 校验，正在准备安全重启…";
constexpr const char* kInstalling = "正在安装并重新打开 Korvane…";
constexpr const char* kNotStarted = "更新未开始，旧版本和原配置已保留，请重试";

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The preparation runs to its end even when the check is cancelled: it notices the stop token
// it was given, kills the tool that runs and removes its staging directory before it returns,
// so that a quit never leaves half a staging directory behind.
Task<PreparedKorvaneUpdate> prepareOffMainThread(std::function<PreparedKorvaneUpdate()> body) {
    co_return co_await blocking(std::move(body));
}

} // namespace

Task<Json> KorvaneApplication::checkUpdateAction(const Json& args) {
    if (activity_.applyingUpdate() || activity_.exiting()) throw KorvaneError(kBusy);
    auto busy = activity_.begin(Activity::Work::CheckingUpdate);
    if (!busy) throw KorvaneError(kBusy);
    const auto manual = args.find("manual");
    const bool isManual = manual == args.end() || !manual->is_boolean() || manual->get<bool>();

    // A child of connections_, so that a quit cancels the check and waits for its end.
    auto outcome = std::make_shared<std::exception_ptr>();
    auto check = [](KorvaneApplication& self, bool asked,
                    std::shared_ptr<std::exception_ptr> failure) -> Task<void> {
        try {
            co_await self.checkUpdate(asked);
        } catch (...) {
            *failure = std::current_exception();
        }
    };
    auto handle = connections_.spawn(check(*this, isManual, outcome));
    co_await handle.join();
    if (*outcome) std::rethrow_exception(*outcome);
    if (handle.cancelled()) throw Cancelled();
    co_return Json::object();
}

Task<void> KorvaneApplication::checkUpdate(bool manual) {
    if (!parseURL(remote_.manifest) || !supportDir_) co_return;
    updateProgress(kChecking, -1);
    HttpRequest request{remote_.manifest, "GET", {}, std::nullopt, kManifestTimeoutSeconds};
    const std::string body = co_await http_.send(std::move(request));
    const auto plan = planUpdate(parseManifest(body), appBuild_);
    if (!plan) {
        updateProgress(kUpToDate, -1);
        if (manual) alert("Korvane 已是当前版本", "暂无可用的 Mac 更新。");
        co_return;
    }
    QualityLog::report("update_found", {}, std::nullopt, {}, "manifest");
    KorvaneRecorder::record("update_plan", plan->isPatch ? "patch" : "full", {}, std::nullopt,
                            plan->targetBuild);

    const fs::path package = prepareUpdatesDirectory(*supportDir_) / packageFileName(*plan, appBuild_);
    updateProgress(plan->isPatch ? kDownloadingPatch : kDownloadingFull, 0);
    std::exception_ptr downloadFailure;
    try {
        KorvaneUpdateDownload download(package, [this](int percentage) {
            updateProgress(kDownloading + std::to_string(percentage) + "%", percentage);
        });
        co_await download.run(plan->url);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        downloadFailure = std::current_exception();
    }
    if (downloadFailure) {
        QualityLog::report("update_download_failure", {}, std::nullopt, "download_error");
        updateProgress(kDownloadFailed, -1);
        std::rethrow_exception(downloadFailure);
    }
    KorvaneRecorder::record("update_download_complete", "download", {}, std::nullopt, plan->targetBuild);
    updateProgress(kVerifying, 100);

    auto digestOf = [package] { return sha256(package); };
    const std::string digest = co_await blocking(std::move(digestOf));
    if (lowercase(digest) != lowercase(plan->sha256)) {
        QualityLog::report("update_download_failure", {}, std::nullopt, "sha256_mismatch");
        std::error_code ignored;
        fs::remove(package, ignored);
        updateProgress(kDigestRefused, -1);
        throw KorvaneError("更新文件 SHA256 校验失败，已拒绝安装");
    }
    KorvaneRecorder::record("update_checksum_pass", "sha256", {}, std::nullopt, plan->targetBuild);
    updateProgress(kDigestPassed, 100);

    KorvaneUpdateInstaller::Options options;
    options.stop = co_await currentStopToken();
    std::function<PreparedKorvaneUpdate()> preparation = [package, isPatch = plan->isPatch,
                                                          targetBuild = plan->targetBuild,
                                                          currentBuild = appBuild_, supportDir = *supportDir_,
                                                          bundle = platform_.bundle.location(), options] {
        return KorvaneUpdateInstaller::prepare(package, isPatch, targetBuild, currentBuild,
                                               std::string(kUpdateArchitecture), supportDir, bundle, options);
    };
    PreparedKorvaneUpdate prepared = co_await uncancellable(prepareOffMainThread(std::move(preparation)));
    co_await handOffUpdate(std::move(prepared));
}

// The hand-off: the reconnect marker and the one-time session for the new copy, the node tests
// stopped, the core paused with the proxy settings left on the local port, the install script
// started, and the exit through the termination gate on the next turn. A failure before the
// script runs puts back what was paused and removes both hand-over files.
Task<void> KorvaneApplication::handOffUpdate(PreparedKorvaneUpdate prepared) {
    KorvaneRecorder::record("update_candidate_verified", "before_disconnect", {}, std::nullopt,
                            prepared.toBuild);
    activity_.setUpdate(Activity::Update::HandingOff);
    const bool wasConnected = core_->connected();
    bool paused = false;
    std::exception_ptr failure;
    try {
        if (wasConnected) writeFileAtomically(reconnectMarker(), "", 0600);
        saveUpdateSession();
        co_await stopNodeTests();
        KorvaneRecorder::record("update_core_stop", "begin");
        co_await core_->pauseForUpgrade();
        paused = true;
        KorvaneRecorder::record("update_core_stop", "success");
        prepared.launch();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Only a connection that the pause took down is brought back; one the pause never
        // reached is still up as it was.
        co_await uncancellable(abandonHandOff(wasConnected && paused));
        std::rethrow_exception(failure);
    }

    KorvaneRecorder::record("update_helper_started", "success", {}, std::nullopt, prepared.toBuild);
    activity_.setUpdate(Activity::Update::Applying);
    activity_.setCoreSafelyStopped();
    QualityLog::report("update_install_started", {}, std::nullopt, {}, "prepared_handoff");
    updateProgress(kInstalling, 100);
    KorvaneRecorder::record("update_exit_scheduled", "main_queue");
    // After this action has answered the page.
    auto terminate = [](KorvaneApplication* self) -> Task<void> {
        co_await sleep(Duration::zero());
        self->platform_.application.requestTermination();
    };
    tasks_.spawn(terminate(this));
}

Task<void> KorvaneApplication::abandonHandOff(bool resume) {
    activity_.setUpdate(Activity::Update::None);
    QualityLog::report("update_install_failure", {}, std::nullopt, "preflight_or_core", "before_exit");
    std::optional<std::string> restoreFailure;
    if (resume) {
        bool resumed = false;
        try {
            co_await core_->resumeAfterUpgrade(subscription_.yaml, subscription_.nodes, selectedNode_, mode_);
            resumed = true;
        } catch (const std::exception&) {
        }
        if (!resumed) {
            try {
                co_await core_->proxy().restore();
            } catch (const std::exception& error) {
                restoreFailure = error.what();
            }
        }
        pushState();
    }
    std::error_code ignored;
    fs::remove(reconnectMarker(), ignored);
    fs::remove(oneTimeSessionFile(), ignored);
    // The settings could not be put back either: the user must not read that they were kept.
    if (restoreFailure) {
        alertRestoreFailed(*restoreFailure);
    } else {
        updateProgress(kNotStarted, -1);
    }
}

} // namespace korvane
