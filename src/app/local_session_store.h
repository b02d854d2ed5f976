#pragma once

#include "base/files.h"
#include "platform/directories.h"

#include <filesystem>
#include <optional>
#include <string>

namespace korvane {

// The private file store of the sign-in credential ("auth") and the installation
// identifier ("install_id"): one file per key in Application Support/Korvane/PrivateSession.
// It refuses anything it cannot prove to be the user's own private file, and it never
// throws: reads answer none, writes answer false.
class LocalSessionStore {
public:
    explicit LocalSessionStore(const Directories& directories) : directories_(directories) {}

    static constexpr std::size_t kMaximumSize = 32768;

    // why, when given, tells what was wrong with a file that exists but was refused.
    std::optional<std::string> read(const std::string& key, PrivateFileRead::Refusal* why = nullptr) const;
    // A non-empty value replaces the entry atomically; none or "" deletes it.
    bool write(const std::string& key, const std::optional<std::string>& value) const;

    // The private directory, created and tightened to 0700; none when it is not a real
    // directory owned by the user.
    std::optional<std::filesystem::path> safeDirectory() const;
    std::optional<std::filesystem::path> file(const std::string& key) const;

private:
    const Directories& directories_;
};

} // namespace korvane
