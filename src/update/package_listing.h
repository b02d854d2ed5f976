#pragma once

// The listing of an update package as the archive tool prints it, screened before anything is
// unpacked: every entry's path and its type.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct PackageEntry {
    std::string name;
    // The first character of the entry's mode as the listing shows it: '-' a file, 'd' a
    // directory, 'l' a symbolic link, '?' a file or directory without type bits (decided by
    // its name when unpacked); anything else a special file.
    char type = '-';
};

// The entries of `zipinfo -s` output: the "Archive:" and "Zip file size: ..., number of entries:
// N" header lines, N entry lines (mode, version, system, size, kind, method, date, time, then
// one blank and the name), and the totals line. None when the output does not have exactly that
// shape, so that a name holding a line feed can never be read as two entries.
std::optional<std::vector<PackageEntry>> parseZipListing(std::string_view output);

// Throws KorvaneError "更新包包含不安全的文件路径，已拒绝安装" unless there are 1 to
// kMaximumPackageEntries entries and no name starts with "/", holds a backslash or has ".." as
// one of its "/"-separated parts; then KorvaneError "更新包包含非预期链接，已拒绝安装" when an
// entry would unpack as anything but a file or a directory.
void screenPackageEntries(const std::vector<PackageEntry>& entries);

inline constexpr std::size_t kMaximumPackageEntries = 2000;

// The text of the link refusal, shared with the walk after unpacking.
extern const char* const kUnexpectedLinkText;

} // namespace korvane
