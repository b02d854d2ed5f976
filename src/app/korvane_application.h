#pragma once

#include "app/account.h"
#include "app/activity.h"
#include "app/node_tests.h"
#include "app/page_bridge.h"
#include "base/executor.h"
#include "base/json.h"
#include "base/spawn.h"
#include "base/task.h"
#include "base/task_scope.h"
#include "core/mihomo_core.h"
#include "panel/http.h"
#include "panel/korvane_remote.h"
#include "panel/node.h"
#include "panel/xboard_service.h"
#include "platform/network_path.h"
#include "platform/platform.h"
#include "pulse/korvane_whitelist_pulse_coordinator.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

struct PreparedKorvaneUpdate;

// The one controller of the client: application delegate, owner of the page bridge, the
// windows and the status-bar item, and keeper of all user-visible state. It owns a small
// object per concern: the account (account.h), the node tests (node_tests.h), the page
// bridge (page_bridge.h) and what it is busy with (activity.h). Everything here runs on the
// main thread, and every task it starts belongs to its task scope.
class KorvaneApplication final : public WebViewDelegate {
public:
    enum class TerminateReply { Now, Later };

    // Every request the controller makes goes through http, which must outlive the controller
    // and the tasks it leaves behind.
    // The whitelist pulse goes over pulseTransport (the real one when none is given). The
    // system proxy is switched through proxySettings (nullptr: nothing can switch it here).
    explicit KorvaneApplication(
        Platform& platform, HttpClient& http = defaultHttpClient(),
        std::function<std::unique_ptr<KorvanePulseTransport>()> pulseTransport = {},
        std::shared_ptr<const ProxySettingsBackend> proxySettings = networksetupProxySettings());
    ~KorvaneApplication() override;
    KorvaneApplication(const KorvaneApplication&) = delete;
    KorvaneApplication& operator=(const KorvaneApplication&) = delete;

    // Whether a copy started from outside the Applications folder offers to move itself there
    // instead of starting (off unless the shell turns it on).
    void setOffersMoveToApplications(bool offers) { offersMoveToApplications_ = offers; }

    // Application delegate.
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    TerminateReply applicationShouldTerminate();

    // Status-bar menu.
    void showWindow();
    void menuToggle();
    void quit();

    // Monitors.
    void healthTick();
    void systemDidWake();
    void networkPathChanged(const NetworkPath& path);

    // Page bridge: what the web view reports goes to the bridge.
    void didReceiveScriptMessage(const nlohmann::json& body) override {
        bridge_.didReceiveScriptMessage(body);
    }
    void didFinishNavigation() override { bridge_.didFinishNavigation(); }
    NavigationDecision decidePolicy(const std::optional<std::string>& url) override {
        return bridge_.decidePolicy(url);
    }
    void runConfirmPanel(const std::string& message, std::function<void(bool)> completion) override {
        bridge_.runConfirmPanel(message, std::move(completion));
    }
    bool windowShouldClose() override { return bridge_.windowShouldClose(); }

    Json state() const;
    void pushState();
    void reply(const std::string& id, const std::optional<Json>& value,
               const std::optional<std::string>& error) {
        bridge_.reply(id, value, error);
    }
    void updateProgress(const std::string& text, int progress) { bridge_.updateProgress(text, progress); }
    Task<Json> dispatch(std::string action, Json args);

    // Dialogs, links and windows used across the controller.
    void alert(const std::string& title, const std::string& text);
    bool confirm(const std::string& title, const std::string& text);
    void open(const std::string& text);
    void showSupport();

    // Refresh flows: the full refresh of profile, subscription and cache, and the throttled
    // account-summary refresh.
    Task<void> refresh(bool skipRemote);
    void requestAccountRefresh(int minimumIntervalSeconds);

    // The update flow (update_check.cpp): the manifest, the package and its digest, the
    // preparation beside the installation, then the hand-off. manual: whether an up-to-date
    // answer is also shown as an alert.
    Task<void> checkUpdate(bool manual);

    // Node availability tests.
    void startNodeTests();
    Task<void> stopNodeTests();

    // Read-only views, for the shells and tests.
    const std::string& appVersion() const { return appVersion_; }
    std::int64_t appBuild() const { return appBuild_; }
    bool startupReady() const { return startupReady_; }
    bool uiReady() const { return bridge_.ready(); }
    bool exiting() const { return activity_.exiting(); }
    const std::optional<std::filesystem::path>& supportDir() const { return supportDir_; }
    const TaskHandle& launchTask() const { return launchTask_; }
    const KorvaneRemote& remote() const { return remote_; }
    const std::optional<std::string>& auth() const { return account_.credential(); }

private:
    // The subscription text the node list came from, and that list.
    struct CachedSubscription {
        std::string yaml;
        std::vector<Node> nodes;
    };

