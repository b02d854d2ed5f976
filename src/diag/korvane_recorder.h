#pragma once

#include "base/clock.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// What the event log needs to know about the process it runs in.
struct RecorderEnvironment {
    // The user's Application Support directory, or none when it cannot be determined.
    std::function<std::optional<std::filesystem::path>()> applicationSupport;
    std::string version;          // CFBundleShortVersionString of the bundle; "" when missing
    std::int64_t build = 0;       // CFBundleVersion as a decimal integer; 0 when missing or not an integer
    const Clock* clock = nullptr; // nullptr: korvane::wallClock(), looked up at every write
};

// The client's private event log: one JSON object per line, in a file per UTC day under
// Application Support/Korvane/logs, readable by the user alone and kept for two weeks.
// Only short codes are recorded, never free text, so that nothing personal can end up in it,
// and recording can never fail in a way the caller sees: a line that cannot be written is lost.
class KorvaneRecorder {
public:
    explicit KorvaneRecorder(RecorderEnvironment environment);

    // Appends one line; never throws, never reports failure; callable from any thread.
    void write(std::string_view event, std::string_view stage = {}, std::string_view reason = {},
               std::optional<std::int64_t> durationMs = std::nullopt,
               std::optional<std::int64_t> targetBuild = std::nullopt);

    // Process-wide entry used by the whole client: forwards to the installed recorder, does
    // nothing when none is installed.
    static void record(std::string_view event, std::string_view stage = {}, std::string_view reason = {},
                       std::optional<std::int64_t> durationMs = std::nullopt,
                       std::optional<std::int64_t> targetBuild = std::nullopt);

    // Replaces the process-wide recorder; nullptr turns recording off. Thread-safe.
    static void install(std::shared_ptr<KorvaneRecorder> recorder);

    // The value when it is a code (at most 48 characters from [A-Za-z0-9_.-]), otherwise
    // "invalid_code" in its place. Never trims or shortens.
    static std::string safeCode(std::string_view value);
    // The characters a code may hold: ASCII letters and digits, "_", "." and "-".
    static bool isCodeCharacter(char c);

    // The log directory, created if needed and made private to the user; none when it cannot
    // be created or is not a plain directory owned by the user.
    std::optional<std::filesystem::path> logDirectory() const;

    // Deletes the client log files in directory last modified more than 14 days before today.
    void prune(const std::filesystem::path& directory, WallTime today);

private:
    void writeLocked(std::string_view event, std::string_view stage, std::string_view reason,
                     std::optional<std::int64_t> durationMs, std::optional<std::int64_t> targetBuild);

    RecorderEnvironment environment_;
    std::mutex mutex_;          // one line, with its checks and pruning, at a time
    std::string lastPrunedDay_; // UTC date of the last pruning by this instance
};

} // namespace korvane
