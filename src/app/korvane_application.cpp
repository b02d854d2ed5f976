#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/sleep.h"
#include "base/text.h"
#include "base/url.h"
#include "diag/korvane_recorder.h"
#include "diag/quality_log.h"
#include "panel/http.h"
#include "panel/node_cache.h"
#include "platform/system_info.h"

#include <korvane_deployment.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr Duration kHealthInterval = 8s;
constexpr Duration kWakeDelay = 4s;
constexpr Duration kLaunchUpdateDelay = 1500ms;
constexpr const char* kCheckUpdateOption = "--check-update";
constexpr const char* kStatusEmoji = "🛡️";
constexpr double kQualityUploadTimeoutSeconds = 4;

// A private file that exists but was not read (a FIFO, a link, a foreign or oversized file)
// leaves a line in the event log; the client goes on as if it were absent.
void noteRefusedFile(const char* which, PrivateFileRead::Refusal refusal) {
    if (refusal == PrivateFileRead::Refusal::None || refusal == PrivateFileRead::Refusal::Missing) return;
    KorvaneRecorder::record("private_file_refused", which, refusalCode(refusal));
}

} // namespace

std::string bundleVersion(const Bundle& bundle) {
    return bundle.infoString("CFBundleShortVersionString").value_or("0.0.0");
}

std::int64_t bundleBuild(const Bundle& bundle) {
    auto text = bundle.infoString("CFBundleVersion");
    if (!text) return 0;
    return parseDecimalInteger(*text).value_or(0);
}

KorvaneApplication::KorvaneApplication(Platform& platform, HttpClient& http)
    : platform_(platform), http_(http),
      xboard_(http, platform.bundle.infoString("CFBundleShortVersionString")),
      appVersion_(bundleVersion(platform.bundle)), appBuild_(bundleBuild(platform.bundle)),
      sessionStore_(platform.directories) {
    if (deployment::kTrustsTestCertificateAuthority) {
        if (auto authority = platform.bundle.resource("test-ca.pem"))
            trustAdditionalCertificateAuthority(*authority);
    }
}

KorvaneApplication::~KorvaneApplication() {
    QualityLog::configure(nullptr);
    uploads_->discard();
    tasks_.discard();
}

// ---- Launch -------------------------------------------------------------------------------

void KorvaneApplication::applicationDidFinishLaunching() {
    platform_.application.setActivationPolicyRegular();
    if (offerMoveToApplicationsIfNeeded()) return;

    auto applicationSupport = platform_.directories.applicationSupport();
    if (!applicationSupport) {
        platform_.application.systemLog("Korvane cannot start: no Application Support directory");
        return;
    }
    supportDir_ = *applicationSupport / "Korvane";
    createPrivateDirectories(*supportDir_);

    core_ = std::make_unique<MihomoCore>(*supportDir_, platform_.bundle.resourcesDirectory());
    loadSettings();
    loadCache();
    configureQualityReports();
    startWhitelistPulse();
    buildWindow();
    buildMenuBar();
    startHealthChecks();
    startWakeMonitoring();
    QualityLog::report("app_start");
    recordPreviousUpdateResult();
    launchTask_ = tasks_.spawn(runLaunchTask());
}

void KorvaneApplication::loadSettings() {
    auto& defaults = platform_.defaults;
    email_ = defaults.getString(SettingsKey::kEmail).value_or("");
    mode_ = defaults.getString(SettingsKey::kMode) == "global" ? "global" : "smart";
    selectedNode_ = defaults.getString(SettingsKey::kSelectedNode).value_or("");
}

