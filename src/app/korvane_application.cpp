// The controller's construction, its launch sequence and launch task, and its orderly
// shutdown. Monitors, the menu and windows are in monitors.cpp; the page's state and
// messages in state_document.cpp; the actions in actions.cpp; refreshes in refresh.cpp.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/sleep.h"
#include "base/text.h"
#include "diag/korvane_recorder.h"
#include "diag/launch_health.h"
#include "diag/quality_log.h"
#include "panel/node_cache.h"
#include "platform/system_info.h"
#include "update/korvane_migration.h"

#include <korvane_deployment.h>

#include <algorithm>
#include <chrono>

namespace korvane {

using namespace std::chrono_literals;

namespace {

constexpr Duration kLaunchUpdateDelay = 1500ms;
constexpr const char* kCheckUpdateOption = "--check-update";
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

KorvaneApplication::KorvaneApplication(Platform& platform, HttpClient& http,
                                       std::function<std::unique_ptr<KorvanePulseTransport>()> pulseTransport,
                                       std::shared_ptr<const ProxySettingsBackend> proxySettings)
    : platform_(platform), http_(http), pulseTransport_(std::move(pulseTransport)),
      proxySettings_(std::move(proxySettings)), appVersion_(bundleVersion(platform.bundle)),
      appBuild_(bundleBuild(platform.bundle)),
      xboard_(http, platform.bundle.infoString("CFBundleShortVersionString")), account_(platform.directories),
      bridge_(platform, PageBridge::Handlers{[this](std::string id, std::string action, Json args) {
                                                 handleMessage(std::move(id), std::move(action),
                                                               std::move(args));
                                             },
                                             [this] { pageLoaded(); },
                                             [this](const std::string& title, const std::string& text) {
                                                 return confirm(title, text);
                                             }}),
      nodeTests_([this] { pushState(); },
                 [this](const std::string& error) {
                     platform_.application.systemLog("Korvane node availability check failed: " + error);
                 }) {
    if (deployment::kTrustsTestCertificateAuthority) {
        if (auto authority = platform.bundle.resource("test-ca.pem"))
            trustAdditionalCertificateAuthority(*authority);
    }
}

KorvaneApplication::~KorvaneApplication() {
    QualityLog::configure(nullptr);
    uploads_->discard();
    nodeTests_.discard();
    connections_.discard();
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

    core_ = std::make_unique<MihomoCore>(*supportDir_, platform_.bundle.resourcesDirectory(), http_,
                                         proxySettings_);
    KorvaneRecorder::record("system_proxy_backend", core_->proxy().settingsName());
    loadSettings();
    loadCache();
    configureQualityReports();
    startWhitelistPulse();
    buildWindow();
    buildMenuBar();
    startHealthChecks();
    QualityLog::report("app_start");
    recordPreviousUpdateResult();
    launchTask_ = tasks_.spawn(runLaunchTask());
}

void KorvaneApplication::loadSettings() {
    auto& defaults = platform_.defaults;
    account_.setEmail(defaults.getString(SettingsKey::kEmail).value_or(""));
    mode_ = defaults.getString(SettingsKey::kMode) == "global" ? "global" : "smart";
    selectedNode_ = defaults.getString(SettingsKey::kSelectedNode).value_or("");
}

void KorvaneApplication::configureQualityReports() {
    auto environment = std::make_shared<QualityEnvironment>();
    UserDefaults& defaults = platform_.defaults;
    const LocalSessionStore store = account_.store();
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
    if (!cached.bytes || !isValidUtf8(*cached.bytes)) return;
    subscription_.yaml = std::move(*cached.bytes);
    subscription_.nodes = readNodeCache(*supportDir_ / "nodes.json");
}

Task<void> KorvaneApplication::runLaunchTask() {
    const std::uint64_t accountAtStart = account_.generation();
    // A core left running by a client that was killed holds the ports and an old
    // configuration; it goes before anything else.
    co_await core_->stopOrphanCore();
    co_await reconnectAfterUpdateIfNeeded();
    co_await recoverStaleSystemProxy();

    // A sign-in (or sign-out) made while the steps above waited stands, and did its own
    // refresh: the stored session does not replace it.
    // The credential an update handed over is consumed whatever happens to it.
    auto carried = restoreUpdateSession();
    if (account_.generation() == accountAtStart) {
        if (!carried) carried = loadStoredCredential();
        if (carried) account_.resume(std::move(*carried));
        if (account_.signedIn()) {
            sendPulseInBackground(KorvanePulseTrigger::Startup);
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
            co_await remote_.refresh(http_);
        }
    }

    startupReady_ = true;
    pushState();
    publishLaunchHealth();
    triggerRequestedUpdate();
}

void KorvaneApplication::triggerRequestedUpdate() {
    const auto arguments = platform_.application.arguments();
    if (std::find(arguments.begin(), arguments.end(), kCheckUpdateOption) == arguments.end()) return;
    if (!bridge_.ready() || !startupReady_ || launchUpdateTriggered_) return;
    launchUpdateTriggered_ = true;
    auto press = [](KorvaneApplication* self) -> Task<void> {
        co_await sleep(kLaunchUpdateDelay);
        self->bridge_.evaluate("document.getElementById('settingsModal').classList.remove('hidden'); "
                               "document.getElementById('updateButton').click();",
                               [](std::optional<std::string> error) {
                                   KorvaneRecorder::record("update_button_trigger",
                                                           error ? "failed" : "webview");
                               });
    };
    tasks_.spawn(press(this));
}

void KorvaneApplication::publishLaunchHealth() {
    if (!supportDir_ || !core_) return;
    LaunchHealth health;
    health.build = appBuild_;
    health.version = appVersion_;
    health.pid = platform_.application.processId();
    health.uiReady = bridge_.ready();
    health.connected = core_->connected();
    health.coreRunning = core_->processRunning();
    health.socksReady = core_->socksReady();
    health.startupReady = startupReady_;
    health.accountSummaryReady = account_.overview().has_value();
    korvane::publishLaunchHealth(*supportDir_, health);
}

// ---- Shutdown ----------------------------------------------------------------------------

void KorvaneApplication::quit() { platform_.application.requestTermination(); }

KorvaneApplication::TerminateReply KorvaneApplication::applicationShouldTerminate() {
    KorvaneRecorder::record("app_terminate_request", activity_.applyingUpdate() ? "update" : "normal");
    if (!core_) return TerminateReply::Now;
    if (activity_.applyingUpdate() && activity_.coreSafelyStopped()) {
        KorvaneRecorder::record("update_app_exit", "ready");
        return TerminateReply::Now;
    }
    if (activity_.exiting()) return TerminateReply::Later;
    activity_.setExiting(true);
    userActed();
    nodeTests_.cancel();
    tasks_.spawn(exitTask());
    return TerminateReply::Later;
}

Task<void> KorvaneApplication::exitTask() {
    // A connect under way is cancelled and has ended (putting back what it switched) before
    // the exit decides what is left to restore.
    connections_.cancel();
    co_await connections_.join();
    // During an update the core is only paused: the proxy settings stay on the local port for
    // the new copy.
    const bool forUpdate = activity_.applyingUpdate();
    std::optional<std::string> failure;
    try {
        if (forUpdate) {
            KorvaneRecorder::record("update_core_stop", "begin");
            co_await core_->pauseForUpgrade();
            KorvaneRecorder::record("update_core_stop", "success");
        } else {
            co_await disconnectCore();
        }
    } catch (const Cancelled&) {
        throw;
    } catch (const ProxyRecordKept&) {
        // The user's settings are back; only the backup file stayed, and the next launch
        // restoring from it writes the same settings again. Refusing to quit would protect
        // nothing and keep the user from ever quitting while the folder cannot be written.
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure) {
        if (!forUpdate) QualityLog::report("proxy_restore_success", "", std::nullopt, "", "normal_exit");
        platform_.application.replyToTermination(true);
        co_return;
    }
    if (activity_.applyingUpdate()) {
        QualityLog::report("update_install_failure", "", std::nullopt, "core_stop_failed", "termination");
        activity_.setUpdate(Activity::Update::None);
        std::error_code ignored;
        std::filesystem::remove(reconnectMarker(), ignored);
        updateProgress("未能安全退出，更新已暂停；旧版本仍然保留", -1);
        alert("更新暂时无法完成", *failure);
    } else {
        QualityLog::report("proxy_restore_failure", "", std::nullopt, "permission_or_network", "termination");
        alert("无法恢复系统代理", "请允许恢复系统代理设置后再退出：\n" + *failure);
    }
    activity_.setExiting(false);
    connections_.reopen(); // connects are possible again
    platform_.application.replyToTermination(false);
}

Task<void> KorvaneApplication::connectCore(std::string node) {
    auto outcome = std::make_shared<std::exception_ptr>();
    auto attempt = [](MihomoCore& core, CachedSubscription subscription, std::string selected,
                      std::string mode, std::shared_ptr<std::exception_ptr> failure) -> Task<void> {
        try {
            co_await core.connect(std::move(subscription.yaml), std::move(subscription.nodes),
                                  std::move(selected), std::move(mode));
        } catch (...) {
            *failure = std::current_exception();
        }
    };
    auto handle = connections_.spawn(attempt(*core_, subscription_, std::move(node), mode_, outcome));
    co_await handle.join();
    if (*outcome) std::rethrow_exception(*outcome);
    if (handle.cancelled()) throw Cancelled();
}

// ---- Stale proxy recovery ------------------------------------------------------------------

// A backup file (or a helper that still reports the proxy as switched) while nothing is
// connected means an earlier run ended without putting the user's settings back, most
// likely in a crash. They are restored before anything else goes over the network.
Task<void> KorvaneApplication::recoverStaleSystemProxy() {
    if (!core_ || core_->connected() || !coreRequiresRecovery()) co_return;
    std::optional<std::string> failure;
    try {
        co_await core_->proxy().restore();
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) alertRestoreFailed(*failure);
}

void KorvaneApplication::alertRestoreFailed(const std::string& error) {
    alert("系统代理恢复失败", error + "\n请允许恢复后再连接。");
}

// ---- Seams -------------------------------------------------------------------------------

// A copy outside the canonical installation only offers to move itself there and quits.
bool KorvaneApplication::offerMoveToApplicationsIfNeeded() {
    if (!offersMoveToApplications_ || KorvaneMigration::isCanonical(platform_.bundle)) return false;
    KorvaneMigration::offer(platform_);
    return true;
}
void KorvaneApplication::startWhitelistPulse() {
    // Asked afresh for every pulse; the coordinator goes before the controller's state does.
    auto context = [this]() -> std::optional<KorvanePulseContext> {
        const auto& credential = account_.credential();
        if (!credential || credential->empty()) return std::nullopt;
        return KorvanePulseContext{remote_.api, *credential, appVersion_};
    };
    pulse_ = std::make_unique<KorvaneWhitelistPulseCoordinator>(
        std::move(context), pulseTransport_ ? pulseTransport_() : makePhysicalPulseTransport());
    pulse_->start();
}

void KorvaneApplication::sendPulseInBackground(KorvanePulseTrigger trigger) {
    if (pulse_) pulse_->sendInBackground(trigger);
}

Task<void> KorvaneApplication::sendPulseBeforeConnect() {
    if (pulse_ && pulse_->shouldSendBeforeConnect())
        co_await pulse_->send(KorvanePulseTrigger::BeforeConnect);
}
std::optional<std::string> KorvaneApplication::loadStoredCredential() {
    PrivateFileRead::Refusal refusal = PrivateFileRead::Refusal::None;
    auto credential = account_.store().read("auth", &refusal);
    noteRefusedFile("auth_session", refusal);
    return credential;
}
Task<void> KorvaneApplication::disconnectCore() {
    if (core_) co_await core_->disconnect();
}
bool KorvaneApplication::coreRequiresRecovery() { return core_ && core_->requiresRecovery(); }
Task<void> KorvaneApplication::runNodeTests(std::string subscription, std::vector<Node> nodes,
                                            std::string mode, NodeTests::OnResult onResult) {
    co_await core_->testNodes(std::move(subscription), std::move(nodes), std::move(mode),
                              std::move(onResult));
}

} // namespace korvane
