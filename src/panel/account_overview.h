#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "base/clock.h"

namespace korvane {

// The account summary the page shows: plan, traffic, expiry and the next traffic reset.
struct AccountOverview {
    bool hasPlan = false;
    bool expiryKnown = false;
    std::optional<double> expiresAt;
    std::optional<double> totalBytes;
    std::optional<double> usedBytes;
    std::optional<double> nextResetAt;
    std::optional<std::int64_t> resetDays;
    bool resetKnown = false;
    std::optional<std::int64_t> resetMethod;
    double fetchedAt = 0;

    AccountOverview() = default;
    // The summary of a profile ("data" of the panel's subscription answer) at time now.
    // Never fails: unusable members leave their fields absent or false.
    AccountOverview(const nlohmann::json& profile, WallTime now);

    // The page form: exactly ten members, absent values as null.
    nlohmann::json json() const;

    // The panel's loosely typed numbers: a JSON number (not a Boolean) or a numeric string,
    // finite and within 0 to 2^53 - 1.
    static std::optional<double> number(const nlohmann::json* member);
};

} // namespace korvane
