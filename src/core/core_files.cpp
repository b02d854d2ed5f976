#include "core/core_files.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::CoreFiles {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::hours kLogRetention{24 * 14};
constexpr std::string_view kLogPrefix = "core-";
constexpr std::string_view kLogSuffix = ".log";
constexpr const char* kPidFile = "core.pid";

struct GeoFile {
    std::string_view name;
    bool required;
};
constexpr std::array<GeoFile, 3> kGeoFiles = {
    {{"geoip.dat", true}, {"geosite.dat", true}, {"geoip.metadb", false}}};

} // namespace

void prepareGeo(const fs::path& binDir, const fs::path& runtimeDir) {
    if (!createPrivateDirectories(runtimeDir)) throw FileError(errno);
    for (const auto& geo : kGeoFiles) {
        const fs::path source = binDir / geo.name;
        const fs::path target = runtimeDir / geo.name;
        std::error_code missing;
        const auto sourceSize = fs::file_size(source, missing);
        if (missing) {
            if (!geo.required) continue;
            throw KorvaneError("安装包缺少路由数据：" + std::string(geo.name));
        }
        std::error_code absent;
        const auto targetSize = fs::file_size(target, absent);
        if (!absent && targetSize == sourceSize) continue;
        if (!absent) fs::remove(target);
        fs::copy_file(source, target);
    }
}

UniqueFd openLog(const fs::path& logsDir, WallTime now) {
    if (!createPrivateDirectories(logsDir)) throw FileError(errno);
    pruneOldFiles(logsDir, kLogPrefix, kLogSuffix, now - kLogRetention);
    const fs::path file = logsDir / (std::string(kLogPrefix) + utcDate(now) + std::string(kLogSuffix));
    UniqueFd fd(
        ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd) throw FileError(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw FileError(errno);
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) throw FileError(EPERM);
    if (::fchmod(fd.get(), 0600) != 0) throw FileError(errno);
    // Appending to a regular file never blocks; the flag only kept a planted FIFO from doing so.
    ::fcntl(fd.get(), F_SETFL, O_WRONLY | O_APPEND);
    capLog(fd.get());
    return fd;
}

void capLog(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || static_cast<std::uintmax_t>(info.st_size) <= kMaximumLogSize) return;
    if (::ftruncate(fd, 0) != 0) return;
    constexpr std::string_view note = "[korvane] log cut back after it reached its size limit\n";
    [[maybe_unused]] const auto written = ::write(fd, note.data(), note.size());
}

void writePid(const fs::path& runtimeDir, pid_t pid) {
    writeFileAtomically(runtimeDir / kPidFile, std::to_string(pid) + "\n", 0600);
}

std::optional<pid_t> readPid(const fs::path& runtimeDir) {
    auto text = readPrivateFile(runtimeDir / kPidFile, 64).bytes;
    if (!text) return std::nullopt;
    auto value = parseDecimalInteger(trimWhitespaceAndNewlines(*text));
    if (!value || *value <= 1 || *value > std::numeric_limits<pid_t>::max()) return std::nullopt;
    return static_cast<pid_t>(*value);
}

void removePid(const fs::path& runtimeDir) {
    std::error_code ignored;
    fs::remove(runtimeDir / kPidFile, ignored);
}

} // namespace korvane::CoreFiles
