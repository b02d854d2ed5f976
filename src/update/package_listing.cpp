#include "update/package_listing.h"

#include "base/errors.h"
#include "base/text.h"

namespace korvane {

const char* const kUnexpectedLinkText = "更新包包含非预期链接，已拒绝安装";

namespace {

constexpr const char* kUnsafePath = "更新包包含不安全的文件路径，已拒绝安装";
constexpr std::string_view kArchiveLine = "Archive:  ";
constexpr std::string_view kSizeLine = "Zip file size: ";
constexpr std::string_view kEntriesMark = ", number of entries: ";
constexpr int kFieldsBeforeName = 8;

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        if (!line.empty()) result.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return result;
}

std::optional<PackageEntry> parseEntry(std::string_view line) {
    std::string_view mode;
    std::size_t at = 0;
    for (int field = 0; field < kFieldsBeforeName; ++field) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const auto start = at;
        while (at < line.size() && line[at] != ' ')
            ++at;
        if (at == start) return std::nullopt;
        if (field == 0) mode = line.substr(start, at - start);
    }
    // Exactly one blank separates the time from the name, which may itself start with blanks.
    if (at + 1 >= line.size() || line[at] != ' ') return std::nullopt;
    return PackageEntry{std::string(line.substr(at + 1)), mode.front()};
}

bool unsafeName(std::string_view name) {
    if (name.starts_with('/') || name.find('\\') != std::string_view::npos) return true;
    while (!name.empty()) {
        const auto slash = name.find('/');
        if (name.substr(0, slash) == "..") return true;
        if (slash == std::string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return false;
}

} // namespace

std::optional<std::vector<PackageEntry>> parseZipListing(std::string_view output) {
    const auto all = lines(output);
    if (all.size() < 3 || !all[0].starts_with(kArchiveLine) || !all[1].starts_with(kSizeLine))
        return std::nullopt;
    const auto mark = all[1].rfind(kEntriesMark);
    if (mark == std::string_view::npos) return std::nullopt;
    const auto count = parseDecimalInteger(all[1].substr(mark + kEntriesMark.size()));
    if (!count || *count < 0 || static_cast<std::size_t>(*count) != all.size() - 3) return std::nullopt;
    std::vector<PackageEntry> entries;
    entries.reserve(all.size() - 3);
    for (std::size_t i = 2; i + 1 < all.size(); ++i) {
        auto entry = parseEntry(all[i]);
        if (!entry) return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    return entries;
}

void screenPackageEntries(const std::vector<PackageEntry>& entries) {
    if (entries.empty() || entries.size() > kMaximumPackageEntries) throw KorvaneError(kUnsafePath);
    for (const auto& entry : entries) {
        if (unsafeName(entry.name)) throw KorvaneError(kUnsafePath);
    }
    for (const auto& entry : entries) {
        if (entry.type != '-' && entry.type != 'd' && entry.type != '?')
            throw KorvaneError(kUnexpectedLinkText);
    }
}

} // namespace korvane