    // Launch.
    Task<void> runLaunchTask();
    void loadSettings();
    void loadCache();
    void buildWindow();
    void buildMenuBar();
    void startHealthChecks();
    void triggerRequestedUpdate();
    void configureQualityReports();
    void pageLoaded();
    void handleMessage(std::string id, std::string action, Json args);
    Task<void> exitTask();
    Task<void> wakeTask();
    Task<void> accountSummaryTask(std::string credential);

    // Steps that belong to subsystems this build does not have yet. Each is a no-op with a
    // fixed place in the sequence, so that adding the subsystem means filling in one call.
    bool offerMoveToApplicationsIfNeeded();

    // After an update (update_handover.cpp): the install script's result reported (at launch
    // and on every health tick), the connection brought back when the old copy left the marker,
    // and the credential it handed over.
    void recordPreviousUpdateResult();
    Task<void> reconnectAfterUpdateIfNeeded();
    std::optional<std::string> restoreUpdateSession();
    // The one-time session for the new copy, when signed in; throws FileError.
    void saveUpdateSession();
    std::filesystem::path reconnectMarker() const;
    std::filesystem::path oneTimeSessionFile() const;
    void alertRestoreFailed(const std::string& error);
    Task<void> recoverStaleSystemProxy();
    std::optional<std::string> loadStoredCredential();
    void publishLaunchHealth();
    Task<void> disconnectCore();
    bool coreRequiresRecovery();
    Task<void> runNodeTests(std::string subscription, std::vector<Node> nodes, std::string mode,
                            NodeTests::OnResult onResult);

    // Page actions.
    Task<Json> sendEmailCodeAction(const Json& args, const char* invalidEmail, bool forReset);
    Task<Json> resetPasswordAction(const Json& args);
    Task<Json> loginWithCodeAction(const Json& args);
    Task<Json> loginAction(const Json& args);
    Task<Json> completeSignIn(std::string credential, std::string email, const Json& args,
                              KorvanePulseTrigger pulseTrigger);
    Task<Json> refreshNodesAction();
    Task<Json> setQualityConsentAction(const Json& args);
    Task<Json> setModeAction(const Json& args);
    Task<Json> logoutAction();
    Task<Json> connectAction(const Json& args);
    Task<Json> disconnectAction();
    Task<Json> checkUpdateAction(const Json& args);
    // Where a prepared update leaves this process for the install script.
    Task<void> handOffUpdate(PreparedKorvaneUpdate prepared);
    // Puts back what a failed hand-off changed: the connection when resume (else nothing of
    // the core), the hand-over files; tells the page.
    Task<void> abandonHandOff(bool resume);

    // The connection. A connect (and an update check) runs as a child of connections_, so that a
    // quit can cancel it and wait for its end before deciding what to restore.
    Task<void> connectCore(std::string node);
    Task<void> sendPulseBeforeConnect();
    void startWhitelistPulse();
    void sendPulseInBackground(KorvanePulseTrigger trigger);
    // The user did something (menu, page, quit): the health tick may prompt for a restore again.
    void userActed() { autoRecoveryPaused_ = false; }
    Task<void> recoverFromDeadCore();
    // Replaces the node list and its cache; an empty one removes the cache files.
    void replaceSubscription(CachedSubscription subscription);

    Platform& platform_;
    HttpClient& http_;
    std::function<std::unique_ptr<KorvanePulseTransport>()> pulseTransport_;
    std::shared_ptr<const ProxySettingsBackend> proxySettings_;
    const std::string appVersion_;
    const std::int64_t appBuild_;

    KorvaneRemote remote_;
    XBoardService xboard_;
    Account account_;
    PageBridge bridge_;
    NodeTests nodeTests_;
    Activity activity_;
    std::unique_ptr<PlainWebWindow> supportWindow_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<MihomoCore> core_;
    std::unique_ptr<KorvaneWhitelistPulseCoordinator> pulse_;
    std::optional<std::filesystem::path> supportDir_;

    CachedSubscription subscription_;
    std::string mode_ = "smart";
    std::string selectedNode_;

    bool offersMoveToApplications_ = false;
    bool startupReady_ = false;
    bool launchUpdateTriggered_ = false;
    bool lastSocksReady_ = false;
    // The health tick's recovery of a core that died: one at a time, and after a failed or
    // refused restore not again on its own until the user acts.
    bool recovering_ = false;
    bool autoRecoveryPaused_ = false;
    TaskScope connections_;
    TaskHandle launchTask_;
    // Quality uploads are started from any thread; they reach this scope only while it exists.
    std::shared_ptr<TaskScope> uploads_ = std::make_shared<TaskScope>();
    // Every task the controller starts; discarded first when the controller goes.
    TaskScope tasks_;
};

// CFBundleShortVersionString, or "0.0.0".
std::string bundleVersion(const Bundle& bundle);
// CFBundleVersion as a decimal integer, or 0.
std::int64_t bundleBuild(const Bundle& bundle);

} // namespace korvane