void KorvaneApplication::configureQualityReports() {
    auto environment = std::make_shared<QualityEnvironment>();
    UserDefaults& defaults = platform_.defaults;
    const LocalSessionStore store = sessionStore_;
    environment->consent = [&defaults] {
        return defaults.getBool(SettingsKey::kQualityEnabled).value_or(false);
    };
    environment->readInstallId = [store] { return store.read("install_id"); };
    environment->storeInstallId = [store](const std::string& id) { return store.write("install_id", id); };
    HttpClient& http = http_;
    environment->upload = [&http, uploads = std::weak_ptr<TaskScope>(uploads_)](std::string url,
                                                                                std::string body) {
        // Reports can come from any thread; the upload itself is a task on the main loop
        // whose outcome nobody waits for.
        mainExecutor().post([&http, uploads, url = std::move(url), body = std::move(body)]() mutable {
            auto scope = uploads.lock();
            if (!scope) return;
            auto send = [](HttpClient& client, std::string target, std::string payload) -> Task<void> {
                HttpRequest request{std::move(target),
                                    "POST",
                                    {{"Content-Type", "application/json"}},
                                    std::move(payload),
                                    kQualityUploadTimeoutSeconds};
                try {
                    co_await client.send(std::move(request));
                } catch (const std::exception&) {
                }
            };
            scope->spawn(send(http, std::move(url), std::move(body)));
        });
    };
    environment->appVersion = platform_.bundle.infoString("CFBundleShortVersionString").value_or("");
    environment->appBuild = appBuild_;
    environment->osVersion = operatingSystemVersion();
    environment->endpoint = deployment::kQualityEndpoint;
    QualityLog::configure(std::move(environment));
}

void KorvaneApplication::loadCache() {
    // The node list is trusted only next to the subscription it came from.
    auto cached = readPrivateFile(*supportDir_ / "subscription.yaml", kMaximumCacheSize);
    noteRefusedFile("subscription_cache", cached.refusal);
    auto& text = cached.bytes;
    if (!text || !isValidUtf8(*text)) return;
    subscriptionYAML_ = std::move(*text);
    nodes_ = readNodeCache(*supportDir_ / "nodes.json");
}

Task<void> KorvaneApplication::runLaunchTask() {
    co_await reconnectAfterUpdateIfPending();
    co_await recoverStaleSystemProxy();

    auth_ = loadStoredCredential();
    if (auth_) {
        sendPulseInBackground("startup");
        std::optional<std::string> failure;
        try {
            co_await refresh(false);
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!failure) {
            QualityLog::report("dashboard_load_success");
        } else {
            QualityLog::report("dashboard_load_failure", "", std::nullopt, "profile_timeout", "startup");
            platform_.application.systemLog("Korvane profile refresh failed: " + *failure);
        }
    } else {
        co_await refreshRemoteEndpoints();
    }

    startupReady_ = true;
    pushState();
    publishLaunchHealth();
    triggerRequestedUpdate();
}

void KorvaneApplication::triggerRequestedUpdate() {
    const auto arguments = platform_.application.arguments();
    if (std::find(arguments.begin(), arguments.end(), kCheckUpdateOption) == arguments.end()) return;
    if (!uiReady_ || !startupReady_ || launchUpdateTriggered_) return;
    launchUpdateTriggered_ = true;
    auto press = [](KorvaneApplication* self) -> Task<void> {
        co_await sleep(kLaunchUpdateDelay);
        if (!self->window_) co_return;
        self->window_->evaluateScript("document.getElementById('settingsModal').classList.remove('hidden'); "
                                      "document.getElementById('updateButton').click();",
                                      [](std::optional<std::string> error) {
                                          KorvaneRecorder::record("update_button_trigger",
                                                                  error ? "failed" : "webview");
                                      });
    };
    tasks_.spawn(press(this));
}

// ---- Window, menu, monitors ---------------------------------------------------------------

void KorvaneApplication::buildWindow() {
    WindowSpec geometry{"Korvane", 920, 650, 790, 540, true};
    window_ = platform_.windows.createMainWindow(geometry, *this);
    if (auto bridge = platform_.bundle.resource("UI/bridge.js")) {
        if (auto source = readFile(*bridge); source && isValidUtf8(*source)) window_->addUserScript(*source);
    }
    if (auto page = platform_.bundle.resource("UI/index.html")) {
        window_->loadFile(fileURL(page->string()), page->parent_path().string());
    } else {
        alert("安装包不完整", "找不到 Korvane UI 页面");
    }
    window_->show();
    window_->bringToFront();
    platform_.application.activate();
}

