// The helper's reply: one of the three answers or a refusal with the user's text.

#include "base/errors.h"
#include "fuzz_check.h"
#include "sysproxy/proxy_helper_client.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw = fuzz::text(data, size).substr(0, 128);
    try {
        const std::string reply = KorvaneProxyHelperClient::readReply(raw);
        FUZZ_CHECK(reply == "ON" || reply == "OFF" || reply == "OK");
        FUZZ_CHECK(raw.find(reply) != std::string_view::npos);
    } catch (const KorvaneError& error) {
        FUZZ_CHECK(*error.what() != '\0');
    }
    return 0;
}
