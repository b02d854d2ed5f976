// The page's actions: the dispatch and the handlers for the account, the page services,
// the routing mode and signing out.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "base/executor.h"
#include "base/text.h"
#include "diag/quality_log.h"
#include "platform/local_proxy.h"

#include <map>
#include <system_error>

namespace korvane {

namespace {

constexpr std::size_t kLongestEmail = 254;
constexpr std::size_t kShortestPassword = 8;
constexpr const char* kExitingRefusal = "Korvane 正在退出，不能再连接";

std::string stringArgument(const Json& args, const char* name) {
    auto it = args.find(name);
    return it != args.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<bool> boolArgument(const Json& args, const char* name) {
    auto it = args.find(name);
    if (it == args.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::string trimmedEmail(const Json& args) {
    return std::string(trimWhitespaceAndNewlines(stringArgument(args, "email")));
}

bool hasEmailShape(const std::string& email) { return email.find('@') != std::string::npos; }
bool hasEmailLength(const std::string& email) { return countGraphemes(email) <= kLongestEmail; }

bool isSixDigitCode(const std::string& code) {
    return code.size() == 6 &&
           std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

Task<Json> KorvaneApplication::dispatch(std::string action, Json args) {
    if (action == "bootstrap") co_return state();
    if (action == "sendLoginCode")
        co_return co_await sendEmailCodeAction(args, "请输入正确的邮箱地址", false);
    if (action == "sendResetCode") co_return co_await sendEmailCodeAction(args, "请输入正确的邮箱", true);
    if (action == "resetPassword") co_return co_await resetPasswordAction(args);
    if (action == "loginWithCode") co_return co_await loginWithCodeAction(args);
    if (action == "login") co_return co_await loginAction(args);
    if (action == "refreshNodes") co_return co_await refreshNodesAction();
    if (action == "setMode") co_return co_await setModeAction(args);
    if (action == "connect") co_return co_await connectAction(args);
    if (action == "disconnect") co_return co_await disconnectAction();
    if (action == "logout") co_return co_await logoutAction();
    if (action == "checkUpdate") co_return co_await checkUpdateAction(args);
    if (action == "setQualityConsent") co_return co_await setQualityConsentAction(args);
    if (action == "openOfficial") {
        open(remote_.site);
        co_return Json::object();
    }
    if (action == "openRenew") {
        open(remote_.renew);
        co_return Json::object();
    }
    if (action == "openSupport") {
        showSupport();
        co_return Json::object();
    }
    if (action == "copySocks") {
        platform_.workspace.setPasteboardString(std::string(kLocalProxyAddress));
        co_return Json::object();
    }
    throw KorvaneError("未知操作：" + action);
}

Task<Json> KorvaneApplication::sendEmailCodeAction(const Json& args, const char* invalidEmail,
                                                   bool forReset) {
    const std::string email = trimmedEmail(args);
    if (!hasEmailShape(email) || !hasEmailLength(email)) throw KorvaneError(invalidEmail);
    co_await remote_.refresh(http_);
    if (forReset) {
        co_await xboard_.sendResetCode(remote_, email);
    } else {
        co_await xboard_.sendLoginCode(remote_, email);
    }
    co_return Json{{"sent", true}};
}

Task<Json> KorvaneApplication::resetPasswordAction(const Json& args) {
    const std::string email = trimmedEmail(args);
    const std::string code = stringArgument(args, "code");
    const std::string password = stringArgument(args, "password");
    if (!hasEmailShape(email) || !hasEmailLength(email) || !isSixDigitCode(code)) {
        throw KorvaneError("请输入邮箱和 6 位验证码");
    }
    if (countGraphemes(password) < kShortestPassword) throw KorvaneError("新密码至少 8 位");
    co_await remote_.refresh(http_);
    std::map<std::string, std::string> fields = {
        {"email", email}, {"email_code", code}, {"password", password}};
    co_await xboard_.postPasswordRecovery(remote_, "/api/v1/passport/auth/forget", std::move(fields));
    platform_.defaults.setString(SettingsKey::kEmail, email);
    co_return Json{{"reset", true}};
}

Task<Json> KorvaneApplication::loginWithCodeAction(const Json& args) {
    const std::string email = trimmedEmail(args);
    const std::string code = stringArgument(args, "code");
    if (!hasEmailShape(email) || !isSixDigitCode(code)) throw KorvaneError("请输入邮箱和 6 位验证码");
    co_await remote_.refresh(http_);
    std::string credential = co_await xboard_.loginWithCode(remote_, email, code);
    co_return co_await completeSignIn(std::move(credential), email, args, KorvanePulseTrigger::Otp);
}

Task<Json> KorvaneApplication::loginAction(const Json& args) {
    const std::string email = trimmedEmail(args);
    const std::string password = stringArgument(args, "password");
    if (email.empty() || password.empty()) throw KorvaneError("请输入邮箱和密码");
    co_await remote_.refresh(http_);
    std::string credential = co_await xboard_.login(remote_, email, password);
    co_return co_await completeSignIn(std::move(credential), email, args, KorvanePulseTrigger::Login);
}

Task<Json> KorvaneApplication::completeSignIn(std::string credential, std::string email, const Json& args,
                                              KorvanePulseTrigger pulseTrigger) {
    // What this sign-in replaces, put back if it fails, unless another sign-in has replaced it
    // in the meantime: the later one wins.
    const Account::Switch change = account_.switchTo(credential, email);
    CachedSubscription previous = subscription_;
    const std::string previousSelection = selectedNode_;
    auto undo = [&] {
        if (!account_.undo(change)) return;
        if (subscription_.yaml == previous.yaml && selectedNode_ == previousSelection) return;
        // The new account's nodes and its cached subscription must not stay behind.
        replaceSubscription(std::move(previous));
        selectedNode_ = previousSelection;
        if (!selectedNode_.empty()) platform_.defaults.setString(SettingsKey::kSelectedNode, selectedNode_);
        startNodeTests();
    };

    std::exception_ptr failure;
    try {
        co_await refresh(true);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        undo();
        std::rethrow_exception(failure);
    }

    bool remember = true;
    if (boolArgument(args, "remember") == false) {
        account_.store().write("auth", std::nullopt);
        remember = false;
    } else if (!account_.store().write("auth", credential)) {
        undo();
        throw KorvaneError("无法安全保存登录会话，请检查本机用户目录权限");
    }
    platform_.defaults.setString(SettingsKey::kEmail, email);
    platform_.defaults.setBool(SettingsKey::kRemember, remember);
    QualityLog::report("dashboard_load_success");
    sendPulseInBackground(pulseTrigger);
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::refreshNodesAction() {
    if (core_ && core_->connected()) throw KorvaneError("请先断开后再刷新节点");
    sendPulseInBackground(KorvanePulseTrigger::Refresh);
    co_await refresh(false);
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::setQualityConsentAction(const Json& args) {
    const bool enabled = boolArgument(args, "enabled").value_or(false);
    platform_.defaults.setBool(SettingsKey::kQualityEnabled, enabled);
    platform_.defaults.setBool(SettingsKey::kQualityConsentAnswered, true);
    if (enabled) QualityLog::report("telemetry_enabled");
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::setModeAction(const Json& args) {
    // A connect in progress is not "not connected".
    if (activity_.work() == Activity::Work::Connecting) throw KorvaneError("正在进行其他网络操作");
    if (core_ && core_->connected()) throw KorvaneError("请先断开再修改模式");
    co_await stopNodeTests();
    mode_ = stringArgument(args, "mode") == "global" ? "global" : "smart";
    platform_.defaults.setString(SettingsKey::kMode, mode_);
    startNodeTests();
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::logoutAction() {
    if (activity_.applyingUpdate()) throw KorvaneError("正在更新 Korvane，暂时不能退出账号");
    auto busy = activity_.begin(Activity::Work::SigningOut);
    if (!busy) throw KorvaneError("正在进行网络操作，稍后重试");
    userActed();

    co_await stopNodeTests();
    if ((core_ && core_->connected()) || coreRequiresRecovery()) co_await disconnectCore();
    if (!account_.store().write("auth", std::nullopt))
        throw KorvaneError("本机登录会话未能清除，请检查文件夹权限");
    platform_.defaults.setBool(SettingsKey::kRemember, false);
    account_.signOut();
    replaceSubscription({});
    selectedNode_.clear();
    nodeTests_.clear();
    if (pulse_) pulse_->resetForLogout();
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::connectAction(const Json& args) {
    if (activity_.exiting()) throw KorvaneError(kExitingRefusal);
    auto busy = activity_.begin(Activity::Work::Connecting);
    if (!busy) throw KorvaneError("正在进行其他网络操作");
    userActed();
    // Declared before the node tests stop, so that their run leaves its core to this connect.
    const auto intent = core_->intendToConnect();
    co_await stopNodeTests();
    const std::string node = stringArgument(args, "nodeName");
    if (node.empty()) throw KorvaneError("请手动选择节点");
    co_await sendPulseBeforeConnect();

    QualityLog::report("vpn_connect_attempt", mode_);
    const MonotonicTime started = mainExecutor().now();
    try {
        co_await connectCore(node);
    } catch (...) {
        QualityLog::report("vpn_connect_failure", mode_, std::nullopt, "connect_failed", "core_or_proxy");
        // A switch that could not be put back keeps its connection: the page must show it.
        if (core_->connected()) pushState();
        throw;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(mainExecutor().now() - started);
    QualityLog::report("vpn_connect_success", mode_, elapsed.count());
    selectedNode_ = node;
    nodeTests_.setAvailable(node);
    platform_.defaults.setString(SettingsKey::kSelectedNode, node);
    pushState();
    co_return state();
}

Task<Json> KorvaneApplication::disconnectAction() {
    auto busy = activity_.begin(Activity::Work::Disconnecting);
    if (!busy) throw KorvaneError("正在进行其他网络操作");
    userActed();
    co_await core_->disconnect();
    QualityLog::report("vpn_disconnect", mode_);
    pushState();
    co_return state();
}

} // namespace korvane
