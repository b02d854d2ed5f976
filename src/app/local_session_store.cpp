#include "app/local_session_store.h"

#include "base/files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace fs = std::filesystem;

namespace {

bool allowedKey(const std::string& key) { return key == "auth" || key == "install_id"; }

} // namespace

std::optional<fs::path> LocalSessionStore::safeDirectory() const {
    auto support = directories_.applicationSupport();
    if (!support) return std::nullopt;
    const fs::path directory = *support / "Korvane" / "PrivateSession";
    if (!createPrivateDirectories(directory)) return std::nullopt;
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        return std::nullopt;
    }
    if (::chmod(directory.c_str(), 0700) != 0) return std::nullopt;
    return directory;
}

std::optional<fs::path> LocalSessionStore::file(const std::string& key) const {
    if (!allowedKey(key)) return std::nullopt;
    auto directory = safeDirectory();
    if (!directory) return std::nullopt;
    return *directory / (key + ".session");
}

std::optional<std::string> LocalSessionStore::read(const std::string& key,
                                                   PrivateFileRead::Refusal* why) const {
    auto path = file(key);
    if (!path) return std::nullopt;
    // Never blocks (a FIFO here is refused) and never follows a link.
    auto file = readPrivateFile(*path, kMaximumSize);
    if (file.bytes && (file.mode & 077) != 0) {
        file.bytes.reset();
        file.refusal = PrivateFileRead::Refusal::NotOwned;
    }
    if (why && file.refusal != PrivateFileRead::Refusal::Missing) *why = file.refusal;
    if (!file.bytes || file.bytes->empty() || !isValidUtf8(*file.bytes)) return std::nullopt;
    return std::move(file.bytes);
}

bool LocalSessionStore::write(const std::string& key, const std::optional<std::string>& value) const {
    auto path = file(key);
    if (!path) return false;
    if (!value || value->empty()) {
        return ::unlink(path->c_str()) == 0 || errno == ENOENT;
    }
    if (value->size() > kMaximumSize) return false;
    try {
        writeFileAtomically(*path, *value, 0600);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace korvane
