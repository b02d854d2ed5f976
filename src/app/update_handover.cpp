// What crosses an update from the old copy to the new one, both sides: the reconnect marker
// and the one-time session the hand-off leaves, and what a launch makes of them and of the
// install script's result file.

#include "app/update_handover.h"
#include "app/korvane_application.h"

#include "base/clock.h"
#include "base/errors.h"
#include "base/files.h"
#include "diag/korvane_recorder.h"
#include "diag/quality_log.h"

#include <algorithm>
#include <cmath>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace korvane {

namespace fs = std::filesystem;

namespace {

// Each hand-over file is small; anything larger is not one of ours.
constexpr std::size_t kHandOverFileLimit = 65'536;

fs::path updatesDirectory(const fs::path& supportDir) { return supportDir / "updates"; }

double secondsSinceEpoch(WallTime time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// A private file of the user's as it must be before it is trusted: it is there, a regular file
// (no link followed), owned by this user, of at most the hand-over limit. Its bytes, or none.
std::optional<std::string> readHandOverFile(const fs::path& path, const char* which, mode_t* mode = nullptr) {
    auto read = readPrivateFile(path, kHandOverFileLimit);
    if (read.refusal != PrivateFileRead::Refusal::None) {
        if (read.refusal != PrivateFileRead::Refusal::Missing)
            KorvaneRecorder::record("private_file_refused", which, refusalCode(read.refusal));
        return std::nullopt;
    }
    if (mode) *mode = read.mode;
    return std::move(read.bytes);
}

void removeQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

} // namespace

std::optional<std::string> readUpdateSession(std::string_view text, WallTime now) {
    const Json session = Json::parse(text, nullptr, false);
    if (!session.is_object()) return std::nullopt;
    const auto created = session.find("created");
    if (created == session.end() || !created->is_number()) return std::nullopt;
    const double age = secondsSinceEpoch(now) - created->get<double>();
    if (!std::isfinite(age) || age < 0 || age >= kUpdateSessionLifetimeSeconds) return std::nullopt;
    const auto token = session.find("token");
    if (token == session.end() || !token->is_string() || token->get<std::string>().empty())
        return std::nullopt;
    return token->get<std::string>();
}

std::optional<UpdateResult> readUpdateResult(std::string_view text) {
    const Json result = Json::parse(text, nullptr, false);
    if (!result.is_object()) return std::nullopt;
    const auto status = result.find("status");
    if (status == result.end() || !status->is_string()) return std::nullopt;
    const std::string& word = status->get_ref<const std::string&>();
    if (word != "success" && word != "failed") return std::nullopt;
    auto integer = [&](const char* key, std::int64_t fallback) {
        const auto member = result.find(key);
        if (member == result.end() || !member->is_number_integer()) return fallback;
        return member->is_number_unsigned() ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                                  member->get<std::uint64_t>(), INT64_MAX))
                                            : member->get<std::int64_t>();
    };
    return UpdateResult{word == "success", integer("to_build", 0), integer("exit_code", -1)};
}

fs::path KorvaneApplication::reconnectMarker() const { return *supportDir_ / "reconnect-after-update"; }

fs::path KorvaneApplication::oneTimeSessionFile() const {
    return updatesDirectory(*supportDir_) / "one-time-session.json";
}

void KorvaneApplication::saveUpdateSession() {
    const auto& credential = account_.credential();
    if (!credential || credential->empty()) return;
    const Json session = {{"created", secondsSinceEpoch(wallClock().now())}, {"token", *credential}};
    // Created 0600 and exclusive, never through a link, flushed, then renamed into place.
    writeFileAtomically(oneTimeSessionFile(), session.dump(), 0600);
}

std::optional<std::string> KorvaneApplication::restoreUpdateSession() {
    if (!supportDir_) return std::nullopt;
    const fs::path file = oneTimeSessionFile();
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) return std::nullopt;
    // Not ours to consume: left where it is.
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0600) {
        KorvaneRecorder::record("private_file_refused", "update_session",
                                S_ISREG(info.st_mode) ? "unexpected_owner_or_mode" : "not_regular_file");
        return std::nullopt;
    }
    mode_t mode = 0;
    auto bytes = readHandOverFile(file, "update_session", &mode);
    // From here on the file goes, whatever it held.
    removeQuietly(file);
    // The file read may not be the one examined above.
    if (!bytes || mode != 0600) return std::nullopt;
    return readUpdateSession(*bytes, wallClock().now());
}

Task<void> KorvaneApplication::reconnectAfterUpdateIfNeeded() {
    if (!supportDir_ || !core_) co_return;
    const fs::path marker = reconnectMarker();
    // A marker planted as a link, a FIFO or another user's file is no marker of ours.
    if (!readHandOverFile(marker, "reconnect_marker")) co_return;
    const std::string node = selectedNode_;
    const bool listed = std::any_of(subscription_.nodes.begin(), subscription_.nodes.end(),
                                    [&](const Node& candidate) { return candidate.name == node; });
    if (subscription_.yaml.empty() || node.empty() || !listed) {
        removeQuietly(marker);
        co_return;
    }
    co_await stopNodeTests();
    std::optional<std::string> failure;
    try {
        // Still switched to the local port (a backup or the helper): the core comes back under
        // the settings as they are; otherwise a full connect switches them again.
        if (coreRequiresRecovery()) {
            co_await core_->resumeAfterUpgrade(subscription_.yaml, subscription_.nodes, node, mode_);
        } else {
            co_await core_->connect(subscription_.yaml, subscription_.nodes, node, mode_);
        }
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    removeQuietly(marker);
    if (!failure) {
        nodeTests_.setAvailable(node);
        QualityLog::report("update_resume_success", {}, std::nullopt, {}, "reconnect");
        pushState();
        co_return;
    }
    QualityLog::report("update_resume_failure", {}, std::nullopt, "core_or_proxy", "reconnect");
    platform_.application.systemLog("Korvane update reconnect failed: " + *failure);
    alert("更新完成，但节点自动恢复失败", "新版已启动。网络代理将尝试恢复原设置。\n" + *failure);
}

void KorvaneApplication::recordPreviousUpdateResult() {
    if (!supportDir_) return;
    const fs::path file = updatesDirectory(*supportDir_) / "last-update-result.json";
    const auto bytes = readHandOverFile(file, "update_result");
    if (!bytes) return;
    const auto result = readUpdateResult(*bytes);
    if (!result) return;
    const std::int64_t toBuild = result->toBuild;
    const std::int64_t exitCode = result->exitCode;
    if (result->success && toBuild == appBuild_) {
        QualityLog::report("update_install_success", {}, std::nullopt, "ok", "updater_result");
    } else {
        QualityLog::report("update_install_failure", {}, std::nullopt,
                           "exit_" + std::to_string(std::clamp<std::int64_t>(exitCode, 0, 999)),
                           "updater_result");
    }
    removeQuietly(file);
}

} // namespace korvane
