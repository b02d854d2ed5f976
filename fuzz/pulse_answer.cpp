// The pulse answer: the same bytes are classified the same whether they arrive at once, a byte
// at a time or in reads of any sizes, and a classification once made does not change.

#include "fuzz_check.h"
#include "pulse/pulse_response_parser.h"

using namespace korvane;

namespace {

// Feeds answer in reads of the sizes next() gives, the peer closing after the last one.
template <class Sizes> std::optional<KorvanePulseResult> fedInReads(std::string_view answer, Sizes next) {
    PulseResponseParser parser;
    std::optional<KorvanePulseResult> result;
    while (!answer.empty()) {
        const std::size_t length = std::min(next(), answer.size());
        result = parser.feed(answer.substr(0, length), false);
        answer.remove_prefix(length);
        if (result) {
            FUZZ_CHECK(parser.feed(answer, true) == result);
            return result;
        }
    }
    return parser.feed({}, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view answer = fuzz::text(data, size);
    const auto whole = parsePulseResponse(answer, true);
    FUZZ_CHECK(whole.has_value());
    FUZZ_CHECK(fedInReads(answer, [] { return std::size_t{1}; }) == whole);
    fuzz::Choices choices(answer);
    FUZZ_CHECK(fedInReads(answer, [&] { return choices.upTo(64); }) == whole);
    FUZZ_CHECK(fedInReads(answer, [&] { return choices.upTo(8192); }) == whole);
    return 0;
}
