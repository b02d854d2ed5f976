#include "base/files.h"

#include "base/errors.h"
#include "base/text.h"
#include "base/uuid.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane {

namespace {

void writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno);
        }
        if (n == 0) throw FileError(EIO);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view data, mode_t mode) {
    const auto temporary = path.parent_path() / ("." + makeUuid() + ".tmp");
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) throw FileError(errno);
    try {
        writeAll(fd, data);
        if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) throw FileError(errno);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw FileError(error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw FileError(error);
    }
    // The new name is durable only once the directory itself is on disk. A directory that
    // cannot be opened for this (no read permission) leaves the rename as it is.
    const auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

PrivateFileRead readPrivateFile(const std::filesystem::path& path, std::size_t maxSize) {
    using Refusal = PrivateFileRead::Refusal;
    PrivateFileRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        result.refusal = errno == ENOENT  ? Refusal::Missing
                         : errno == ELOOP ? Refusal::NotRegular
                                          : Refusal::Unreadable;
        return result;
    }
    struct stat info {};
    const bool examined = ::fstat(fd, &info) == 0;
    if (examined) result.mode = info.st_mode & 07777;
    if (!examined) {
        result.refusal = Refusal::Unreadable;
    } else if (!S_ISREG(info.st_mode)) {
        result.refusal = Refusal::NotRegular;
    } else if (info.st_uid != ::geteuid()) {
        result.refusal = Refusal::NotOwned;
    } else if (static_cast<std::uintmax_t>(info.st_size) > maxSize) {
        result.refusal = Refusal::TooLarge;
    } else {
        // Read to the end rather than trusting st_size: the file may change underneath.
        std::string bytes;
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result.refusal = Refusal::Unreadable;
                break;
            }
            if (n == 0) {
                result.bytes = std::move(bytes);
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
            if (bytes.size() > maxSize) {
                result.refusal = Refusal::TooLarge;
                break;
            }
        }
    }
    ::close(fd);
    return result;
}

const char* refusalCode(PrivateFileRead::Refusal refusal) {
    switch (refusal) {
    case PrivateFileRead::Refusal::None:
        return "none";
    case PrivateFileRead::Refusal::Missing:
        return "missing";
    case PrivateFileRead::Refusal::NotRegular:
        return "not_regular_file";
    case PrivateFileRead::Refusal::NotOwned:
        return "not_owned_by_user";
    case PrivateFileRead::Refusal::TooLarge:
        return "too_large";
    case PrivateFileRead::Refusal::Unreadable:
        return "unreadable";
    }
    return "unreadable";
}

namespace {

WallTime modificationTime(const struct stat& info) {
    const auto sinceEpoch =
        std::chrono::seconds{info.st_mtim.tv_sec} + std::chrono::nanoseconds{info.st_mtim.tv_nsec};
    return WallTime{std::chrono::duration_cast<WallTime::duration>(sinceEpoch)};
}

} // namespace

void pruneOldFiles(const std::filesystem::path& directory, std::string_view prefix, std::string_view suffix,
                   WallTime cutoff) {
    namespace fs = std::filesystem;
    struct Entry {
        fs::path path;
        std::optional<WallTime> modified;
    };
    // The whole listing first: a directory that cannot be read completely is left alone.
    std::vector<Entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.') || !name.starts_with(prefix) || !name.ends_with(suffix)) continue;
        struct stat info {};
        std::optional<WallTime> modified;
        if (::lstat(it->path().c_str(), &info) == 0) modified = modificationTime(info);
        entries.push_back({it->path(), modified});
    }
    if (error) return;
    for (const auto& entry : entries) {
        if (entry.modified && *entry.modified < cutoff) fs::remove(entry.path, error);
    }
}

bool createPrivateDirectories(const std::filesystem::path& path) {
    if (path.empty()) return false;
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    if (errno != ENOENT) return false;
    const auto parent = path.parent_path();
    if (parent.empty() || parent == path || !createPrivateDirectories(parent)) return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        if (!decodeStrictScalar(bytes, at)) return false;
    }
    return true;
}

std::size_t countScalars(std::string_view utf8) {
    std::size_t count = 0;
    for (char ch : utf8) {
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++count;
    }
    return count;
}

} // namespace korvane
