// The account overview: any profile gives the page's ten members, each within its range, and
// the summary encodes.

#include "panel/account_overview.h"
#include "base/json.h"
#include "fuzz_check.h"

#include <cmath>

using namespace korvane;

namespace {

bool inRange(const std::optional<double>& value, double low, double high) {
    return !value || (std::isfinite(*value) && *value >= low && *value <= high);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Json profile = Json::parse(fuzz::text(data, size), nullptr, false);
    if (profile.is_discarded()) return 0;
    const double nowSeconds = 1'700'000'000;
    const AccountOverview overview(profile, WallTime{std::chrono::seconds{1'700'000'000}});
    const Json page = overview.json();
    FUZZ_CHECK(page.size() == 10);
    FUZZ_CHECK(encodeJson(page) != "null");
    FUZZ_CHECK(overview.fetchedAt == nowSeconds);
    FUZZ_CHECK(inRange(overview.expiresAt, 0, 253402300799.0));
    FUZZ_CHECK(inRange(overview.nextResetAt, nowSeconds, 253402300799.0));
    FUZZ_CHECK(inRange(overview.totalBytes, 0, 9007199254740991.0));
    FUZZ_CHECK(inRange(overview.usedBytes, 0, 2 * 9007199254740991.0));
    FUZZ_CHECK(!overview.resetDays || (*overview.resetDays >= 0 && *overview.resetDays <= 36600));
    FUZZ_CHECK(!overview.resetMethod || (*overview.resetMethod >= 0 && *overview.resetMethod <= 4));
    FUZZ_CHECK(!overview.expiresAt || overview.expiryKnown);
    FUZZ_CHECK(!(overview.resetDays || overview.nextResetAt) || overview.resetKnown);
    // The same profile read again is the same summary.
    FUZZ_CHECK(AccountOverview(profile, WallTime{std::chrono::seconds{1'700'000'000}}).json() == page);
    return 0;
}
