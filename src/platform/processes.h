#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace korvane {

// The executable a running process was started from, or none when there is no such process
// or it cannot be examined (another user's, or already gone).
std::optional<std::filesystem::path> processExecutable(pid_t pid);

// Whether the process has ended: there is no such process, or it is a zombie whose threads have
// all ended (it holds no files or ports any more; only its parent's reaping is left, which for
// an orphan may never come where nothing reaps).
bool processEnded(pid_t pid);

// The ids of the running processes whose executable lies below directory.
std::vector<pid_t> processesBelow(const std::filesystem::path& directory);

} // namespace korvane
