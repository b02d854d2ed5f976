#include "panel/account_overview.h"

#include "base/json.h"
#include "base/text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace korvane {

namespace {
template <class T> Json orNull(const std::optional<T>& value) { return value ? Json(*value) : Json(nullptr); }
} // namespace

namespace {

constexpr double kLargestExactInteger = 9007199254740991.0;
constexpr double kMillisecondsThreshold = 1e11;
constexpr double kLastSecondOfYear9999 = 253402300799.0;
constexpr double kLongestResetDays = 36600;

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// A whole string in the POSIX locale's floating-point syntax; no trailing garbage.
std::optional<double> parsePosixDouble(std::string_view text) {
    if (text.empty()) return std::nullopt;
    static const locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string owned(text);
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(owned.c_str(), &end, posix);
    if (end != owned.c_str() + owned.size()) return std::nullopt;
    return value;
}

std::optional<double> timeValue(const Json* value) {
    auto seconds = AccountOverview::number(value);
    if (!seconds) return std::nullopt;
    if (*seconds > kMillisecondsThreshold) *seconds /= 1000;
    if (*seconds > kLastSecondOfYear9999) return std::nullopt;
    return seconds;
}

} // namespace

std::optional<double> AccountOverview::number(const Json* value) {
    if (!value) return std::nullopt;
    std::optional<double> result;
    if (value->is_number()) {
        result = value->get<double>();
    } else if (value->is_string()) {
        result = parsePosixDouble(trimWhitespaceAndNewlines(value->get_ref<const std::string&>()));
    }
    if (!result || !std::isfinite(*result) || *result < 0 || *result > kLargestExactInteger)
        return std::nullopt;
    return result;
}

AccountOverview::AccountOverview(const Json& profile, WallTime now) {
    const Json* plan = member(profile, "plan");
    if (plan && !plan->is_object()) plan = nullptr;
    totalBytes = number(member(profile, "transfer_enable"));
    const auto planId = number(member(profile, "plan_id"));
    hasPlan = (planId && *planId > 0) || plan != nullptr || (totalBytes && *totalBytes > 0);

    const Json* expiry = member(profile, "expired_at");
    expiresAt = timeValue(expiry);
    expiryKnown = expiresAt.has_value() || (expiry && expiry->is_null());

    const auto upload = number(member(profile, "u"));
    const auto download = number(member(profile, "d"));
    if (upload && download && std::isfinite(*upload + *download)) usedBytes = *upload + *download;

    const double nowSeconds = std::chrono::duration<double>(now.time_since_epoch()).count();
    if (auto reset = timeValue(member(profile, "next_reset_at")); reset && *reset > nowSeconds)
        nextResetAt = reset;

    const Json* resetDay = member(profile, "reset_day");
    if (auto days = number(resetDay); days && *days <= kLongestResetDays) {
        resetDays = static_cast<std::int64_t>(std::ceil(*days));
    }
    if (resetDay && resetDay->is_null()) {
        resetKnown = true;
    } else {
        resetKnown = resetDays.has_value() || nextResetAt.has_value();
    }

    if (plan) {
        if (auto method = number(member(*plan, "reset_traffic_method")); method && *method <= 4) {
            resetMethod = static_cast<std::int64_t>(*method);
        }
    }
    fetchedAt = nowSeconds;
}

Json AccountOverview::json() const {
    return Json{
        {"hasPlan", hasPlan},
        {"expiryKnown", expiryKnown},
        {"expiresAt", orNull(expiresAt)},
        {"totalBytes", orNull(totalBytes)},
        {"usedBytes", orNull(usedBytes)},
        {"nextResetAt", orNull(nextResetAt)},
        {"resetDays", orNull(resetDays)},
        {"resetKnown", resetKnown},
        {"resetMethod", orNull(resetMethod)},
        {"fetchedAt", fetchedAt},
    };
}

} // namespace korvane
