// The state document the page is shown, and the page's messages: one task per message, its
// answer by id.

#include "app/korvane_application.h"

#include "app/settings_keys.h"
#include "platform/local_proxy.h"
#include "sysproxy/proxy_helper_client.h"

#include <system_error>

namespace korvane {

Json KorvaneApplication::state() const {
    Json nodes = Json::array();
    const auto& availability = nodeTests_.availability();
    for (const auto& node : subscription_.nodes) {
        Json entry = {{"name", node.name}, {"type", node.type}, {"host", node.host}, {"port", node.port}};
        if (auto it = availability.find(node.name); it != availability.end()) entry["available"] = it->second;
        nodes.push_back(std::move(entry));
    }
    const auto& defaults = platform_.defaults;
    std::error_code ignored;
    const auto& overview = account_.overview();
    return Json{
        {"version", appVersion_},
        {"build", appBuild_},
        {"loggedIn", account_.signedIn()},
        {"accountOverview", overview ? overview->json() : Json(nullptr)},
        {"accountRefreshFailed", account_.refreshFailed()},
        {"email", account_.email()},
        {"nodes", std::move(nodes)},
        {"selectedNode", selectedNode_},
        {"routingMode", mode_},
        {"connected", core_ && core_->connected()},
        {"socksHost", kLocalProxyHost},
        {"socksPort", kLocalProxyPort},
        {"socksReady", core_ && core_->socksReady()},
        {"rememberCredentials", defaults.getBool(SettingsKey::kRemember).value_or(true)},
        // No password is ever kept, so there is never one to offer.
        {"rememberedPassword", ""},
        {"proxyHelperInstalled",
         std::filesystem::exists(KorvaneProxyHelperClient::launchDaemonFile(), ignored)},
        {"qualityEnabled", defaults.getBool(SettingsKey::kQualityEnabled).value_or(false)},
        {"qualityConsentAnswered", defaults.contains(SettingsKey::kQualityConsentAnswered)},
    };
}

void KorvaneApplication::pushState() { bridge_.pushState(state()); }

void KorvaneApplication::handleMessage(std::string id, std::string action, Json args) {
    // Messages are not queued: each runs as its own task and may interleave with others at
    // their waits; replies find their request by id.
    auto handle = [](KorvaneApplication* self, std::string requestId, std::string actionName,
                     Json actionArgs) -> Task<void> {
        std::optional<Json> result;
        std::optional<std::string> failure;
        try {
            result = co_await self->dispatch(std::move(actionName), std::move(actionArgs));
        } catch (const std::exception& error) {
            failure = error.what();
        }
        self->bridge_.reply(requestId, result, failure);
    };
    tasks_.spawn(handle(this, std::move(id), std::move(action), std::move(args)));
}

void KorvaneApplication::pageLoaded() {
    pushState();
    publishLaunchHealth();
    triggerRequestedUpdate();
}

} // namespace korvane
