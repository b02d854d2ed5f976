#pragma once

#include "app/local_session_store.h"
#include "base/executor.h"
#include "base/json.h"
#include "base/spawn.h"
#include "base/task.h"
#include "base/task_scope.h"
#include "core/mihomo_core.h"
#include "panel/account_overview.h"
#include "panel/http.h"
#include "panel/korvane_remote.h"
#include "panel/node.h"
#include "panel/xboard_service.h"
#include "platform/network_path.h"
#include "platform/platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// The one controller of the client: application delegate, owner of the windows, the
// status-bar item and the page bridge, and keeper of all user-visible state. Everything
// here runs on the main thread.
class KorvaneApplication final : public WebViewDelegate {
public:
    enum class TerminateReply { Now, Later };

    // Every request the controller makes goes through http, which must outlive the controller
    // and the tasks it leaves behind.
    explicit KorvaneApplication(Platform& platform, HttpClient& http = defaultHttpClient());
    ~KorvaneApplication() override;
    KorvaneApplication(const KorvaneApplication&) = delete;
    KorvaneApplication& operator=(const KorvaneApplication&) = delete;

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

    // Page bridge.
    void didReceiveScriptMessage(const nlohmann::json& body) override;
    void didFinishNavigation() override;
    NavigationDecision decidePolicy(const std::optional<std::string>& url) override;
    void runConfirmPanel(const std::string& message, std::function<void(bool)> completion) override;
    bool windowShouldClose() override;

    Json state() const;
    void pushState();
    void reply(const std::string& id, const std::optional<Json>& value,
               const std::optional<std::string>& error);
    void updateProgress(const std::string& text, int progress);
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

    // Node availability tests.
    void startNodeTests();
    Task<void> stopNodeTests();

    // Read-only views, for the shells and tests.
    const std::string& appVersion() const { return appVersion_; }
    std::int64_t appBuild() const { return appBuild_; }
    bool startupReady() const { return startupReady_; }
    bool uiReady() const { return uiReady_; }
    bool exiting() const { return exiting_; }
    const std::optional<std::filesystem::path>& supportDir() const { return supportDir_; }
    const TaskHandle& launchTask() const { return launchTask_; }
    const KorvaneRemote& remote() const { return remote_; }
    const std::optional<std::string>& auth() const { return auth_; }

private:
    // Launch.
    Task<void> runLaunchTask();
    void loadSettings();
    void loadCache();
    void buildWindow();
    void buildMenuBar();
    void startHealthChecks();
    void startWakeMonitoring();
    void triggerRequestedUpdate();
    void configureQualityReports();
    Task<void> exitTask();
    Task<void> wakeTask();

    // Steps that belong to subsystems this build does not have yet. Each is a no-op with a
    // fixed place in the sequence, so that adding the subsystem means filling in one call.
    bool offerMoveToApplicationsIfNeeded();
    void startWhitelistPulse();
    void recordPreviousUpdateResult();
    Task<void> reconnectAfterUpdateIfPending();
    Task<void> recoverStaleSystemProxy();
    std::optional<std::string> loadStoredCredential();
    Task<void> refreshRemoteEndpoints();
    void publishLaunchHealth();
    Task<void> disconnectCore();
    bool coreRequiresRecovery();
    Task<void> runNodeTests(std::string subscription, std::vector<Node> nodes, std::string mode,
                            std::function<void(const std::string&, bool)> onResult);
    void sendPulseInBackground(const std::string& trigger);
    void resetPulseForLogout();

    // Page actions.
    Task<Json> sendLoginCodeAction(const Json& args);
    Task<Json> sendResetCodeAction(const Json& args);
    Task<Json> resetPasswordAction(const Json& args);
    Task<Json> loginWithCodeAction(const Json& args);
    Task<Json> loginAction(const Json& args);
    Task<Json> completeSignIn(std::string credential, std::string email, const Json& args,
                              std::string pulseTrigger);
    Task<Json> refreshNodesAction();
    Task<Json> setQualityConsentAction(const Json& args);
    Task<Json> setModeAction(const Json& args);
    Task<Json> logoutAction();
    Task<void> accountSummaryTask(std::string credential);

    Platform& platform_;
    HttpClient& http_;

    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<PlainWebWindow> supportWindow_;
    std::unique_ptr<StatusItem> statusItem_;
    KorvaneRemote remote_;
    XBoardService xboard_;
    std::vector<Node> nodes_;
    std::string subscriptionYAML_;
    std::optional<std::string> auth_;
    std::string email_;
    std::string mode_ = "smart";
    std::string selectedNode_;
    std::optional<AccountOverview> accountOverview_;
    bool accountRefreshFailed_ = false;
    bool accountRequestInFlight_ = false;
    std::optional<MonotonicTime> lastAccountAttempt_; // none: the distant past
    bool busy_ = false;
    bool exiting_ = false;
    bool applyingUpdate_ = false;
    bool upgradeCoreSafelyStopped_ = false;
    bool updatePreparing_ = false;
    bool uiReady_ = false;
    bool startupReady_ = false;
    bool launchUpdateTriggered_ = false;
    std::optional<std::string> rememberedPassword_;
    bool rememberedPasswordLoaded_ = false;
    std::unique_ptr<MihomoCore> core_;
    std::optional<std::filesystem::path> supportDir_;
    TaskHandle heartbeatTimer_;
    bool wakeObserved_ = false;
    std::map<std::string, bool> nodeAvailability_;
    std::optional<TaskHandle> nodeTestTask_;
    std::int64_t nodeTestGeneration_ = 0;
    bool lastSocksReady_ = false;

    std::string appVersion_;
    std::int64_t appBuild_ = 0;
    LocalSessionStore sessionStore_;
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
