#include "sysproxy/proxy_settings_backend.h"

#include <cstdlib>
#include <string_view>

namespace korvane {

const char* const kOtherSettingsRecord = "代理备份文件记录的是另一种系统代理设置，无法在此恢复";

std::shared_ptr<const ProxySettingsBackend> chooseProxySettings(ProxySettingsDefault fallback) {
    const char* named = std::getenv("KORVANE_PROXY_BACKEND");
    if (named && *named) {
        const std::string_view name = named;
        if (name == "gnome") return gnomeProxySettingsAvailable() ? gnomeProxySettings() : nullptr;
        // The settings tool's backend works with the stand-ins under a system root as well.
        if (name == "macos") return networksetupProxySettings();
        return nullptr;
    }
    if (fallback == ProxySettingsDefault::Networksetup) return networksetupProxySettings();
    if (gnomeProxySettingsAvailable()) return gnomeProxySettings();
    if (networksetupProxySettingsAvailable()) return networksetupProxySettings();
    return nullptr;
}

} // namespace korvane
