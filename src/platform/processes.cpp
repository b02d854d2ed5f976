#include "platform/processes.h"

#include "base/text.h"

#include <fstream>
#include <limits>
#include <string>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;

std::optional<fs::path> processExecutable(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    std::error_code error;
    fs::path executable = fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "exe", error);
    if (error) return std::nullopt;
    // The kernel marks an executable replaced or removed since the start; it is still the same
    // program for our purposes.
    std::string text = executable.string();
    constexpr std::string_view kDeleted = " (deleted)";
    if (text.ends_with(kDeleted)) text.resize(text.size() - kDeleted.size());
    return fs::path(text);
}

bool processEnded(pid_t pid) {
    if (pid <= 0) return true;
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    std::ifstream stat(proc / "stat");
    std::string text;
    if (!stat || !std::getline(stat, text)) return true;
    // "pid (name) S ...": the name may hold anything, the state follows its last ")".
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z') return false;
    // A leader is a zombie as soon as it exits, while its other threads may still be ending.
    std::error_code error;
    std::size_t threads = 0;
    for (fs::directory_iterator it(proc / "task", error), end; !error && it != end; it.increment(error))
        ++threads;
    return threads <= 1;
}

std::vector<pid_t> processesBelow(const fs::path& directory) {
    std::vector<pid_t> found;
    std::error_code error;
    const fs::path base = fs::weakly_canonical(directory, error);
    if (error) return found;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const auto id = parseDecimalInteger(it->path().filename().string());
        if (!id || *id <= 0 || *id > std::numeric_limits<pid_t>::max()) continue;
        const auto executable = processExecutable(static_cast<pid_t>(*id));
        if (!executable) continue;
        const auto relative = executable->lexically_relative(base);
        if (!relative.empty() && *relative.begin() != "..") found.push_back(static_cast<pid_t>(*id));
    }
    return found;
}

} // namespace korvane
