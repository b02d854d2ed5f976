#include "app/local_session_store.h"

#include "base/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
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
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) return std::nullopt;
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

std::optional<std::string> LocalSessionStore::read(const std::string& key) const {
    auto path = file(key);
    if (!path) return std::nullopt;
    const int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> value;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_size > 0 &&
        static_cast<std::size_t>(info.st_size) <= kMaximumSize && (info.st_mode & 077) == 0) {
        std::string buffer(static_cast<std::size_t>(info.st_size), '\0');
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count == info.st_size && isValidUtf8(buffer)) value = std::move(buffer);
    }
    ::close(fd);
    return value;
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