void KorvaneApplication::buildMenuBar() {
    std::optional<std::string> icon;
    if (auto path = platform_.bundle.resource("Korvane.icns")) icon = path->string();
    std::vector<MenuItem> menu{
        {"打开 Korvane", "", [this] { showWindow(); }},
        {"连接 / 断开", "", [this] { menuToggle(); }},
        {"", "", {}},
        {"退出 Korvane", "q", [this] { quit(); }},
    };
    statusItem_ = platform_.windows.createStatusItem(icon, kStatusEmoji, std::move(menu));
}

void KorvaneApplication::startHealthChecks() {
    auto loop = [](KorvaneApplication* self) -> Task<void> {
        for (;;) {
            co_await sleep(kHealthInterval);
            self->healthTick();
        }
    };
    heartbeatTimer_ = tasks_.spawn(loop(this));
}

void KorvaneApplication::startWakeMonitoring() { wakeObserved_ = true; }

void KorvaneApplication::showWindow() {
    if (!window_) return;
    window_->show();
    window_->bringToFront();
    platform_.application.activate();
}

bool KorvaneApplication::windowShouldClose() {
    if (window_) window_->hide();
    return false;
}

void KorvaneApplication::menuToggle() {
    if (busy_ || updatePreparing_ || applyingUpdate_) return;
    auto toggle = [](KorvaneApplication* self) -> Task<void> {
        if (!self->core_) co_return;
        if (self->core_->connected()) {
            co_await self->disconnectCore();
            self->pushState();
        } else if (self->subscriptionYAML_.empty()) {
            self->alert("连接操作失败", "请先登录并刷新节点");
        } else {
            // Connecting from the menu arrives with the proxy core.
            self->alert("连接操作失败", "当前版本尚不支持连接");
        }
    };
    tasks_.spawn(toggle(this));
}

void KorvaneApplication::healthTick() {
    auto tick = [](KorvaneApplication* self) -> Task<void> {
        if (!self->core_) co_return;
        self->recordPreviousUpdateResult();
        self->publishLaunchHealth();
        if (self->updatePreparing_ || self->applyingUpdate_) co_return;
        self->requestAccountRefresh(120);
        if (self->core_->connected() && !self->core_->processRunning()) {
            co_await self->disconnectCore();
            self->pushState();
            co_return;
        }
        const bool ready = self->core_->socksReady();
        if (ready != self->lastSocksReady_) {
            self->lastSocksReady_ = ready;
            self->pushState();
        }
    };
    tasks_.spawn(tick(this));
}

void KorvaneApplication::systemDidWake() {
    if (!wakeObserved_) return;
    tasks_.spawn(wakeTask());
}

Task<void> KorvaneApplication::wakeTask() {
    KorvaneRecorder::record("system_wake", "network_check");
    co_await sleep(kWakeDelay);
    if (core_ && core_->connected()) {
        if (core_->socksReady()) {
            KorvaneRecorder::record("wake_proxy_ready", "port7897");
        } else {
            KorvaneRecorder::record("wake_proxy_not_ready", "port7897");
            pushState();
        }
    }
    requestAccountRefresh(120);
}

void KorvaneApplication::networkPathChanged(const NetworkPath&) {
    // Network changes matter to the whitelist pulse, which is not part of this build yet.
}

void KorvaneApplication::applicationDidBecomeActive() { requestAccountRefresh(30); }

// ---- Shutdown ----------------------------------------------------------------------------

void KorvaneApplication::quit() { platform_.application.requestTermination(); }

