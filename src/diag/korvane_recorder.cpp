#include "diag/korvane_recorder.h"

#include "base/files.h"
#include "base/unique_fd.h"

#include "base/json.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace korvane {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMaximumDurationMs = 600'000;
constexpr std::int64_t kMaximumTargetBuild = 100'000'000;
// A file that reached this size takes no more lines that day, so a loop that records
// endlessly cannot fill the user's disk.
constexpr off_t kMaximumFileSize = 3'000'000;
constexpr std::size_t kMaximumCodeLength = 48;
constexpr std::chrono::seconds kRetention{1'209'600}; // 14 days
constexpr std::string_view kInvalidCode = "invalid_code";
constexpr std::string_view kFilePrefix = "client-";
constexpr std::string_view kFileSuffix = ".jsonl";

// Writes everything unless the file refuses; a partial line is left as it is.
void writeFully(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

struct InstalledRecorder {
    std::mutex mutex;
    std::shared_ptr<KorvaneRecorder> recorder;
};

InstalledRecorder& installedRecorder() {
    // Never destroyed, so that threads still recording while the process exits find it intact.
    static auto* installed = new InstalledRecorder;
    return *installed;
}

} // namespace

KorvaneRecorder::KorvaneRecorder(RecorderEnvironment environment) : environment_(std::move(environment)) {}

void KorvaneRecorder::write(std::string_view event, std::string_view stage, std::string_view reason,
                            std::optional<std::int64_t> durationMs, std::optional<std::int64_t> targetBuild) {
    try {
        std::lock_guard lock(mutex_);
        writeLocked(event, stage, reason, durationMs, targetBuild);
    } catch (...) {
        // Losing a line is preferable to disturbing the code that reported it.
    }
}

void KorvaneRecorder::writeLocked(std::string_view event, std::string_view stage, std::string_view reason,
                                  std::optional<std::int64_t> durationMs,
                                  std::optional<std::int64_t> targetBuild) {
    const auto directory = logDirectory();
    if (!directory) return;

    const WallTime now = (environment_.clock ? *environment_.clock : wallClock()).now();
    const std::string today = utcDate(now);
    const fs::path file = *directory / (std::string(kFilePrefix) + today + std::string(kFileSuffix));

    // O_NONBLOCK only matters for a FIFO put in the file's place: opening it then fails instead
    // of waiting for a reader with the lock held.
    const UniqueFd fd(
        ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0) return;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid() || !S_ISREG(info.st_mode) ||
        info.st_size >= kMaximumFileSize)
        return;
    ::fchmod(fd.get(), 0600);

    Json entry = {
        {"build", environment_.build},
        {"event", safeCode(event)},
        {"platform", "macos"},
        {"reason", safeCode(reason)},
        {"stage", safeCode(stage)},
        {"time", std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count()},
        {"version", environment_.version},
    };
    if (durationMs) entry["duration_ms"] = std::clamp<std::int64_t>(*durationMs, 0, kMaximumDurationMs);
    if (targetBuild) entry["target_build"] = std::clamp<std::int64_t>(*targetBuild, 0, kMaximumTargetBuild);
    std::string line = encodeJson(entry);
    if (line == "null") return; // the version is not valid UTF-8
    line.push_back('\n');

    if (info.st_size + static_cast<off_t>(line.size()) > kMaximumFileSize) return;
    writeFully(fd.get(), line);

    if (today != lastPrunedDay_) {
        lastPrunedDay_ = today;
        prune(*directory, now);
    }
}

void KorvaneRecorder::record(std::string_view event, std::string_view stage, std::string_view reason,
                             std::optional<std::int64_t> durationMs,
                             std::optional<std::int64_t> targetBuild) {
    auto& installed = installedRecorder();
    std::shared_ptr<KorvaneRecorder> recorder;
    {
        std::lock_guard lock(installed.mutex);
        recorder = installed.recorder;
    }
    if (recorder) recorder->write(event, stage, reason, durationMs, targetBuild);
}

void KorvaneRecorder::install(std::shared_ptr<KorvaneRecorder> recorder) {
    auto& installed = installedRecorder();
    std::lock_guard lock(installed.mutex);
    installed.recorder.swap(recorder); // the previous one is released after the lock
}

bool KorvaneRecorder::isCodeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

std::string KorvaneRecorder::safeCode(std::string_view value) {
    // Every allowed character is ASCII, so for an acceptable value bytes and characters agree.
    if (value.size() > kMaximumCodeLength || !std::all_of(value.begin(), value.end(), isCodeCharacter))
        return std::string(kInvalidCode);
    return std::string(value);
}

std::optional<fs::path> KorvaneRecorder::logDirectory() const {
    if (!environment_.applicationSupport) return std::nullopt;
    const auto support = environment_.applicationSupport();
    if (!support) return std::nullopt;
    auto directory = *support / "Korvane" / "logs";
    if (!createPrivateDirectories(directory)) return std::nullopt;
    // lstat: a symbolic link here could send the log anywhere, so it is refused, not followed.
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return std::nullopt;
    if (::chmod(directory.c_str(), 0700) != 0) return std::nullopt;
    return directory;
}

void KorvaneRecorder::prune(const fs::path& directory, WallTime today) {
    pruneOldFiles(directory, kFilePrefix, kFileSuffix, today - kRetention);
}

} // namespace korvane
