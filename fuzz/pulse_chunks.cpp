// The chunked body decoder: decoding in pieces agrees with decoding at once, and a decoded
// body chunked again (in chunks of any sizes) decodes to itself.

#include "fuzz_check.h"
#include "pulse/pulse_response_parser.h"

#include <cstdio>

using namespace korvane;

namespace {

std::string chunked(std::string_view body, fuzz::Choices& choices) {
    std::string text;
    while (!body.empty()) {
        const std::size_t length = std::min(choices.upTo(300), body.size());
        char size[32];
        std::snprintf(size, sizeof size, choices.next() % 2 ? "%zx" : "%zX", length);
        text += std::string(size) + (choices.next() % 3 ? "" : ";ext=1") + "\r\n";
        text.append(body.substr(0, length));
        text += "\r\n";
        body.remove_prefix(length);
    }
    return text + "0\r\n\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::text(data, size);
    const auto whole = decodePulseChunks(body);

    fuzz::Choices choices(body);
    ChunkedBodyDecoder decoder;
    auto state = ChunkedBodyDecoder::State::NeedMore;
    for (std::size_t received = 0; received < body.size() && state == ChunkedBodyDecoder::State::NeedMore;) {
        received = std::min(body.size(), received + choices.upTo(16));
        state = decoder.decode(body.substr(0, received));
    }
    FUZZ_CHECK((state == ChunkedBodyDecoder::State::Done) == whole.has_value());
    if (whole) FUZZ_CHECK(decoder.decoded() == *whole);

    // Any body of the allowed size survives being chunked again.
    const std::string_view plain = whole ? std::string_view(*whole) : body.substr(0, 65536);
    FUZZ_CHECK(decodePulseChunks(chunked(plain, choices)) == std::string(plain));
    return 0;
}
