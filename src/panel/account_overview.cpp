#include "panel/account_overview.h"

#include "base/json.h"

namespace korvane {

namespace {
template <class T> Json orNull(const std::optional<T>& value) { return value ? Json(*value) : Json(nullptr); }
} // namespace

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
