#include "platform/system_paths.h"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace korvane {

namespace {
std::mutex rootMutex;
std::optional<std::filesystem::path> rootOverride;
} // namespace

std::filesystem::path systemPath(const std::string& absolutePath) {
    std::filesystem::path root;
    {
        std::lock_guard lock(rootMutex);
        if (rootOverride) {
            root = *rootOverride;
        } else if (const char* env = std::getenv("KORVANE_ROOT"); env && *env) {
            root = env;
        }
    }
    if (root.empty()) return absolutePath;
    return root.string() + absolutePath;
}

void setSystemRoot(const std::filesystem::path& root) {
    std::lock_guard lock(rootMutex);
    rootOverride = root;
}

} // namespace korvane
