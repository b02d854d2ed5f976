// The controller's other ways in besides the page: the main window, the status-bar menu, the
// health timer and the wake notification; and the dialogs, links and support window.

#include "app/korvane_application.h"

#include "base/errors.h"
#include "base/sleep.h"
#include "base/url.h"
#include "diag/korvane_recorder.h"

#include <chrono>

namespace korvane {

using namespace std::chrono_literals;

namespace {

constexpr Duration kHealthInterval = 8s;
constexpr Duration kWakeDelay = 4s;
constexpr int kTickSummaryInterval = 120;
constexpr int kWakeSummaryInterval = 120;
constexpr int kActivationSummaryInterval = 30;
constexpr const char* kStatusEmoji = "🛡️";

} // namespace

void KorvaneApplication::buildWindow() {
    bridge_.open(*this, [this](const std::string& title, const std::string& text) { alert(title, text); });
    showWindow();
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

void KorvaneApplication::showWindow() {
    if (bridge_.show()) platform_.application.activate();
}

void KorvaneApplication::applicationDidBecomeActive() { requestAccountRefresh(kActivationSummaryInterval); }

void KorvaneApplication::menuToggle() {
    if (activity_.busy() || activity_.updateUnderWay() || activity_.exiting()) return;
    userActed();
    auto toggle = [](KorvaneApplication* self) -> Task<void> {
        if (!self->core_) co_return;
        const bool connected = self->core_->connected();
        if (!connected && self->subscription_.yaml.empty()) {
            self->alert("连接操作失败", "请先登录并刷新节点");
            co_return;
        }
        // The toggle takes busy like the page's actions, so it never runs beside one.
        auto busy =
            self->activity_.begin(connected ? Activity::Work::Disconnecting : Activity::Work::Connecting);
        if (!busy) co_return;
        std::optional<std::string> failure;
        try {
            if (connected) {
                co_await self->core_->disconnect();
            } else {
                const auto intent = self->core_->intendToConnect();
                co_await self->stopNodeTests();
                co_await self->sendPulseBeforeConnect();
                co_await self->connectCore(self->selectedNode_);
            }
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        // Also after a failure: a switch that could not be put back keeps its connection.
        if (failure) self->alert("连接操作失败", *failure);
        self->pushState();
    };
    tasks_.spawn(toggle(this));
}

void KorvaneApplication::startHealthChecks() {
    auto loop = [](KorvaneApplication* self) -> Task<void> {
        for (;;) {
            co_await sleep(kHealthInterval);
            self->healthTick();
        }
    };
    tasks_.spawn(loop(this));
}

void KorvaneApplication::healthTick() {
    auto tick = [](KorvaneApplication* self) -> Task<void> {
        if (!self->core_) co_return;
        self->recordPreviousUpdateResult();
        self->publishLaunchHealth();
        if (self->activity_.updateUnderWay()) co_return;
        self->requestAccountRefresh(kTickSummaryInterval);
        self->core_->capLog();
        if (self->core_->connected() && !self->core_->processRunning()) {
            co_await self->recoverFromDeadCore();
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

Task<void> KorvaneApplication::recoverFromDeadCore() {
    if (recovering_ || autoRecoveryPaused_) co_return;
    recovering_ = true;
    std::optional<std::string> failure;
    try {
        co_await core_->disconnect();
    } catch (const Cancelled&) {
        recovering_ = false;
        throw;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    recovering_ = false;
    if (!failure) {
        pushState();
        co_return;
    }
    // No prompt again on its own: the next one comes when the user acts.
    autoRecoveryPaused_ = true;
    alert("连接中断", "内核意外退出且无法自动恢复系统代理，请检查系统网络设置。");
}

void KorvaneApplication::systemDidWake() { tasks_.spawn(wakeTask()); }

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
    requestAccountRefresh(kWakeSummaryInterval);
    if (pulse_) co_await pulse_->send(KorvanePulseTrigger::Wake);
}

void KorvaneApplication::networkPathChanged(const NetworkPath& path) {
    if (pulse_) pulse_->networkPathChanged(path);
}

// ---- Dialogs, links and the support window --------------------------------------------------

void KorvaneApplication::showSupport() {
    if (supportWindow_) {
        supportWindow_->bringToFront();
        return;
    }
    if (!isHTTPSURL(remote_.support)) return;
    const WindowGeometry geometry{"Korvane 在线客服", 440, 670, 0, 0, false};
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

void KorvaneApplication::open(const std::string& text) {
    // Only a parseable https address leaves the application; everything else is dropped.
    if (isHTTPSURL(text)) platform_.workspace.openURL(text);
}

} // namespace korvane
