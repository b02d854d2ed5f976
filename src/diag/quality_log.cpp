#include "diag/quality_log.h"

#include "base/json.h"
#include "base/url.h"
#include "base/uuid.h"
#include "diag/korvane_recorder.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace korvane {

namespace {

constexpr std::array<std::string_view, 12> kEssentialFailures = {
    "vpn_connect_failure",    "core_start_failure",    "proxy_probe_failure",     "session_restore_failure",
    "dashboard_load_failure", "reconnect_failure",     "update_download_failure", "update_install_failure",
    "update_restart_failure", "update_resume_failure", "proxy_restore_failure",   "node_switch_failure",
};

constexpr std::array<std::string_view, 27> kAllowed = {
    "app_start",
    "dashboard_load_success",
    "dashboard_load_failure",
    "vpn_connect_attempt",
    "vpn_connect_success",
    "vpn_connect_failure",
    "vpn_disconnect",
    "core_start_failure",
    "session_restore_failure",
    "update_found",
    "update_download_success",
    "update_download_failure",
    "telemetry_enabled",
    "core_start_success",
    "proxy_probe_success",
    "proxy_probe_failure",
    "reconnect_attempt",
    "reconnect_success",
    "reconnect_failure",
    "update_install_started",
    "update_install_success",
    "update_install_failure",
    "update_restart_failure",
    "update_resume_success",
    "update_resume_failure",
    "proxy_restore_success",
    "proxy_restore_failure",
};

constexpr std::int64_t kMaximumDurationMs = 600000;

template <std::size_t N> bool contains(const std::array<std::string_view, N>& set, std::string_view value) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

std::mutex environmentMutex;
std::shared_ptr<const QualityEnvironment> installed;

std::shared_ptr<const QualityEnvironment> currentEnvironment() {
    std::lock_guard lock(environmentMutex);
    return installed;
}

} // namespace

const std::string& QualityLog::errorSessionID() {
    static const std::string id = makeUuid();
    return id;
}

std::string QualityLog::clean(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (KorvaneRecorder::isCodeCharacter(c)) out.push_back(c);
        if (out.size() == 48) break;
    }
    return out;
}

std::optional<Json> QualityLog::record(const QualityEnvironment& environment, std::string_view event,
                                       std::string_view routeMode, std::optional<std::int64_t> durationMs,
                                       std::string_view reason, std::string_view stage) {
    const bool consent = environment.consent && environment.consent();
    if (!consent && !contains(kEssentialFailures, event)) return std::nullopt;
    if (!contains(kAllowed, event)) return std::nullopt;

    std::string identifier = errorSessionID();
    if (consent) {
        auto stored = environment.readInstallId ? environment.readInstallId() : std::nullopt;
        if (stored && !stored->empty()) {
            identifier = *stored;
        } else {
            std::string fresh = makeUuid();
            if (environment.storeInstallId && environment.storeInstallId(fresh)) identifier = fresh;
        }
    }

    Json record = {
        {"platform", "macos"},
        {"app_version", environment.appVersion},
        {"app_build", environment.appBuild},
        {"install_id", identifier},
        {"event", std::string(event)},
        {"architecture", "x64"},
    };
    if (consent) {
        record["os_version"] = environment.osVersion;
        record["device_class"] = "desktop";
        if (!routeMode.empty()) record["route_mode"] = std::string(routeMode);
        if (durationMs) record["duration_ms"] = std::clamp<std::int64_t>(*durationMs, 0, kMaximumDurationMs);
    }
    if (auto cleanedReason = clean(reason); !cleanedReason.empty()) record["reason"] = cleanedReason;
    if (auto cleanedStage = clean(stage); !cleanedStage.empty()) record["extra"] = {{"stage", cleanedStage}};
    return record;
}

void QualityLog::report(std::string_view event, std::string_view routeMode,
                        std::optional<std::int64_t> durationMs, std::string_view reason,
                        std::string_view stage) {
    KorvaneRecorder::record(event, stage, reason, durationMs, std::nullopt);
    auto environment = currentEnvironment();
    if (!environment || !environment->upload) return;
    auto body = record(*environment, event, routeMode, durationMs, reason, stage);
    if (!body || !isHTTPSWithHost(environment->endpoint)) return;
    std::string text = encodeJson(*body);
    if (text == "null") return;
    environment->upload(environment->endpoint, std::move(text));
}

void QualityLog::configure(std::shared_ptr<const QualityEnvironment> environment) {
    std::lock_guard lock(environmentMutex);
    installed = std::move(environment);
}

} // namespace korvane
