#include "panel/korvane_remote.h"

#include "base/base64.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/json.h"
#include "base/url.h"

#include <korvane_deployment.h>

namespace korvane {

namespace {

constexpr double kSourceTimeoutSeconds = 4;

std::optional<std::string> validString(const Json& document, const char* key) {
    auto it = document.find(key);
    if (it == document.end() || !it->is_string()) return std::nullopt;
    return KorvaneRemote::validHTTPS(it->get_ref<const std::string&>());
}

} // namespace

KorvaneRemote::KorvaneRemote()
    : KorvaneRemote(std::vector<std::string>(std::begin(deployment::kRemoteConfigurationSources),
                                             std::end(deployment::kRemoteConfigurationSources))) {}

KorvaneRemote::KorvaneRemote(std::vector<std::string> sources)
    : api(deployment::kApi), site(deployment::kSite), renew(deployment::kApi), support(deployment::kSupport),
      manifest(deployment::kManifest), sources_(std::move(sources)) {}

std::optional<std::string> KorvaneRemote::validHTTPS(std::string_view text) {
    if (!isHTTPSWithHost(text)) return std::nullopt;
    while (!text.empty() && text.front() == '/')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '/')
        text.remove_suffix(1);
    return std::string(text);
}

bool KorvaneRemote::apply(std::string_view text) {
    Json document = Json::parse(text, nullptr, false);
    if (!document.is_object()) return false;
    if (auto value = validString(document, "targeturl")) site = *value;
    if (auto value = validString(document, "officialUrl")) site = *value;
    if (auto value = validString(document, "Domain")) {
        api = *value;
        renew = *value;
    }
    if (auto value = validString(document, "renewUrl")) renew = *value;
    if (auto value = validString(document, "supportUrl")) support = *value;
    for (const char* key : {"updateManifestMac", "macosUpdateManifest", "macUpdateManifest"}) {
        if (auto value = validString(document, key)) {
            manifest = *value;
            break;
        }
    }
    if (auto list = document.find("api"); list != document.end() && list->is_array()) {
        bool allStrings = true;
        for (const auto& element : *list)
            allStrings = allStrings && element.is_string();
        if (allStrings) {
            for (const auto& element : *list) {
                auto decoded = base64Decode(element.get_ref<const std::string&>());
                if (!decoded || !isValidUtf8(*decoded)) continue;
                if (auto value = validHTTPS(*decoded)) {
                    api = *value;
                    break;
                }
            }
        }
    }
    return true;
}

Task<void> KorvaneRemote::refresh(HttpClient& http) {
    // Copied: the list must not change under the loop while a fetch is suspended.
    const auto sources = sources_;
    for (const auto& source : sources) {
        if (!parseURL(source)) continue;
        HttpRequest request{source, "GET", {}, std::nullopt, kSourceTimeoutSeconds};
        std::string body;
        try {
            body = co_await http.send(std::move(request));
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception&) {
            continue;
        }
        if (apply(body)) co_return;
    }
}

} // namespace korvane
