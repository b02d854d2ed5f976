#pragma once

// The update manifest as the client reads it: whether a newer build is on offer for this
// machine, and which package (a delta patch or the full package) to download for it.

#include "base/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// The client's own architecture key: it picks the entry of "downloads", filters patches and
// names the downloaded file.
inline constexpr std::string_view kUpdateArchitecture = "x64";
// The only delta format the client applies.
inline constexpr std::string_view kPatchFormat = "korvane-macos-file-delta-v1";

// What to download for the build on offer.
struct UpdatePlan {
    std::int64_t targetBuild = 0;
    bool isPatch = false;
    std::string url;    // https, with a host
    std::string sha256; // 64 characters as the manifest wrote them; compared without regard to case
};

// A build number of the manifest or of a patch: a JSON integer from 0 to the largest signed
// 64-bit value. Anything else (a string, 42.0, a negative number, a larger number) is none and
// counts as missing.
std::optional<std::int64_t> manifestBuild(const Json* value);

// The plan for a client running appBuild: none when "enabled" is not true or nothing newer is
// on offer. The first patch from appBuild to the build on offer wins over the full package.
// Throws KorvaneError "更新中心缺少对应架构的安全下载信息" when the chosen entry has no https
// address or no 64-character digest.
std::optional<UpdatePlan> planUpdate(const Json& manifest, std::int64_t appBuild);

// The manifest body parsed: a parse error propagates, a value that is not an object throws
// KorvaneError "服务器返回数据格式不正确".
Json parseManifest(std::string_view body);

// The downloaded file's name: Korvane-<from>-to-<to>-x64.patch.zip or Korvane-<to>-x64.zip.
std::string packageFileName(const UpdatePlan& plan, std::int64_t appBuild);

} // namespace korvane
