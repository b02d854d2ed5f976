#pragma once

// The core's files below the support directory: the geo data copied beside its configuration,
// the day's log its output goes to, and the pid file that lets a later launch recognise a core
// left running by a client that was killed.

#include "base/clock.h"
#include "base/unique_fd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace korvane::CoreFiles {

// A day's core log is cut back to nothing once it grows beyond this, so that a core running
// for weeks cannot fill the disk; logs older than two weeks are removed at each start.
inline constexpr std::uintmax_t kMaximumLogSize = 8u << 20;

// Creates runtimeDir and refreshes the copies of the shipped geo data, comparing sizes only.
// Throws KorvaneError "安装包缺少路由数据：<name>" for a required file missing in binDir, and
// the file system's errors.
void prepareGeo(const std::filesystem::path& binDir, const std::filesystem::path& runtimeDir);

// logs/core-<UTC date of now>.log, created 0600 when missing (no link followed), opened for
// appending; older core logs are pruned. Throws FileError.
UniqueFd openLog(const std::filesystem::path& logsDir, WallTime now);
// Empties the log behind fd when it has grown beyond the cap (the core appends after it).
void capLog(int fd);

// runtime/core.pid: the id of the core this client started last, until it was stopped.
void writePid(const std::filesystem::path& runtimeDir, pid_t pid);
std::optional<pid_t> readPid(const std::filesystem::path& runtimeDir);
void removePid(const std::filesystem::path& runtimeDir);

} // namespace korvane::CoreFiles
