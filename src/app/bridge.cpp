// The contract with the page: messages in, replies, state pushes and progress calls out,
// the navigation policy and the confirm dialog.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "base/errors.h"
#include "base/url.h"
#include "platform/system_paths.h"

#include <system_error>

namespace korvane {

namespace {

constexpr const char* kSocksHost = "127.0.0.1";
constexpr int kSocksPort = 7897;
constexpr const char* kProxyHelperPlist = "/Library/LaunchDaemons/art.korvane.proxyhelper.plist";

} // namespace

Json KorvaneApplication::state() const {
    Json nodes = Json::array();
    for (const auto& node : nodes_) {
        Json entry = {{"name", node.name}, {"type", node.type}, {"host", node.host}, {"port", node.port}};
        if (auto it = nodeAvailability_.find(node.name); it != nodeAvailability_.end()) {
            entry["available"] = it->second;
        }
        nodes.push_back(std::move(entry));
    }
    const auto& defaults = platform_.defaults;
    std::error_code ignored;
    return Json{
        {"version", appVersion_},
        {"build", appBuild_},
        {"loggedIn", auth_.has_value()},
        {"accountOverview", accountOverview_ ? accountOverview_->json() : Json(nullptr)},
        {"accountRefreshFailed", accountRefreshFailed_},
        {"email", email_},
        {"nodes", std::move(nodes)},
        {"selectedNode", selectedNode_},
        {"routingMode", mode_},
        {"connected", core_ && core_->connected()},
        {"socksHost", kSocksHost},
        {"socksPort", kSocksPort},
        {"socksReady", core_ && core_->socksReady()},
        {"rememberCredentials", defaults.getBool(SettingsKey::kRemember).value_or(true)},
        {"rememberedPassword", rememberedPassword_.value_or("")},
        {"proxyHelperInstalled", std::filesystem::exists(systemPath(kProxyHelperPlist), ignored)},
        {"qualityEnabled", defaults.getBool(SettingsKey::kQualityEnabled).value_or(false)},
        {"qualityConsentAnswered", defaults.contains(SettingsKey::kQualityConsentAnswered)},
    };
}

void KorvaneApplication::pushState() {
    if (!window_) return;
    window_->evaluateScript("window.__korvaneState(" + encodeJsonForScript(state()) + ");");
}

void KorvaneApplication::reply(const std::string& id, const std::optional<Json>& value,
                               const std::optional<std::string>& error) {
    if (!window_) return;
    Json arguments = Json::array({id, value ? *value : Json(nullptr), error ? Json(*error) : Json(nullptr)});
    window_->evaluateScript("window.__korvaneResolve(..." + encodeJsonForScript(arguments) + ");");
}

void KorvaneApplication::updateProgress(const std::string& text, int progress) {
    if (!window_) return;
    Json argument = {{"text", text}, {"progress", progress}};
    window_->evaluateScript("window.__korvaneUpdateProgress(" + encodeJsonForScript(argument) + ");");
}

void KorvaneApplication::didReceiveScriptMessage(const Json& body) {
    if (!body.is_object()) return;
    auto id = body.find("id");
    auto action = body.find("action");
    if (id == body.end() || !id->is_string() || action == body.end() || !action->is_string()) return;
    Json args = Json::object();
    if (auto arg = body.find("arg"); arg != body.end() && arg->is_object()) args = *arg;

    auto handle = [](KorvaneApplication* self, std::string requestId, std::string actionName,
                     Json actionArgs) -> Task<void> {
        std::optional<Json> result;
        std::optional<std::string> failure;
        try {
            result = co_await self->dispatch(std::move(actionName), std::move(actionArgs));
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (failure) {
            self->reply(requestId, std::nullopt, failure);
        } else {
            self->reply(requestId, result, std::nullopt);
        }
    };
    tasks_.spawn(handle(this, id->get<std::string>(), action->get<std::string>(), std::move(args)));
}

void KorvaneApplication::didFinishNavigation() {
    uiReady_ = true;
    pushState();
    publishLaunchHealth();
    triggerRequestedUpdate();
}

NavigationDecision KorvaneApplication::decidePolicy(const std::optional<std::string>& url) {
    if (!url) return NavigationDecision::Allow;
    const std::string_view scheme = urlScheme(*url);
    if (scheme == "file" || scheme == "about") return NavigationDecision::Allow;
    if (scheme == "https") platform_.workspace.openURL(*url);
    return NavigationDecision::Cancel;
}

void KorvaneApplication::runConfirmPanel(const std::string& message, std::function<void(bool)> completion) {
    completion(confirm("Korvane", message));
}

void KorvaneApplication::open(const std::string& text) {
    // Only a parseable https address leaves the application; everything else is dropped.
    if (isHTTPSURL(text)) platform_.workspace.openURL(text);
}

} // namespace korvane
