// The panel's sign-in, recovery and profile answers: each is read or refused with the user's
// text (or the JSON parser's), never with another error, and what is read is usable.

#include "base/errors.h"
#include "fuzz_check.h"
#include "panel/xboard_service.h"

using namespace korvane;

namespace {

// Runs one reading; only a refusal of the answer may escape it.
template <class Read> void refusedOrRead(Read read) {
    try {
        read();
    } catch (const KorvaneError&) {
    } catch (const Json::parse_error&) {
    } catch (const Json::out_of_range& error) {
        FUZZ_CHECK(error.id == 406); // a number too large for a double: the parser's refusal too
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::text(data, size);
    refusedOrRead([&] { FUZZ_CHECK(!XBoardAnswers::passwordCredential(body).empty()); });
    refusedOrRead([&] {
        const Json answer = XBoardAnswers::emailCodeAnswer(body);
        FUZZ_CHECK(answer.is_object() && answer.at("status") == "success");
        refusedOrRead([&] { FUZZ_CHECK(XBoardAnswers::codeCredential(answer).starts_with("Bearer ")); });
    });
    refusedOrRead([&] { XBoardAnswers::checkRecoveryAnswer(body); });
    refusedOrRead([&] {
        const Json profile = XBoardAnswers::profile(body);
        FUZZ_CHECK(profile.is_object());
        refusedOrRead([&] {
            const Subscription subscription = XBoardAnswers::subscription(
                profile, "https://panel.example", WallTime{std::chrono::seconds{1'700'000'000}});
            FUZZ_CHECK(subscription.url.starts_with("https:"));
            FUZZ_CHECK(subscription.overview.json().size() == 10);
        });
    });
    return 0;
}
