#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

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

    // The page form: exactly ten members, absent values as null.
    nlohmann::json json() const;
};

} // namespace korvane
