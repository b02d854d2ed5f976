// The one-time session an update leaves: a credential only from a session younger than its
// lifetime, and a session written as the hand-off writes it reads back until its lifetime ends.

#include "app/update_handover.h"
#include "base/json.h"
#include "fuzz_check.h"

#include <cmath>

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text(data, size);
    const WallTime now{std::chrono::seconds{1'700'000'000}};
    const auto token = readUpdateSession(text, now);
    if (!token) return 0;
    const Json session = Json::parse(text);
    FUZZ_CHECK(!token->empty() && session.at("token") == *token);
    const double age = 1'700'000'000.0 - session.at("created").get<double>();
    FUZZ_CHECK(age >= 0 && age < kUpdateSessionLifetimeSeconds);

    const std::string written = Json{{"created", 1'700'000'000.0}, {"token", *token}}.dump();
    FUZZ_CHECK(readUpdateSession(written, now) == token);
    FUZZ_CHECK(readUpdateSession(written, now + std::chrono::seconds{599}) == token);
    FUZZ_CHECK(!readUpdateSession(written, now + std::chrono::seconds{600}));
    FUZZ_CHECK(!readUpdateSession(written, now - std::chrono::seconds{1}));
    return 0;
}
