#include "update/update_manifest.h"

#include "base/errors.h"
#include "base/url.h"

#include <algorithm>
#include <limits>

namespace korvane {

namespace {

constexpr const char* kNoSecureDownload = "更新中心缺少对应架构的安全下载信息";
constexpr std::size_t kDigestLength = 64;

const Json* member(const Json& object, std::string_view name) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const Json& object, std::string_view name) {
    const Json* value = member(object, name);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// "downloads" counts only as an object of objects, "patches" only as an array of objects.
bool allObjects(const Json& container) {
    return std::all_of(container.begin(), container.end(), [](const Json& item) { return item.is_object(); });
}

bool patchApplies(const Json& patch, std::int64_t appBuild, std::int64_t targetBuild) {
    if (manifestBuild(member(patch, "from_build")) != appBuild) return false;
    if (manifestBuild(member(patch, "to_build")) != targetBuild) return false;
    if (stringMember(patch, "format") != kPatchFormat) return false;
    const auto arch = stringMember(patch, "arch");
    return !arch || *arch == kUpdateArchitecture;
}

} // namespace

std::optional<std::int64_t> manifestBuild(const Json* value) {
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number < 0) return std::nullopt;
        return number;
    }
    return std::nullopt;
}

Json parseManifest(std::string_view body) {
    Json manifest = Json::parse(body);
    if (!manifest.is_object()) throw KorvaneError(kMalformedAnswerText);
    return manifest;
}

std::optional<UpdatePlan> planUpdate(const Json& manifest, std::int64_t appBuild) {
    const Json* enabled = member(manifest, "enabled");
    const std::int64_t targetBuild = manifestBuild(member(manifest, "build")).value_or(0);
    if (!enabled || !enabled->is_boolean() || !enabled->get<bool>() || appBuild >= targetBuild)
        return std::nullopt;

    UpdatePlan plan;
    plan.targetBuild = targetBuild;
    const Json* entry = &manifest;
    if (const Json* downloads = member(manifest, "downloads");
        downloads && downloads->is_object() && allObjects(*downloads)) {
        if (const Json* own = member(*downloads, kUpdateArchitecture)) entry = own;
    }
    if (const Json* patches = member(manifest, "patches");
        patches && patches->is_array() && allObjects(*patches)) {
        for (const Json& patch : *patches) {
            if (!patchApplies(patch, appBuild, targetBuild)) continue;
            entry = &patch;
            plan.isPatch = true;
            break;
        }
    }

    auto address = stringMember(*entry, "url");
    if (!address) address = stringMember(*entry, "download_url");
    const auto digest = stringMember(*entry, "sha256");
    if (!address || !isHTTPSWithHost(*address) || !digest || digest->size() != kDigestLength)
        throw KorvaneError(kNoSecureDownload);
    plan.url = std::move(*address);
    plan.sha256 = *digest;
    return plan;
}

std::string packageFileName(const UpdatePlan& plan, std::int64_t appBuild) {
    const std::string arch(kUpdateArchitecture);
    if (plan.isPatch)
        return "Korvane-" + std::to_string(appBuild) + "-to-" + std::to_string(plan.targetBuild) + "-" +
               arch + ".patch.zip";
    return "Korvane-" + std::to_string(plan.targetBuild) + "-" + arch + ".zip";
}

} // namespace korvane
