#pragma once

// The contents of the files an update leaves for the new copy, read apart from the files.

#include "base/clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// A one-time session lives this long after it was written.
inline constexpr double kUpdateSessionLifetimeSeconds = 600;

// The credential a one-time session text ({"created": seconds, "token": text}) carries, when it
// was created less than the lifetime before now (and not after it) and the token is not empty.
std::optional<std::string> readUpdateSession(std::string_view text, WallTime now);

// The install script's result ({"status", "to_build", "exit_code"}).
struct UpdateResult {
    bool success = false;       // "status" is "success" (else "failed")
    std::int64_t toBuild = 0;   // 0 when missing or not an integer
    std::int64_t exitCode = -1; // -1 when missing or not an integer
};
// None unless the text is an object whose "status" is "success" or "failed". Integers beyond
// 64 signed bits count as the largest one.
std::optional<UpdateResult> readUpdateResult(std::string_view text);

} // namespace korvane
