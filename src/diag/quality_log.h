#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace korvane {

// What quality reports need from the rest of the client; the application wires it at
// launch. Every function may be called from any thread.
struct QualityEnvironment {
    std::function<bool()> consent;                                 // setting "qualityEnabled"
    std::function<std::optional<std::string>()> readInstallId;     // private store "install_id"
    std::function<bool(const std::string&)> storeInstallId;        // true when stored
    std::function<void(std::string url, std::string body)> upload; // fire-and-forget POST
    std::string appVersion;                                        // short version, or ""
    std::int64_t appBuild = 0;
    std::string osVersion;
    std::string endpoint; // the quality endpoint URL
};

// The single entry point for reporting a named event of the client. Every report is written
// to the local event log; a small anonymous record goes to the service only with the user's
// consent, or without it for essential failures, and only for events on a fixed allow-list.
namespace QualityLog {

void report(std::string_view event, std::string_view routeMode = {},
            std::optional<std::int64_t> durationMs = {}, std::string_view reason = {},
            std::string_view stage = {});

// Installs the environment (nullptr: local log only). Thread-safe.
void configure(std::shared_ptr<const QualityEnvironment> environment);

// The record that report() would send, or none when nothing is sent. Exposed for tests.
std::optional<nlohmann::json> record(const QualityEnvironment& environment, std::string_view event,
                                     std::string_view routeMode, std::optional<std::int64_t> durationMs,
                                     std::string_view reason, std::string_view stage);

// A random identifier made once per process, sent instead of the installation identifier
// when the user has not consented.
const std::string& errorSessionID();

// Keeps only [A-Za-z0-9_.-] and then the first 48 characters.
std::string clean(std::string_view value);

} // namespace QualityLog

} // namespace korvane