KorvaneApplication::TerminateReply KorvaneApplication::applicationShouldTerminate() {
    KorvaneRecorder::record("app_terminate_request", applyingUpdate_ ? "update" : "normal");
    if (!core_) return TerminateReply::Now;
    if (applyingUpdate_ && upgradeCoreSafelyStopped_) {
        KorvaneRecorder::record("update_app_exit", "ready");
        return TerminateReply::Now;
    }
    if (exiting_) return TerminateReply::Later;
    exiting_ = true;
    if (nodeTestTask_) nodeTestTask_->cancel();
    tasks_.spawn(exitTask());
    return TerminateReply::Later;
}

Task<void> KorvaneApplication::exitTask() {
    std::optional<std::string> failure;
    try {
        co_await disconnectCore();
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure) {
        QualityLog::report("proxy_restore_success", "", std::nullopt, "", "normal_exit");
        platform_.application.replyToTermination(true);
        co_return;
    }
    QualityLog::report("proxy_restore_failure", "", std::nullopt, "permission_or_network", "termination");
    alert("无法恢复系统代理", "请允许恢复系统代理设置后再退出：\n" + *failure);
    exiting_ = false;
    platform_.application.replyToTermination(false);
}

// ---- Stale proxy recovery ------------------------------------------------------------------

// A backup file (or a helper that still reports the proxy as switched) while nothing is
// connected means an earlier run ended without putting the user's settings back, most
// likely in a crash. They are restored before anything else goes over the network.
Task<void> KorvaneApplication::recoverStaleSystemProxy() {
    if (!core_ || core_->connected() || !core_->requiresRecovery()) co_return;
    std::optional<std::string> failure;
    try {
        co_await core_->proxy().restore();
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) alert("系统代理恢复失败", *failure + "\n请允许恢复后再连接。");
}

// ---- Dialogs, links and the support window --------------------------------------------------

void KorvaneApplication::showSupport() {
    if (supportWindow_) {
        supportWindow_->bringToFront();
        return;
    }
    if (!isHTTPSURL(remote_.support)) return;
    WindowSpec geometry{"Korvane 在线客服", 440, 670, 0, 0, false};
    supportWindow_ = platform_.windows.createPlainWebWindow(geometry);
    supportWindow_->load(remote_.support, 60);
    supportWindow_->bringToFront();
}

void KorvaneApplication::alert(const std::string& title, const std::string& text) {
    platform_.windows.runModalAlert(title, text, {"确定"});
}

bool KorvaneApplication::confirm(const std::string& title, const std::string& text) {
    return platform_.windows.runModalAlert(title, text, {"继续", "取消"}) == 0;
}

// ---- Seams -------------------------------------------------------------------------------

bool KorvaneApplication::offerMoveToApplicationsIfNeeded() { return false; }
void KorvaneApplication::startWhitelistPulse() {}
void KorvaneApplication::recordPreviousUpdateResult() {}
Task<void> KorvaneApplication::reconnectAfterUpdateIfPending() { co_return; }
std::optional<std::string> KorvaneApplication::loadStoredCredential() {
    PrivateFileRead::Refusal refusal = PrivateFileRead::Refusal::None;
    auto credential = sessionStore_.read("auth", &refusal);
    noteRefusedFile("auth_session", refusal);
    return credential;
}
Task<void> KorvaneApplication::refreshRemoteEndpoints() { co_await remote_.refresh(http_); }
void KorvaneApplication::publishLaunchHealth() {}
// Until the core process is started by this build, disconnecting means putting back proxy
// settings that may still point at the local port.
Task<void> KorvaneApplication::disconnectCore() {
    if (core_ && core_->requiresRecovery()) co_await core_->proxy().restore();
}
bool KorvaneApplication::coreRequiresRecovery() { return core_ && core_->requiresRecovery(); }
Task<void> KorvaneApplication::runNodeTests(std::string, std::vector<Node>, std::string,
                                            std::function<void(const std::string&, bool)>) {
    co_return;
}
void KorvaneApplication::sendPulseInBackground(const std::string&) {}
void KorvaneApplication::resetPulseForLogout() {}

} // namespace korvane
