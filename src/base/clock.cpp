#include "base/clock.h"

#include <cstdio>

namespace korvane {

std::string utcDate(WallTime t) {
    const std::chrono::year_month_day date{std::chrono::floor<std::chrono::days>(t)};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

} // namespace korvane
